#include "byte_ring.h"

#include <algorithm>
#include <cstring>

namespace ae {

ByteRing::ByteRing(size_t capacity)
    : data_(std::max<size_t>(capacity, 1)), capacity_(data_.size()) {}

void ByteRing::resizeStorage(size_t newSize) {
    std::vector<uint8_t> fresh(newSize);
    for (size_t i = 0; i < size_; ++i) fresh[i] = data_[(head_ + i) % data_.size()];
    data_.swap(fresh);
    head_ = 0;
}

bool ByteRing::write(const uint8_t* data, size_t len) {
    std::unique_lock lock(mtx_);
    while (len > 0) {
        changed_.wait(lock, [&] { return aborted_ || size_ < capacity_; });
        if (aborted_) return false;
        size_t n = std::min(len, capacity_ - size_);
        size_t tail = (head_ + size_) % data_.size();
        size_t first = std::min(n, data_.size() - tail);
        std::memcpy(&data_[tail], data, first);
        std::memcpy(&data_[0], data + first, n - first);
        size_ += n;
        written_ += static_cast<int64_t>(n);
        data += n;
        len -= n;
        changed_.notify_all();
    }
    return true;
}

void ByteRing::finish() {
    std::lock_guard lock(mtx_);
    finished_ = true;
    changed_.notify_all();
}

void ByteRing::abort() {
    std::lock_guard lock(mtx_);
    aborted_ = true;
    changed_.notify_all();
}

long ByteRing::read(uint8_t* out, size_t len, std::optional<Clock::time_point> deadline) {
    std::unique_lock lock(mtx_);
    auto ready = [&] { return aborted_ || size_ > 0 || finished_; };
    if (deadline) {
        if (!changed_.wait_until(lock, *deadline, ready)) return -1;
    } else {
        changed_.wait(lock, ready);
    }
    if (aborted_) return -1;
    if (size_ == 0) return 0;
    size_t n = std::min(len, size_);
    size_t first = std::min(n, data_.size() - head_);
    std::memcpy(out, &data_[head_], first);
    std::memcpy(out + first, &data_[0], n - first);
    head_ = (head_ + n) % data_.size();
    size_ -= n;
    read_ += static_cast<int64_t>(n);
    changed_.notify_all();
    return static_cast<long>(n);
}

size_t ByteRing::peek(uint8_t* out, size_t len) const {
    std::lock_guard lock(mtx_);
    size_t n = std::min(len, size_);
    size_t first = std::min(n, data_.size() - head_);
    std::memcpy(out, &data_[head_], first);
    std::memcpy(out + first, &data_[0], n - first);
    return n;
}

bool ByteRing::waitFor(size_t bytes, Clock::time_point deadline) {
    std::unique_lock lock(mtx_);
    changed_.wait_until(lock, deadline, [&] { return aborted_ || finished_ || size_ >= bytes; });
    return !aborted_ && size_ >= bytes;
}

void ByteRing::setCapacity(size_t capacity, size_t granule) {
    std::lock_guard lock(mtx_);
    granule = std::max(granule, size_t{1});
    size_t held = (size_ + granule - 1) / granule * granule;
    capacity_ = std::max({capacity, held, size_t{1}});
    if (capacity_ > data_.size()) resizeStorage(capacity_);
    changed_.notify_all();
}

size_t ByteRing::capacity() const {
    std::lock_guard lock(mtx_);
    return capacity_;
}
size_t ByteRing::size() const {
    std::lock_guard lock(mtx_);
    return size_;
}
int64_t ByteRing::totalWritten() const {
    std::lock_guard lock(mtx_);
    return written_;
}
int64_t ByteRing::totalRead() const {
    std::lock_guard lock(mtx_);
    return read_;
}
bool ByteRing::finished() const {
    std::lock_guard lock(mtx_);
    return finished_;
}
bool ByteRing::aborted() const {
    std::lock_guard lock(mtx_);
    return aborted_;
}

}  // namespace ae

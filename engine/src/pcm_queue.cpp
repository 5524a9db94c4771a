#include "pcm_queue.h"

#include <algorithm>

namespace ae {

PcmQueue::PcmQueue(size_t capacityFrames)
    : capacity_(std::max<size_t>(capacityFrames, 1)), data_(capacity_ * 2) {}

bool PcmQueue::push(const int16_t* samples, size_t frames) {
    std::unique_lock lock(mtx_);
    while (frames > 0) {
        space_.wait(lock, [&] { return aborted_ || count_ < capacity_; });
        if (aborted_) return false;
        size_t n = std::min(frames, capacity_ - count_);
        for (size_t i = 0; i < n; ++i) {
            size_t slot = (head_ + count_ + i) % capacity_;
            data_[slot * 2] = samples[i * 2];
            data_[slot * 2 + 1] = samples[i * 2 + 1];
        }
        if (pushed_ == 0 && n > 0) firstOrEnd_.notify_all();
        count_ += n;
        pushed_ += static_cast<int64_t>(n);
        samples += n * 2;
        frames -= n;
    }
    return true;
}

void PcmQueue::finish() {
    std::lock_guard lock(mtx_);
    finished_ = true;
    firstOrEnd_.notify_all();
}

void PcmQueue::abort() {
    std::lock_guard lock(mtx_);
    aborted_ = true;
    space_.notify_all();
    firstOrEnd_.notify_all();
}

bool PcmQueue::waitForFirst(std::chrono::steady_clock::time_point until) {
    std::unique_lock lock(mtx_);
    firstOrEnd_.wait_until(lock, until, [&] { return pushed_ > 0 || finished_ || aborted_; });
    return pushed_ > 0;
}

PcmQueue::Popped PcmQueue::pop(int16_t* out, size_t frames) {
    std::lock_guard lock(mtx_);
    Popped p;
    p.first = popped_;
    p.frames = std::min(frames, count_);
    for (size_t i = 0; i < p.frames; ++i) {
        size_t slot = (head_ + i) % capacity_;
        out[i * 2] = data_[slot * 2];
        out[i * 2 + 1] = data_[slot * 2 + 1];
    }
    head_ = (head_ + p.frames) % capacity_;
    count_ -= p.frames;
    popped_ += static_cast<int64_t>(p.frames);
    space_.notify_all();
    p.drained = p.frames < frames && finished_ && count_ == 0;
    return p;
}

size_t PcmQueue::size() const {
    std::lock_guard lock(mtx_);
    return count_;
}
bool PcmQueue::finished() const {
    std::lock_guard lock(mtx_);
    return finished_;
}
int64_t PcmQueue::pushed() const {
    std::lock_guard lock(mtx_);
    return pushed_;
}
int64_t PcmQueue::popped() const {
    std::lock_guard lock(mtx_);
    return popped_;
}

}  // namespace ae

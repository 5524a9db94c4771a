// Bounded ring between one producer thread and one consumer thread. The two meet only at two
// atomic counters (elements ever written, elements ever taken): moving data takes no lock and
// allocates nothing on the consumer's side, so the consumer may be the sound thread.
// Waits (the producer for room, either side for data or the end) sleep on a condition variable
// whose mutex is held only to test the counters and go to sleep; a side that moves a counter
// takes that mutex, briefly, only while someone sleeps.
// The capacity may change at any time while data is held; it never reads below what is held.
// When it grows past the storage, the producer continues in a new, larger block from the next
// position on, and the consumer frees the old block once it has taken everything before that.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <type_traits>
#include <utility>

namespace ae {

template <typename T>
class SpscRing {
    static_assert(std::is_trivially_copyable_v<T>);

  public:
    using Clock = std::chrono::steady_clock;

    explicit SpscRing(size_t capacity)
        : requested_(std::max<size_t>(capacity, 1)),
          writeBlock_(new Block(requested_.load(), 0)),
          readBlock_(writeBlock_) {}
    ~SpscRing() {
        while (readBlock_) delete std::exchange(readBlock_, readBlock_->next.load());
    }
    SpscRing(const SpscRing&) = delete;
    SpscRing& operator=(const SpscRing&) = delete;

    // Producer: appends all of data, waiting for room. False when aborted (part may have been
    // written).
    bool write(const T* data, size_t n) {
        while (n > 0) {
            sleepUntil([&] { return aborted_ || room() > 0; }, std::nullopt);
            if (aborted_) return false;
            const size_t k = std::min(n, room());
            put(data, k);
            data += k;
            n -= k;
        }
        return true;
    }
    // Producer: appends as many of the n elements as there is room for, without waiting;
    // returns the count. Allocates nothing while the capacity stays as constructed.
    size_t tryWrite(const T* data, size_t n) {
        n = std::min(n, room());
        if (n > 0) put(data, n);
        return n;
    }
    // Producer: no more data will come.
    void finish() {
        finished_ = true;
        wake();
    }
    // Any thread: wakes and fails every wait; later writes fail at once.
    void abort() {
        aborted_ = true;
        wake();
    }

    // Consumer: takes up to n elements into out without waiting; returns the count.
    size_t take(T* out, size_t n) {
        const int64_t from = taken_.load();
        n = std::min(n, static_cast<size_t>(written_.load() - from));
        if (n == 0) return 0;
        while (Block* next = readBlock_->next.load()) {
            if (from < next->from) break;
            delete std::exchange(readBlock_, next);
        }
        copyOut(from, out, n);
        taken_ = from + static_cast<int64_t>(n);
        wake();
        return n;
    }
    // Consumer: copies up to n elements from the front without taking them.
    size_t peek(T* out, size_t n) const {
        const int64_t from = taken_.load();
        n = std::min(n, static_cast<size_t>(written_.load() - from));
        copyOut(from, out, n);
        return n;
    }
    // Waits until `n` elements are held, the data has ended, the ring is aborted or `deadline`
    // passes. True when n are held.
    bool waitFor(size_t n, std::optional<Clock::time_point> deadline) {
        sleepUntil([&] { return aborted_ || finished_ || size() >= n; }, deadline);
        return !aborted_ && size() >= n;
    }
    // Waits until ready() holds or `deadline` passes; ready() reads only the ring's own state.
    // Returns ready()'s last value.
    template <typename Ready>
    bool waitUntil(Ready ready, std::optional<Clock::time_point> deadline) {
        return sleepUntil(ready, deadline);
    }

    // Any thread: the capacity becomes `capacity`, but never less than what is held, rounded
    // up to a multiple of `granule`, so the fill never reads over 100% and the producer waits
    // for room again.
    void setCapacity(size_t capacity, size_t granule = 1) {
        granule_ = std::max<size_t>(granule, 1);
        requested_ = std::max<size_t>(capacity, 1);
        wake();
    }

    size_t capacity() const {
        const size_t g = granule_.load();
        return std::max(requested_.load(), (size() + g - 1) / g * g);
    }
    size_t size() const {
        const int64_t taken = taken_.load();  // first: written never falls behind it
        return static_cast<size_t>(written_.load() - taken);
    }
    int64_t totalWritten() const { return written_.load(); }
    int64_t totalRead() const { return taken_.load(); }
    bool finished() const { return finished_.load(); }
    bool aborted() const { return aborted_.load(); }

  private:
    struct Block {
        Block(size_t n, int64_t start) : slots(new T[n]), size(n), from(start) {}
        std::unique_ptr<T[]> slots;
        const size_t size;
        const int64_t from;  // the first position this block holds
        std::atomic<Block*> next{nullptr};
    };

    size_t room() const {
        const size_t cap = capacity(), held = size();
        return cap > held ? cap - held : 0;
    }

    // Producer: appends k elements, k <= room().
    void put(const T* data, size_t k) {
        const int64_t at = written_.load();
        const int64_t oldest = std::max(taken_.load(), writeBlock_->from);
        if (static_cast<size_t>(at - oldest) + k > writeBlock_->size) {
            auto* grown = new Block(std::max(capacity(), k), at);
            writeBlock_->next = grown;
            writeBlock_ = grown;
        }
        Block& b = *writeBlock_;
        const size_t slot = static_cast<size_t>(at - b.from) % b.size;
        const size_t first = std::min(k, b.size - slot);
        std::memcpy(&b.slots[slot], data, first * sizeof(T));
        std::memcpy(&b.slots[0], data + first, (k - first) * sizeof(T));
        written_ = at + static_cast<int64_t>(k);
        wake();
    }

    // Consumer: copies n held elements from position `from` on, across blocks.
    void copyOut(int64_t from, T* out, size_t n) const {
        const Block* b = readBlock_;
        while (n > 0) {
            const Block* next = b->next.load();
            while (next && from >= next->from) {
                b = next;
                next = b->next.load();
            }
            size_t k = n;
            if (next) k = std::min(k, static_cast<size_t>(next->from - from));
            const size_t slot = static_cast<size_t>(from - b->from) % b->size;
            const size_t first = std::min(k, b->size - slot);
            std::memcpy(out, &b->slots[slot], first * sizeof(T));
            std::memcpy(out + first, &b->slots[0], (k - first) * sizeof(T));
            out += k;
            from += static_cast<int64_t>(k);
            n -= k;
        }
    }

    template <typename Ready>
    bool sleepUntil(Ready ready, std::optional<Clock::time_point> deadline) const {
        if (ready()) return true;
        // Counted before testing: whoever moves a counter afterwards sees the sleeper.
        sleepers_.fetch_add(1);
        std::unique_lock lock(waitMtx_);
        bool ok;
        if (deadline) {
            ok = cv_.wait_until(lock, *deadline, ready);
        } else {
            cv_.wait(lock, ready);
            ok = true;
        }
        sleepers_.fetch_sub(1);
        return ok;
    }

    void wake() const {
        if (sleepers_.load() == 0) return;
        // A sleeper holds the mutex from its test until it sleeps: taking it here means the
        // notification cannot fall between the two.
        { std::lock_guard lock(waitMtx_); }
        cv_.notify_all();
    }

    // Both sides.
    std::atomic<int64_t> written_{0};  // producer writes
    std::atomic<int64_t> taken_{0};    // consumer writes
    std::atomic<size_t> requested_;
    std::atomic<size_t> granule_{1};
    std::atomic<bool> finished_{false};
    std::atomic<bool> aborted_{false};
    mutable std::atomic<int> sleepers_{0};
    mutable std::mutex waitMtx_;  // only to test and sleep; guards no data
    mutable std::condition_variable cv_;

    Block* writeBlock_;  // producer only
    Block* readBlock_;   // consumer only; owns the blocks from here on
};

}  // namespace ae

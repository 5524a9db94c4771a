// Bounded queue of decoded stereo frames at the output rate, between one producer (the decoder
// thread) and one consumer (the output thread's mixer). Like ByteRing, the producer waits for
// room with an abort path; the consumer never waits.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

namespace ae {

class PcmQueue {
  public:
    explicit PcmQueue(size_t capacityFrames);

    // Appends all frames (interleaved stereo), waiting for room. False when aborted.
    bool push(const int16_t* samples, size_t frames);
    // No more frames will come.
    void finish();
    // Wakes and fails a waiting push; later pushes fail at once.
    void abort();
    // Waits until the first frames are queued (true), or until the queue was finished or
    // aborted without any, or `until` passed (false).
    bool waitForFirst(std::chrono::steady_clock::time_point until);

    struct Popped {
        int64_t first = 0;     // queue position of the first frame taken
        size_t frames = 0;     // frames taken
        bool drained = false;  // fewer than asked, and nothing more will ever come
    };
    // Takes up to `frames` frames into out (interleaved stereo, room for `frames`).
    Popped pop(int16_t* out, size_t frames);

    size_t capacity() const { return capacity_; }
    size_t size() const;
    bool finished() const;
    int64_t pushed() const;  // frames ever pushed: the queue position of the next one
    int64_t popped() const;  // frames ever popped

  private:
    const size_t capacity_;

    mutable std::mutex mtx_;  // guards everything below
    std::condition_variable space_;
    std::condition_variable firstOrEnd_;
    std::vector<int16_t> data_;
    size_t head_ = 0, count_ = 0;
    int64_t pushed_ = 0, popped_ = 0;
    bool finished_ = false;
    bool aborted_ = false;
};

}  // namespace ae

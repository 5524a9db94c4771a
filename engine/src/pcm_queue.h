// Bounded queue of decoded stereo frames at the output rate, between one producer (the decoder
// thread) and one consumer (the output thread's mixer). The producer waits for room with an
// abort path; the consumer never waits, takes no lock another thread holds and allocates nothing.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

#include "spsc_ring.h"

namespace ae {

struct StereoFrame {
    int16_t left, right;
};

class PcmQueue {
  public:
    explicit PcmQueue(size_t capacityFrames) : ring_(capacityFrames) {}

    // Appends all frames (interleaved stereo), waiting for room. False when aborted.
    bool push(const int16_t* samples, size_t frames);
    // No more frames will come.
    void finish() { ring_.finish(); }
    // Wakes and fails a waiting push; later pushes fail at once.
    void abort() { ring_.abort(); }
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

    size_t capacity() const { return ring_.capacity(); }
    size_t size() const { return ring_.size(); }
    bool finished() const { return ring_.finished(); }
    int64_t pushed() const { return ring_.totalWritten(); }  // the queue position of the next
    int64_t popped() const { return ring_.totalRead(); }

  private:
    SpscRing<StereoFrame> ring_;
};

}  // namespace ae

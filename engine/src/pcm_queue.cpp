#include "pcm_queue.h"

namespace ae {

static_assert(sizeof(StereoFrame) == 2 * sizeof(int16_t));

bool PcmQueue::push(const int16_t* samples, size_t frames) {
    return ring_.write(reinterpret_cast<const StereoFrame*>(samples), frames);
}

bool PcmQueue::waitForFirst(std::chrono::steady_clock::time_point until) {
    ring_.waitUntil([&] { return ring_.totalWritten() > 0 || ring_.finished() || ring_.aborted(); },
                    until);
    return ring_.totalWritten() > 0;
}

PcmQueue::Popped PcmQueue::pop(int16_t* out, size_t frames) {
    Popped p;
    // Read first: once finished, every frame ever pushed is visible to the take below.
    const bool finished = ring_.finished();
    p.first = ring_.totalRead();
    p.frames = ring_.take(reinterpret_cast<StereoFrame*>(out), frames);
    p.drained = p.frames < frames && finished && ring_.size() == 0;
    return p;
}

}  // namespace ae

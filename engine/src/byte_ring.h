// Bounded byte buffer between one producer (the download thread) and one consumer (the demuxer).
// Both sides block with an abort path; the logical capacity may change while data is held.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "spsc_ring.h"

namespace ae {

class ByteRing : public SpscRing<uint8_t> {
  public:
    explicit ByteRing(size_t capacity) : SpscRing(capacity) {}

    // Reads up to len bytes, waiting until at least one is there. Returns the count, 0 at the end
    // of data, -1 when aborted or when `deadline` passed first.
    long read(uint8_t* out, size_t len, std::optional<Clock::time_point> deadline = std::nullopt);
    // Waits until `bytes` are held, the data has ended, the ring is aborted or the deadline
    // passes. True when `bytes` are held.
    bool waitFor(size_t bytes, Clock::time_point deadline) {
        return SpscRing::waitFor(bytes, deadline);
    }
};

}  // namespace ae

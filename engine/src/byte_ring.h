// Bounded byte buffer between one producer (the download thread) and one consumer (the demuxer).
// Both sides block with an abort path; the logical capacity may change while data is held.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

namespace ae {

class ByteRing {
  public:
    using Clock = std::chrono::steady_clock;

    explicit ByteRing(size_t capacity);

    // Appends all of data, waiting for room. False when aborted (part may have been written).
    bool write(const uint8_t* data, size_t len);
    // No more data will come.
    void finish();
    // Wakes and fails every waiting call; later calls fail at once.
    void abort();

    // Reads up to len bytes, waiting until at least one is there. Returns the count, 0 at the end
    // of data, -1 when aborted or when `deadline` passed first.
    long read(uint8_t* out, size_t len, std::optional<Clock::time_point> deadline = std::nullopt);
    // Copies up to len bytes from the front without consuming them.
    size_t peek(uint8_t* out, size_t len) const;
    // Waits until `bytes` are held, the data has ended, the ring is aborted or the deadline
    // passes. True when `bytes` are held.
    bool waitFor(size_t bytes, Clock::time_point deadline);

    // Changes the logical capacity, never below what is held at this moment (rounded up to a
    // multiple of `granule`), so the fill never reads over 100% and writers keep waiting for room.
    void setCapacity(size_t capacity, size_t granule = 1);

    size_t capacity() const;
    size_t size() const;
    int64_t totalWritten() const;
    int64_t totalRead() const;
    bool finished() const;
    bool aborted() const;

  private:
    void resizeStorage(size_t newSize);  // mtx_ held

    mutable std::mutex mtx_;  // guards everything below
    std::condition_variable changed_;
    std::vector<uint8_t> data_;
    size_t head_ = 0;  // index of the oldest byte
    size_t size_ = 0;
    size_t capacity_;
    int64_t written_ = 0;
    int64_t read_ = 0;
    bool finished_ = false;
    bool aborted_ = false;
};

}  // namespace ae

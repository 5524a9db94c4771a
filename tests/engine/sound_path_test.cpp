// What the output thread calls while mixing (the PCM queue's pop, the timeline's mixed) with
// in-memory input, the output frames standing in for the clock: events are heard where their
// sound is mixed, data survives the ring's wrap-around and growth under concurrent sides, and
// the mixing side allocates nothing.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "byte_ring.h"
#include "pcm_queue.h"
#include "timeline.h"

namespace {
thread_local size_t t_allocations = 0;
}  // namespace

// Counts this thread's allocations, so a test can tell whether a call allocated. Every plain
// form is replaced, so that each pairs with its own release.
void* operator new(size_t n) {
    ++t_allocations;
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
void* operator new[](size_t n) {
    return operator new(n);
}
void* operator new(size_t n, const std::nothrow_t&) noexcept {
    ++t_allocations;
    return std::malloc(n ? n : 1);
}
void* operator new[](size_t n, const std::nothrow_t& tag) noexcept {
    return operator new(n, tag);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, size_t) noexcept {
    std::free(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
    std::free(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
    std::free(p);
}

namespace ae {
namespace {

void countSync(AE_SYNC, AE_HANDLE, uint32_t, void*) {}

TEST(Timeline, EventsAreHeardWhereTheirSoundIsMixedAndMixingAllocatesNothing) {
    Timeline tl;
    tl.started();
    tl.addSync(AE_SYNC_META, countSync, nullptr);
    // Twelve titles, each placed by the decoder at queue position 150 * i.
    for (int i = 1; i <= 12; ++i) {
        tl.addMeta("T" + std::to_string(i), static_cast<uint64_t>(i) * 100);
        tl.reachBytes(i * 100 + 1, i * 150, nullptr);
    }
    tl.addMeta("Late", 5000);  // never reached by the decoder: heard at the very end
    tl.endOfDecoding(2600);

    const size_t before = t_allocations;
    tl.mixed(0, 1024, 0, false);        // T1..T6 heard at their own positions
    tl.mixed(1024, 1024, 3000, false);  // after a gap of 1976 frames: T7..T12
    tl.mixed(2048, 400, 4024, true);    // drained at output frame 4424
    EXPECT_EQ(t_allocations, before);

    std::vector<SyncCall> calls;
    auto collect = [&](int64_t played) {
        calls.clear();
        return tl.collect(played, 1, calls);
    };
    EXPECT_FALSE(collect(899));
    EXPECT_EQ(calls.size(), 5u);
    EXPECT_EQ(tl.metaText(), "T5");
    EXPECT_EQ(tl.pending().heardAt, 900);
    EXPECT_FALSE(collect(3025));
    EXPECT_EQ(calls.size(), 1u);
    EXPECT_EQ(tl.pending().heardAt, 1050 + 1976);
    EXPECT_FALSE(collect(3776));
    EXPECT_EQ(calls.size(), 6u);
    EXPECT_EQ(tl.metaText(), "T12");
    EXPECT_FALSE(collect(4423));
    EXPECT_TRUE(calls.empty());
    EXPECT_TRUE(collect(4424));
    EXPECT_EQ(tl.metaText(), "Late");
}

// A small queue that wraps thousands of times: every frame comes out once, in order, at the
// position pop reports; an empty queue gives nothing until it is drained; pop allocates nothing.
TEST(PcmQueue, ConcurrentPushAndPopKeepOrderAcrossWrapAround) {
    constexpr int16_t kFrames = 30000;
    PcmQueue queue(97);
    std::thread decoder([&] {
        std::vector<int16_t> chunk;
        for (int16_t next = 0; next < kFrames;) {
            chunk.clear();
            for (int i = 0; i < 37 && next < kFrames; ++i, ++next) {
                chunk.push_back(next);
                chunk.push_back(static_cast<int16_t>(-next));
            }
            ASSERT_TRUE(queue.push(chunk.data(), chunk.size() / 2));
        }
        queue.finish();
    });
    int16_t out[2 * 29];
    int64_t expected = 0;
    size_t allocations = 0;
    for (;;) {
        const size_t before = t_allocations;
        const PcmQueue::Popped p = queue.pop(out, 29);
        allocations += t_allocations - before;
        ASSERT_EQ(p.first, expected);
        for (size_t i = 0; i < p.frames; ++i, ++expected) {
            ASSERT_EQ(out[i * 2], expected);
            ASSERT_EQ(out[i * 2 + 1], -expected);
        }
        if (p.drained) break;
        if (p.frames == 0) std::this_thread::yield();
    }
    decoder.join();
    EXPECT_EQ(expected, kFrames);
    EXPECT_EQ(allocations, 0u);
    EXPECT_TRUE(queue.pop(out, 1).drained);
}

// The download buffer grows and shrinks while the download writes into it: nothing is lost or
// reordered when the writer moves to new storage the reader has not reached yet.
TEST(ByteRing, ResizedUnderAConcurrentWriterKeepsEveryByte) {
    constexpr size_t kBytes = 200000;
    ByteRing ring(64);
    std::thread download([&] {
        std::vector<uint8_t> chunk;
        for (size_t next = 0; next < kBytes;) {
            chunk.clear();
            for (size_t i = 0; i < 53 && next < kBytes; ++i, ++next)
                chunk.push_back(static_cast<uint8_t>(next % 251));
            ASSERT_TRUE(ring.write(chunk.data(), chunk.size()));
        }
        ring.finish();
    });
    uint8_t out[41];
    size_t got = 0;
    long n;
    while ((n = ring.read(out, sizeof out)) > 0) {
        for (long i = 0; i < n; ++i, ++got) ASSERT_EQ(size_t{out[i]}, got % 251) << got;
        if (got % 7919 < 41) ring.setCapacity(64 + got % 4096, 16);
        const size_t held = ring.size();  // first: the capacity is measured after it
        ASSERT_LE(held, ring.capacity());
    }
    download.join();
    EXPECT_EQ(n, 0);
    EXPECT_EQ(got, kBytes);
    EXPECT_EQ(ring.totalRead(), static_cast<int64_t>(kBytes));
}

}  // namespace
}  // namespace ae

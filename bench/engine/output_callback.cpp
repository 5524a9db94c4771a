// output-callback [SECONDS]
//
// The engine's output callback (the mix PulseAudio's thread runs for every request for data)
// timed per call while the engine plays a local Icecast MP3 mount whose title changes every
// 2 s, a second thread polls the level at 50 Hz as the window's meters do, and every title
// change is read back with the tags as the window does. Prints the count, median, p99, p99.9
// and max of the time per call after SECONDS (60).
//
// The time per call is taken without touching the engine: this program defines
// pa_stream_begin_write, pa_stream_write and pa_stream_cancel_write itself (the executable's
// definitions win over the library's), notes the time between a begin and its write or cancel
// on the calling thread, and forwards to PulseAudio's own functions.
#include <dlfcn.h>
#include <pulse/stream.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "audioengine.h"
#include "fixtures.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kTitleInterval = std::chrono::seconds(2);
constexpr auto kLevelPoll = std::chrono::milliseconds(20);
constexpr int kDefaultSeconds = 60;
// Room for every call of a long run, so that noting one never allocates on the sound thread.
constexpr size_t kMaxCalls = 1 << 20;
constexpr double kToneAmplitude = 0.5;

std::vector<int64_t> g_callNanos(kMaxCalls);
std::atomic<size_t> g_calls{0};
std::atomic<bool> g_timing{false};
thread_local Clock::time_point t_begin{};

template <typename Fn>
Fn real(const char* name) {
    static_assert(sizeof(Fn) == sizeof(void*));
    void* sym = ::dlsym(RTLD_NEXT, name);
    if (!sym) {
        std::fprintf(stderr, "no %s in PulseAudio's library\n", name);
        std::abort();
    }
    return reinterpret_cast<Fn>(sym);
}

void noteEnd() {
    if (t_begin == Clock::time_point{}) return;
    const auto nanos =
        std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - t_begin).count();
    t_begin = {};
    if (!g_timing.load(std::memory_order_relaxed)) return;
    const size_t i = g_calls.fetch_add(1, std::memory_order_relaxed);
    if (i < kMaxCalls) g_callNanos[i] = nanos;
}

}  // namespace

extern "C" {

int pa_stream_begin_write(pa_stream* s, void** data, size_t* nbytes) {
    using Fn = int (*)(pa_stream*, void**, size_t*);
    static const Fn next = real<Fn>("pa_stream_begin_write");
    const int rc = next(s, data, nbytes);
    t_begin = Clock::now();
    return rc;
}

int pa_stream_write(pa_stream* s, const void* data, size_t nbytes, pa_free_cb_t freeCb,
                    int64_t offset, pa_seek_mode_t seek) {
    using Fn = int (*)(pa_stream*, const void*, size_t, pa_free_cb_t, int64_t, pa_seek_mode_t);
    static const Fn next = real<Fn>("pa_stream_write");
    noteEnd();
    return next(s, data, nbytes, freeCb, offset, seek);
}

int pa_stream_cancel_write(pa_stream* s) {
    using Fn = int (*)(pa_stream*);
    static const Fn next = real<Fn>("pa_stream_cancel_write");
    noteEnd();
    return next(s);
}

}  // extern "C"

namespace {

// The window thread's part: title changes arrive from the sync callback and are read back here.
struct Window {
    std::mutex mtx;
    std::condition_variable wake;
    int titlesPending = 0;
    bool stop = false;
};

void metaSync(AE_SYNC, AE_HANDLE, uint32_t, void* user) {
    auto* w = static_cast<Window*>(user);
    std::lock_guard lock(w->mtx);
    ++w->titlesPending;
    w->wake.notify_all();
}

double micros(int64_t nanos) {
    return static_cast<double>(nanos) / 1000.0;
}

}  // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::atoi(argv[1]) : kDefaultSeconds;
    if (seconds < 1) {
        std::fprintf(stderr, "usage: output-callback [SECONDS]\n");
        return 2;
    }
    fx::PulseServer pulse;
    fx::Icecast ice;
    const std::string mount = "bench.mp3";
    if (!pulse.start() || !ice.start() ||
        !ice.startSource(mount, fx::Codec::Mp3, 440, "Bench", kToneAmplitude)) {
        std::fprintf(stderr, "servers: %s%s\n", pulse.error().c_str(), ice.error().c_str());
        return 1;
    }
    if (!AE_Init(-1, 44100, 0, nullptr, nullptr)) {
        std::fprintf(stderr, "AE_Init failed: %d\n", AE_ErrorGetCode());
        return 1;
    }
    AE_SetConfig(AE_CONFIG_BUFFER, 500);
    AE_SetConfig(AE_CONFIG_NET_BUFFER, 5000);
    AE_SetConfig(AE_CONFIG_NET_TIMEOUT, 20000);
    const AE_HANDLE h = AE_StreamCreateURL(ice.url(mount).c_str(), 0,
                                           AE_STREAM_BLOCK | AE_STREAM_STATUS, nullptr, nullptr);
    if (!h) {
        std::fprintf(stderr, "stream failed: %d\n", AE_ErrorGetCode());
        AE_Free();
        return 1;
    }
    Window window;
    AE_ChannelSetSync(h, AE_SYNC_META, 0, metaSync, &window);
    AE_ChannelPlay(h, 0);

    std::atomic<bool> stopPolling{false};
    std::atomic<long> polls{0};
    std::thread meters([&] {
        auto next = Clock::now();
        while (!stopPolling) {
            AE_ChannelGetLevel(h);
            AE_ChannelIsActive(h);
            ++polls;
            next += kLevelPoll;
            std::this_thread::sleep_until(next);
        }
    });
    long titlesRead = 0;
    std::thread reader([&] {
        std::unique_lock lock(window.mtx);
        for (;;) {
            window.wake.wait(lock, [&] { return window.stop || window.titlesPending > 0; });
            if (window.stop) return;
            window.titlesPending = 0;
            lock.unlock();
            if (const char* t = AE_ChannelGetTags(h, AE_TAG_META)) titlesRead += t[0] != 0;
            lock.lock();
        }
    });

    g_timing = true;
    const auto start = Clock::now();
    const auto end = start + std::chrono::seconds(seconds);
    auto nextTitle = start;
    long titles = 0;
    while (Clock::now() < end) {
        ice.setTitle(mount, "Bench Artist - Song " + std::to_string(++titles));
        nextTitle += kTitleInterval;
        std::this_thread::sleep_until(std::min(nextTitle, end));
    }
    g_timing = false;

    stopPolling = true;
    meters.join();
    {
        std::lock_guard lock(window.mtx);
        window.stop = true;
        window.wake.notify_all();
    }
    reader.join();
    AE_StreamFree(h);
    AE_Free();

    const size_t n = std::min(g_calls.load(), kMaxCalls);
    if (n == 0) {
        std::fprintf(stderr, "the output callback never ran\n");
        return 1;
    }
    std::vector<int64_t> calls(g_callNanos.begin(), g_callNanos.begin() + static_cast<long>(n));
    std::sort(calls.begin(), calls.end());
    auto at = [&](double q) { return calls[std::min(n - 1, static_cast<size_t>(q * n))]; };
    std::printf("%d s, %ld titles set, %ld read back, %ld level polls\n", seconds, titles,
                titlesRead, polls.load());
    std::printf(
        "output callback: %zu calls  median %.1f us  p99 %.1f us  p99.9 %.1f us  max "
        "%.1f us\n",
        n, micros(at(0.5)), micros(at(0.99)), micros(at(0.999)), micros(calls.back()));
    return 0;
}

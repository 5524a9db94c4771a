#include "playback/connectworker.h"

#include <algorithm>
#include <atomic>
#include <iterator>
#include <memory>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "diag/debuglog.h"
#include "playback/station.h"
#include "playback/streamtags.h"
#include "playback/windowhandle.h"

namespace {

constexpr auto kBufferingPause = std::chrono::milliseconds(20);
constexpr uint64_t kPositionFailed = ~uint64_t{0};

// The newest worker's generation; a worker whose own differs has been superseded.
std::atomic<uint64_t> LatestGeneration{0};
std::atomic<int> RunningWorkers{0};
// Guarded by HandleMutex: a worker's supersede test together with its store or read of
// StreamHandle, or its start of playback, so an older worker never stores over, frees or plays
// a newer worker's stream.
std::mutex& HandleMutex = *new std::mutex;
// Held by the one worker whose stream is being created, so connection attempts never pile up.
std::mutex& CreateMutex = *new std::mutex;
// How long a newer worker waits for an older one to leave its aborted creation before it
// looks again and aborts again (the older one may have been about to begin it).
constexpr auto kCreateAbortRetry = std::chrono::milliseconds(20);

// The worker threads, each with its end flag set by the worker as it leaves; guarded by
// ThreadsMutex. Window thread (start, join at exit) only, so the list never grows past the
// workers still running plus those ended since the last start.
struct TWorkerThread {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> ended;
};
std::mutex& ThreadsMutex = *new std::mutex;
std::vector<TWorkerThread>& WorkerThreads = *new std::vector<TWorkerThread>;

bool Superseded(uint64_t generation) {
    return LatestGeneration.load() != generation;
}

// Falls back to the stream address for an empty home address and to the home address for an
// empty station title, and shows the title; on the window thread.
void SettleStationTitle(TPlayerWindow& window) {
    if (HomeAddress.empty()) HomeAddress = DefaultStreamAddress;
    if (StationTitle.empty()) StationTitle = HomeAddress;
    window.SetPlayerLabel(TPlayerLabel::Label4, StationTitle);
}

// The buffer fill of one pass of the buffering loop; nullopt ends the loop without a message.
std::optional<int32_t> BufferFillPercent(AE_HANDLE stream, bool wma) {
    const uint64_t end = AE_StreamGetFilePosition(stream, AE_FILEPOS_END);
    // A failed end position, and an end of 0 that would divide by zero, end the loop.
    if (end == kPositionFailed || end == 0) return std::nullopt;
    if (wma) {
        return static_cast<int32_t>(
            static_cast<uint32_t>(AE_StreamGetFilePosition(stream, AE_FILEPOS_WMA_BUFFER)));
    }
    const auto total = static_cast<int64_t>(AE_StreamGetFilePosition(stream, AE_FILEPOS_END));
    const auto downloaded =
        static_cast<int64_t>(AE_StreamGetFilePosition(stream, AE_FILEPOS_DOWNLOAD));
    const auto current = static_cast<int64_t>(AE_StreamGetFilePosition(stream, AE_FILEPOS_CURRENT));
    if (total == 0) return std::nullopt;
    // 128-bit arithmetic: no overflow for any positions the engine may report.
    const __int128 quotient = (static_cast<__int128>(downloaded) - current) * 100 / total;
    return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(quotient)));
}

// Runs on every way out of a worker: a superseded worker frees the stream it made (no one else
// will, and it is of no use to anyone), and the worker is counted out.
struct TWorkerExit {
    uint64_t generation;
    AE_HANDLE own = 0;  // this worker's stream, until it plays
    const char* ending = "superseded or window closed";

    ~TWorkerExit() {
        if (own && Superseded(generation)) AE_StreamFree(own);
        DebugLog("worker %llu end: %s", static_cast<unsigned long long>(generation), ending);
        --RunningWorkers;
    }
};

}  // namespace

int ConnectWorkersRunning() {
    return RunningWorkers.load();
}

void StartConnectWorker(const std::string& location) {
    // Every program that starts workers joins them when it exits normally, also one that did
    // not call JoinConnectWorkers itself.
    static std::once_flag joinAtExit;
    std::call_once(joinAtExit, [] { std::atexit(JoinConnectWorkers); });
    const uint64_t generation = ++LatestGeneration;
    ++RunningWorkers;
    auto ended = std::make_shared<std::atomic<bool>>(false);
    std::thread thread([location, generation, ended] {
        ConnectWorker(location, generation);
        *ended = true;
    });
    std::vector<TWorkerThread> done;
    {
        std::lock_guard lock(ThreadsMutex);
        auto running =
            std::stable_partition(WorkerThreads.begin(), WorkerThreads.end(),
                                  [](const TWorkerThread& w) { return w.ended->load(); });
        std::move(WorkerThreads.begin(), running, std::back_inserter(done));
        WorkerThreads.erase(WorkerThreads.begin(), running);
        WorkerThreads.push_back({std::move(thread), std::move(ended)});
    }
    for (TWorkerThread& w : done) w.thread.join();  // each has returned already
}

void JoinConnectWorkers() {
    ++LatestGeneration;  // every worker is superseded: it sends nothing more and ends
    std::vector<TWorkerThread> threads;
    {
        std::lock_guard lock(ThreadsMutex);
        threads.swap(WorkerThreads);
    }
    for (TWorkerThread& w : threads) {
        // A worker may begin its creation just after an abort: abort again until it has ended.
        while (!w.ended->load()) {
            AE_StreamCreateAbort();
            std::this_thread::sleep_for(kCreateAbortRetry);
        }
        w.thread.join();
    }
}

void ConnectWorker(std::string location, uint64_t generation) {
    // Once superseded, the worker and the tag operations it runs send nothing more.
    SetThreadSendGate([](uint64_t own) { return !Superseded(own); }, generation);
    DebugLog("worker %llu start: %s", static_cast<unsigned long long>(generation),
             location.c_str());
    TWorkerExit exit{generation};

    // Free the previous stream. A superseded worker must not free a newer worker's stream.
    AE_HANDLE previous;
    {
        std::lock_guard lock(HandleMutex);
        if (Superseded(generation)) return;
        previous = StreamHandle.load();
    }
    AE_StreamFree(previous);

    // Connect; the call blocks until the server has answered or the engine has given up. An
    // older worker still connecting is superseded: its creation is aborted, and it ends.
    if (!PlayerSend(kStatusConnecting, 0)) return;
    std::unique_lock creating(CreateMutex, std::try_to_lock);
    while (!creating.owns_lock()) {
        if (Superseded(generation)) return;
        AE_StreamCreateAbort();
        std::this_thread::sleep_for(kCreateAbortRetry);
        creating.try_lock();
    }
    if (Superseded(generation)) return;
    const AE_HANDLE own =
        AE_StreamCreateURL(location.c_str(), 0, kStreamCreateFlags, nullptr, nullptr);
    creating.unlock();
    exit.own = own;
    // Whether the stream carries Windows Media header tags; the worker keeps its own copy, since
    // a newer worker may store its stream's flag at any time.
    const bool wma = own != 0 && AE_ChannelGetTags(own, AE_TAG_WMA) != nullptr;
    {
        std::lock_guard lock(HandleMutex);
        if (Superseded(generation)) return;
        StreamHandle.store(own);
        if (own != 0) IsWmaStream.store(wma);
    }
    if (own == 0) {
        // No service; the watchdog tries again.
        PlayerSend(kStatusNoService, 0);
        exit.ending = "no service";
        return;
    }

    // Report the buffer's fill until it is full enough to play.
    for (;;) {
        if (Superseded(generation)) return;
        const auto percent = BufferFillPercent(own, wma);
        if (!percent) break;
        if (!PlayerSend(kStatusBuffering, *percent)) return;
        if (static_cast<uint32_t>(*percent) > kBufferingDonePercent) break;
        std::this_thread::sleep_for(kBufferingPause);
    }

    // Station name and format, then the callbacks that keep the song title current. From here
    // on the worker may be superseded at any moment, so it works on its own stream only: a
    // newer worker's stream is never touched.
    if (Superseded(generation)) return;
    ScanConnectTags(own);
    if (wma) {
        AE_ChannelSetSync(own, AE_SYNC_WMA_META, 0, MetaSyncProc, nullptr);
        AE_ChannelSetSync(own, AE_SYNC_WMA_CHANGE, 0, WmaChangeSyncProc, nullptr);
    } else {
        AE_ChannelSetSync(own, AE_SYNC_META, 0, MetaSyncProc, nullptr);
        AE_ChannelSetSync(own, AE_SYNC_OGG_CHANGE, 0, MetaSyncProc, nullptr);
    }
    // The title current at connection reaches the window before any metadata event.
    ShowStreamTitle(own);
    AE_ChannelSetSync(own, AE_SYNC_META, 0, MetaSyncProc, nullptr);

    // Settle the station title and show it, on the window thread.
    if (Superseded(generation)) return;
    if (!MainWindowHandle.invokeOnWindow(SettleStationTitle)) return;

    // Play. Under the lock, so a newer worker frees this stream only after it has started, and
    // a superseded worker never starts it.
    {
        std::lock_guard lock(HandleMutex);
        if (Superseded(generation)) return;
        AE_ChannelPlay(own, 0);
    }
    exit.own = 0;
    exit.ending = "playing";
}

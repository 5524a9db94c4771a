#include "playback/connectworker.h"

#include <atomic>
#include <chrono>
#include <mutex>
#include <optional>
#include <thread>

#include "playback/debuglog.h"
#include "playback/station.h"
#include "playback/streamtags.h"

namespace {

constexpr auto kBufferingPause = std::chrono::milliseconds(20);
constexpr uint64_t kPositionFailed = ~uint64_t{0};

// The newest worker's generation; a worker whose own differs has been superseded.
std::atomic<uint64_t> LatestGeneration{0};
std::atomic<int> RunningWorkers{0};
// Guarded by HandleMutex: the supersede test together with a store or read of StreamHandle by
// a worker, so an older worker can never store over, or read, a newer worker's handle.
std::mutex& HandleMutex = *new std::mutex;

// This thread's worker generation; 0 on threads that are no worker.
thread_local uint64_t ThisWorkerGeneration = 0;

bool Superseded(uint64_t generation) {
    return LatestGeneration.load() != generation;
}

bool ThisWorkerSuperseded() {
    return ThisWorkerGeneration != 0 && Superseded(ThisWorkerGeneration);
}

// Steps 11 to 13, on the window thread.
void SettleStationTitle(TPlayerWindow& window) {
    if (HomeAddress.empty()) HomeAddress = DefaultStreamAddress;
    if (StationTitle.empty()) StationTitle = HomeAddress;
    window.SetPlayerLabel(TPlayerLabel::Label4, StationTitle);
}

// The buffer fill of one pass of the buffering loop; nullopt ends the loop without a message.
std::optional<int32_t> BufferFillPercent(AE_HANDLE stream) {
    const uint64_t end = AE_StreamGetFilePosition(stream, AE_FILEPOS_END);
    // A failed end position, and an end of 0 that would divide by zero, end the loop.
    if (end == kPositionFailed || end == 0) return std::nullopt;
    if (IsWmaStream.load()) {
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

// Ends a worker that has been superseded: its own stream is of no use to anyone.
void DropOwnStream(AE_HANDLE own) {
    if (own) AE_StreamFree(own);
}

}  // namespace

bool PlayerSend(uint32_t code, intptr_t lParam) {
    if (ThisWorkerSuperseded()) return false;
    return MainWindowHandle.send(code, lParam);
}

bool PlayerSendText(uint32_t code, const std::string& text) {
    return PlayerSend(code, reinterpret_cast<intptr_t>(text.c_str()));
}

bool PlayerSetLabel(TPlayerLabel label, const std::string& bytes) {
    if (ThisWorkerSuperseded()) return false;
    return MainWindowHandle.setLabel(label, bytes);
}

int ConnectWorkersRunning() {
    return RunningWorkers.load();
}

void StartConnectWorker(const std::string& location) {
    const uint64_t generation = ++LatestGeneration;
    ++RunningWorkers;
    std::thread(ConnectWorker, location, generation).detach();
}

void ConnectWorker(std::string location, uint64_t generation) {
    ThisWorkerGeneration = generation;
    DebugLog("worker %llu start: %s", static_cast<unsigned long long>(generation),
             location.c_str());
    AE_HANDLE own = 0;
    const char* ending = "superseded or window closed";
    [&] {
        // 1: free the previous stream.
        AE_HANDLE previous;
        {
            std::lock_guard lock(HandleMutex);
            if (Superseded(generation)) return;
            previous = StreamHandle.load();
        }
        AE_StreamFree(previous);

        // 2, 3: connect; the call blocks until the server has answered.
        if (!PlayerSend(kStatusConnecting, 0)) return;
        own = AE_StreamCreateURL(location.c_str(), 0, kStreamCreateFlags, nullptr, nullptr);
        {
            std::lock_guard lock(HandleMutex);
            if (Superseded(generation)) return;
            StreamHandle.store(own);
        }

        // 4: no service; the watchdog tries again.
        if (own == 0) {
            PlayerSend(kStatusNoService, 0);
            ending = "no service";
            return;
        }

        // 5, 6: buffering.
        IsWmaStream.store(AE_ChannelGetTags(own, AE_TAG_WMA) != nullptr);
        for (;;) {
            if (Superseded(generation)) return;
            const auto percent = BufferFillPercent(own);
            if (!percent) break;
            if (!PlayerSend(kStatusBuffering, *percent)) return;
            if (static_cast<uint32_t>(*percent) > kBufferingDonePercent) break;
            std::this_thread::sleep_for(kBufferingPause);
        }

        // 7 to 10: tags and the callbacks that keep the song title current.
        if (Superseded(generation)) return;
        ScanConnectTags();
        if (IsWmaStream.load()) {
            AE_ChannelSetSync(StreamHandle.load(), AE_SYNC_WMA_META, 0, MetaSyncProc, nullptr);
            AE_ChannelSetSync(StreamHandle.load(), AE_SYNC_WMA_CHANGE, 0, WmaChangeSyncProc,
                              nullptr);
        } else {
            AE_ChannelSetSync(StreamHandle.load(), AE_SYNC_META, 0, MetaSyncProc, nullptr);
            AE_ChannelSetSync(StreamHandle.load(), AE_SYNC_OGG_CHANGE, 0, MetaSyncProc, nullptr);
        }
        ShowStreamTitle();
        AE_ChannelSetSync(StreamHandle.load(), AE_SYNC_META, 0, MetaSyncProc, nullptr);

        // 11 to 13 on the window thread, then 14: play.
        if (Superseded(generation)) return;
        if (!MainWindowHandle.invokeOnWindow(SettleStationTitle)) return;
        if (Superseded(generation)) return;
        AE_ChannelPlay(StreamHandle.load(), 0);
        own = 0;
        ending = "playing";
    }();
    if (own && Superseded(generation)) DropOwnStream(own);
    DebugLog("worker %llu end: %s", static_cast<unsigned long long>(generation), ending);
    --RunningWorkers;
}

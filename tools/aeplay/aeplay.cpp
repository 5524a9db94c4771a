// aeplay [--net-buffer MS] URL [seconds]: plays a stream through the engine with the player's
// settings (or another network buffer, to compare start-up against a smaller one) and prints
// one line per event:
//   header: <line>    each header tag at start (ICY answer, else HTTP answer, else Ogg comments)
//   buffer: <n>%      the fill that ended the buffering wait
//   format: <rate> Hz, <channels> channels, <codec>[, <n> kbps]
//   title: <song>     the song title at start and at each metadata event
//   ended             the stream has ended
// Exits 0 after `seconds`, at the stream's end or on Ctrl-C or SIGTERM (also while the stream
// is being created); 1 with the engine's error code when the engine cannot start or the stream
// cannot be created.
#include <signal.h>
#include <time.h>

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "audioengine.h"
#include "tags/tagtext.h"

namespace {

constexpr uint32_t kStreamFlags = AE_STREAM_STATUS | AE_STREAM_BLOCK | AE_STREAM_AUTOFREE;
constexpr int64_t kBufferedPercent = 76;   // the player starts playback at this fill
constexpr long kPlayerNetBufferMs = 2000;  // the player's network buffer
constexpr long kMinNetBufferMs = 100, kMaxNetBufferMs = 60000;  // what the engine accepts
constexpr long kBufferPollMs = 20;
// A stream whose download stops growing (its source went away) is played with what it has
// rather than waited for forever.
constexpr double kBufferStallSeconds = 3.0;
constexpr long kWatchMs = 100;  // how often the main thread checks for the end and for signals
// Sent by the creating thread to the main thread when the stream's creation has returned.
const int kCreatedSignal = SIGUSR1;

std::mutex gOutputMutex;
AE_HANDLE gStream = 0;

void printLine(const std::string& text) {
    std::lock_guard<std::mutex> lock(gOutputMutex);
    // Tags come from the server: control bytes are printed escaped, not obeyed by a terminal.
    for (unsigned char c : text)
        if (c < 0x20 || c == 0x7f)
            std::printf("\\x%02x", c);
        else
            std::fputc(c, stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

bool startsWithNoCase(const char* text, const char* prefix) {
    for (; *prefix; ++text, ++prefix)
        if (std::tolower(static_cast<unsigned char>(*text)) !=
            std::tolower(static_cast<unsigned char>(*prefix)))
            return false;
    return true;
}

// "Artist - Title" from Vorbis comments (names are case-insensitive), or just the title.
std::string oggTitle(const char* list) {
    std::string title, artist;
    for (const char* e = list; e && *e; e += std::strlen(e) + 1) {
        if (startsWithNoCase(e, "title=")) title = e + 6;
        if (startsWithNoCase(e, "artist=")) artist = e + 7;
    }
    return artist.empty() ? title : artist + " - " + title;
}

void printTitle(AE_HANDLE stream, bool oggEvent) {
    if (oggEvent) {
        if (const char* comments = AE_ChannelGetTags(stream, AE_TAG_OGG))
            printLine("title: " + oggTitle(comments));
        return;
    }
    if (const char* meta = AE_ChannelGetTags(stream, AE_TAG_META)) {
        if (const auto title = StreamTitleFromMeta(meta)) printLine("title: " + *title);
    }
}

void metaSync(AE_SYNC, AE_HANDLE channel, uint32_t, void*) {
    printTitle(channel, false);
}
void oggSync(AE_SYNC, AE_HANDLE channel, uint32_t, void*) {
    printTitle(channel, true);
}

// The player installs a download callback for the answer's header block; nothing to do here.
void download(const void*, uint32_t, void*) {}

void printHeaderTags(AE_HANDLE stream) {
    const uint32_t kinds[] = {AE_TAG_ICY, AE_TAG_HTTP, AE_TAG_OGG};
    for (uint32_t kind : kinds) {
        const char* list = AE_ChannelGetTags(stream, kind);
        if (!list) continue;
        for (const char* e = list; *e; e += std::strlen(e) + 1)
            printLine(std::string("header: ") + e);
        return;
    }
}

void printFormat(AE_HANDLE stream) {
    AE_CHANNELINFO info{};
    if (!AE_ChannelGetInfo(stream, &info)) return;
    const std::string codec = CodecText(info.ctype);
    std::string line = "format: " + std::to_string(info.freq) + " Hz, " +
                       std::to_string(info.chans) + " channels, " +
                       (codec.empty() ? "unknown" : codec);
    float kbps = 0;
    if (AE_ChannelGetAttribute(stream, AE_ATTRIB_BITRATE, &kbps) && kbps > 0)
        line += ", " + std::to_string(static_cast<int>(kbps + 0.5f)) + " kbps";
    printLine(line);
}

int fail(const char* what, int code = AE_ErrorGetCode()) {
    std::fprintf(stderr, "aeplay: %s (engine error %d)\n", what, code);
    AE_Free();
    return 1;
}

// Waits up to ms for SIGINT or SIGTERM (blocked in every thread); true when one arrived.
bool waitForSignal(const sigset_t& signals, long ms) {
    timespec timeout{ms / 1000, (ms % 1000) * 1000000L};
    return sigtimedwait(&signals, nullptr, &timeout) > 0;
}

double monotonicSeconds() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

}  // namespace

int main(int argc, char** argv) {
    long netBufferMs = kPlayerNetBufferMs;
    if (argc >= 3 && !std::strcmp(argv[1], "--net-buffer")) {
        char* end = nullptr;
        netBufferMs = std::strtol(argv[2], &end, 10);
        if (end == argv[2] || *end || netBufferMs < kMinNetBufferMs ||
            netBufferMs > kMaxNetBufferMs) {
            std::fprintf(stderr, "aeplay: --net-buffer takes %ld to %ld milliseconds\n",
                         kMinNetBufferMs, kMaxNetBufferMs);
            return 2;
        }
        argv += 2;
        argc -= 2;
    }
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: aeplay [--net-buffer MS] URL [seconds]\n");
        return 2;
    }
    double seconds = -1;  // until the end or Ctrl-C
    if (argc == 3) {
        char* end = nullptr;
        seconds = std::strtod(argv[2], &end);
        if (end == argv[2] || *end || !(seconds >= 0)) {
            std::fprintf(stderr, "aeplay: seconds must be a number >= 0\n");
            return 2;
        }
    }
    const double deadline = seconds < 0 ? 1e300 : monotonicSeconds() + seconds;

    // Blocked before the engine starts its threads, so signals only reach sigtimedwait here.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigset_t whileCreating = signals;
    sigaddset(&whileCreating, kCreatedSignal);
    pthread_sigmask(SIG_BLOCK, &whileCreating, nullptr);

    if ((AE_GetVersion() >> 16) != AE_API_VERSION) {
        std::fprintf(stderr, "aeplay: engine API version %#x, expected %#x\n",
                     AE_GetVersion() >> 16, AE_API_VERSION);
        return 1;
    }
    if (!AE_Init(-1, 44100, 0, nullptr, nullptr)) return fail("no usable sound device");
    AE_PluginLoad("aewma", 1);
    AE_PluginLoad("aeaac", 1);
    AE_SetConfig(AE_CONFIG_NET_PLAYLIST, 1);
    AE_SetConfig(AE_CONFIG_BUFFER, 500);
    AE_SetConfig(AE_CONFIG_NET_BUFFER, static_cast<uint32_t>(netBufferMs));
    AE_SetConfig(AE_CONFIG_NET_PREBUF, 100);
    AE_SetConfig(AE_CONFIG_NET_TIMEOUT, 20000);
    AE_SetConfig(AE_CONFIG_UPDATETHREADS, 4);
    AE_SetConfigPtr(AE_CONFIG_NET_AGENT, "VELMORA");

    // The creation blocks until the server answers: it runs on a thread of its own, so that a
    // signal meanwhile aborts it at once.
    int createError = AE_OK;
    const pthread_t mainThread = pthread_self();
    std::thread creator([&] {
        gStream = AE_StreamCreateURL(argv[1], 0, kStreamFlags, download, nullptr);
        createError = AE_ErrorGetCode();
        pthread_kill(mainThread, kCreatedSignal);
    });
    int received = sigwaitinfo(&whileCreating, nullptr);
    while (received < 0 && errno == EINTR) received = sigwaitinfo(&whileCreating, nullptr);
    if (received != kCreatedSignal) {
        AE_StreamCreateAbort();
        while (sigwaitinfo(&whileCreating, nullptr) != kCreatedSignal) {
        }
    }
    creator.join();
    if (received != kCreatedSignal) {
        if (gStream) AE_StreamFree(gStream);
        AE_Free();
        return 0;
    }
    if (!gStream) return fail("cannot create the stream", createError);
    const bool isWma = AE_ChannelGetTags(gStream, AE_TAG_WMA) != nullptr;

    // Buffer as the player does: until the fill reaches 76 % or cannot be read.
    bool interrupted = false;
    int64_t percent = 0;
    uint64_t lastDownloaded = 0;
    double lastGrowth = monotonicSeconds();
    while (!interrupted && monotonicSeconds() < deadline) {
        const uint64_t end = AE_StreamGetFilePosition(gStream, AE_FILEPOS_END);
        if (end == UINT64_MAX) break;
        const uint64_t downloaded = AE_StreamGetFilePosition(gStream, AE_FILEPOS_DOWNLOAD);
        if (isWma) {
            percent =
                static_cast<int32_t>(AE_StreamGetFilePosition(gStream, AE_FILEPOS_WMA_BUFFER));
        } else {
            const auto current =
                static_cast<int64_t>(AE_StreamGetFilePosition(gStream, AE_FILEPOS_CURRENT));
            if (end == 0) break;  // nothing to measure against
            percent =
                (static_cast<int64_t>(downloaded) - current) * 100 / static_cast<int64_t>(end);
        }
        if (percent < 0 || percent >= kBufferedPercent) break;
        if (downloaded != lastDownloaded) {
            lastDownloaded = downloaded;
            lastGrowth = monotonicSeconds();
        } else if (monotonicSeconds() - lastGrowth > kBufferStallSeconds) {
            break;
        }
        interrupted = waitForSignal(signals, kBufferPollMs);
    }
    printLine("buffer: " + std::to_string(percent) + "%");

    printHeaderTags(gStream);
    printFormat(gStream);
    if (isWma) {
        AE_ChannelSetSync(gStream, AE_SYNC_WMA_META, 0, metaSync, nullptr);
    } else {
        AE_ChannelSetSync(gStream, AE_SYNC_META, 0, metaSync, nullptr);
        AE_ChannelSetSync(gStream, AE_SYNC_OGG_CHANGE, 0, oggSync, nullptr);
    }
    printTitle(gStream, AE_ChannelGetTags(gStream, AE_TAG_META) == nullptr);
    if (!interrupted) AE_ChannelPlay(gStream, 0);

    while (!interrupted && monotonicSeconds() < deadline) {
        // With AE_STREAM_AUTOFREE an ended stream frees itself, and its handle reads as stopped.
        if (AE_ChannelIsActive(gStream) == AE_ACTIVE_STOPPED) {
            printLine("ended");
            break;
        }
        interrupted = waitForSignal(signals, kWatchMs);
    }
    AE_Free();
    return 0;
}

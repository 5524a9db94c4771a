// One network stream: its download (or FFmpeg protocol), demuxer, decoder thread, PCM queue,
// tags and the events that become syncs once the listener hears them.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "audioengine.h"
#include "config.h"

struct AVFormatContext;
struct AVCodecContext;
struct AVIOContext;
struct AVFrame;
struct AVPacket;
struct SwrContext;

namespace ae {

class Cancel;
class HttpSource;

// How many of the first `frames` interleaved stereo frames are digital silence (both samples
// zero), counting at most `budget`.
size_t leadingSilentFrames(const int16_t* stereo, size_t frames, size_t budget);

// A sync callback due to run, collected under the stream's lock and called without it.
struct SyncCall {
    AE_SYNCPROC proc;
    AE_SYNC sync;
    AE_HANDLE channel;
    void* user;
};

class Stream {
  public:
    // How deep playlists may name further playlists.
    static constexpr int kMaxPlaylistDepth = 3;
    // Peaks are kept per block of output frames for the level meter.
    static constexpr int64_t kLevelBlock = 64;
    static constexpr size_t kLevelBlocks = 2048;

    // Connects, resolves playlists and probes the format. Blocks; AE_OK or an AE_ERROR_*.
    static int create(const std::string& url, uint32_t flags, AE_DOWNLOADPROC proc, void* user,
                      const StreamSetup& setup, Cancel& cancel, std::shared_ptr<Stream>& out);
    ~Stream();
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;

    void startDecoding(AE_HANDLE handle);
    // Aborts the download and the decoder and joins their threads. Idempotent.
    void shutdown();

    uint32_t flags() const { return flags_; }
    void info(AE_CHANNELINFO* info) const;
    uint64_t secondsToBytes(double seconds) const;
    float bitrateKbps() const;
    // AE_OK and the position, or an error code.
    int filePosition(uint32_t mode, uint64_t& out) const;
    // Null when there are no tags of that kind. See AE_ChannelGetTags for the pointer's life.
    const char* tags(uint32_t kind);

    AE_SYNC addSync(uint32_t type, AE_SYNCPROC proc, void* user);
    bool removeSync(AE_SYNC sync);

    int play();
    bool ended() const;
    uint32_t activity(bool outputPaused) const;
    uint32_t level(int64_t framesPlayed) const;

    // Output thread: adds up to `frames` frames of this stream to acc (stereo, int32), which
    // the listener hears as output frames from outFrame on.
    void mix(int32_t* acc, size_t frames, int64_t outFrame);
    // Sync thread: applies the events heard by now and collects the syncs they fire.
    // True once, when the stream's playback has ended. nextDue is lowered to the number of
    // output frames from framesPlayed before which nothing else of this stream can fire
    // (left alone when nothing can fire until the stream is played).
    bool collectDue(int64_t framesPlayed, std::vector<SyncCall>& calls, int64_t& nextDue);

  private:
    enum class EventKind { Meta, OggChange };
    struct Event {
        EventKind kind;
        std::string text;               // Meta: the metadata text
        std::vector<std::string> list;  // OggChange: the new comments
        int64_t at = 0;                 // byte offset, PCM frame or output frame by queue
    };
    struct SyncReg {
        AE_SYNC id;
        uint32_t type;
        AE_SYNCPROC proc;
        void* user;
    };
    enum class PlayState { Idle, Buffering, Playing, Drained, Ended };

    Stream(std::string url, uint32_t flags, const StreamSetup& setup);

    static int attempt(const std::string& url, int depth, uint32_t flags, AE_DOWNLOADPROC proc,
                       void* user, const StreamSetup& setup, Cancel& cancel,
                       std::shared_ptr<Stream>& out);
    int openHttp(Cancel& cancel);
    int openFfmpegUrl(const std::string& url, Cancel& cancel);
    // Reads a playlist answer into its entries; AE_OK with no entries when it is no playlist.
    int readPlaylist(std::vector<std::string>& entries, bool& hls);
    int probeCustomIo(const std::string& contentType, Cancel& cancel);
    int finishProbe();

    static int readPacket(void* opaque, uint8_t* buf, int size);
    static int interrupted(void* opaque);

    void decodeLoop();
    void noteStreamEvents(AVPacket* pkt);
    void convertAndPush(AVFrame* frame);
    void pushPcm(const int16_t* samples, size_t frames);
    bool readyToStart() const;  // mtx_ held
    void onMeta(std::string_view text, uint64_t offset);
    std::vector<std::string> comments() const;

    // Set while creating, then read-only.
    std::string url_;
    const uint32_t flags_;
    const StreamSetup setup_;
    AE_HANDLE handle_ = 0;
    std::unique_ptr<HttpSource> http_;
    std::vector<std::string> headerLines_;
    bool icy_ = false;
    int64_t contentLength_ = -1;
    // The configured download buffer the prebuffer share is taken of (0: the ring's capacity);
    // the ring itself may be larger, holding what the server sent while probing.
    size_t prebufBase_ = 0;
    AVIOContext* avio_ = nullptr;
    AVFormatContext* fmt_ = nullptr;
    AVCodecContext* dec_ = nullptr;
    int streamIndex_ = -1;
    uint32_t rate_ = 0, chans_ = 0, ctype_ = 0, plugin_ = 0, origres_ = 0;
    int64_t codecBitrate_ = 0, formatBitrate_ = 0;
    bool oggFamily_ = false, wma_ = false;
    std::vector<std::string> wmaTags_;
    std::chrono::steady_clock::time_point connected_;
    Cancel* cancel_ = nullptr;                               // during creation only
    std::chrono::steady_clock::time_point probeDeadline_{};  // during creation only

    // Decoder thread only.
    SwrContext* swr_ = nullptr;
    int swrFormat_ = -1, swrRate_ = 0, swrChannels_ = 0;
    std::vector<int16_t> convertBuf_;
    size_t leadingSilenceLeft_ = 0;  // decoder thread: silent frames that may still be dropped
    std::vector<std::string> lastComments_;  // the Ogg comments last reported

    std::thread decoder_;
    std::atomic<bool> abort_{false};
    std::atomic<int64_t> consumed_{0};  // bytes the demuxer has taken (FFmpeg protocol sources)
    std::once_flag shutdownOnce_;

    // Guarded by mtx_: PCM queue, play state, events, tags, syncs, level history.
    mutable std::mutex mtx_;
    std::condition_variable pcmSpace_;
    std::vector<int16_t> pcm_;  // stereo frames at the output rate
    size_t pcmCap_ = 0, pcmHead_ = 0, pcmCount_ = 0;
    int64_t pcmPushed_ = 0, pcmPopped_ = 0;
    bool decoderDone_ = false;
    PlayState state_ = PlayState::Idle;
    bool everPlayed_ = false;
    int64_t endOutFrame_ = 0;
    std::deque<Event> byteEvents_;   // at: audio byte offset
    std::deque<Event> pcmEvents_;    // at: PCM frame
    std::deque<Event> heardEvents_;  // at: output frame
    std::string metaText_;
    std::vector<std::string> oggTags_;
    std::vector<SyncReg> syncs_;
    std::deque<std::unique_ptr<std::string>> tagCache_[12];
    struct LevelBlock {
        int64_t block = -1;
        uint16_t left = 0, right = 0;
    };
    std::vector<LevelBlock> levels_;
};

}  // namespace ae

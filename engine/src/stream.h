// One network stream as the engine plays it: the opened input, its decoder, the PCM queue
// between them, the timeline of its events, and its play state and levels.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "audioengine.h"
#include "config.h"
#include "decoder.h"
#include "input.h"
#include "pcm_queue.h"
#include "tags.h"
#include "timeline.h"

namespace ae {

class Cancel;

class Stream {
  public:
    // Peaks are kept per block of output frames for the level meter.
    static constexpr int64_t kLevelBlock = 64;
    static constexpr size_t kLevelBlocks = 2048;
    // The most frames one call of mix() takes.
    static constexpr size_t kMaxMixFrames = 1024;

    // Connects, resolves playlists, probes the format and starts decoding; succeeds once the
    // decoder has queued its first sound and, for a stream that declares no bitrate, has
    // measured its rate, within the connect time-out. Blocks; AE_OK or an AE_ERROR_*.
    static int create(const std::string& url, uint32_t flags, AE_DOWNLOADPROC proc, void* user,
                      const StreamSetup& setup, Cancel& cancel, std::shared_ptr<Stream>& out);
    ~Stream();
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;

    // Before the stream is published under its handle.
    void setHandle(AE_HANDLE handle);
    // Aborts the download and the decoder and joins their threads. Idempotent; never on one
    // of those threads.
    void shutdown();

    uint32_t flags() const { return flags_; }
    void info(AE_CHANNELINFO* info) const;
    uint64_t secondsToBytes(double seconds) const;
    float bitrateKbps() const;
    // AE_OK and the position, or an error code. endSeen (non-zero): the END position the
    // caller last read, which CURRENT counts the sound held up to, as it does the END of now.
    int filePosition(uint32_t mode, uint64_t& out, uint64_t endSeen = 0) const;
    // Null when there are no tags of that kind.
    TagBlock tags(uint32_t kind);

    AE_SYNC addSync(uint32_t type, AE_SYNCPROC proc, void* user);
    bool removeSync(AE_SYNC sync);

    int play();
    uint32_t activity(bool outputPaused) const;
    uint32_t level(int64_t framesPlayed) const;

    // Output thread: adds up to `frames` (at most kMaxMixFrames) frames of this stream to acc
    // (stereo, int32), which the listener hears as output frames from outFrame on. Waits for no
    // lock and allocates nothing.
    void mix(int32_t* acc, size_t frames, int64_t outFrame);
    // Sync thread: applies the events heard by now and collects the syncs they fire.
    // True once, when the stream's playback has ended. nextDue is lowered to the number of
    // output frames from framesPlayed before which nothing else of this stream can fire
    // (left alone when nothing can fire until the stream is played).
    bool collectDue(int64_t framesPlayed, std::vector<SyncCall>& calls, int64_t& nextDue);

  private:
    enum class PlayState { Idle, Buffering, Playing, Drained, Ended };

    Stream(uint32_t flags, const StreamSetup& setup, std::unique_ptr<Timeline> timeline,
           std::unique_ptr<Input> input);
    bool readyToStart() const;
    // The share of the configured sound held before playback starts or resumes, in percent.
    uint32_t startPercent() const;
    // What the fill and the prebuffer are measured against (downloaded streams only): the
    // configured sound in bytes, or the download buffer until the byte rate is known.
    size_t configuredSoundBytes() const;
    // The decoded sound waiting in the PCM queue, in the stream's own bytes (0 before its byte
    // rate is known), so that it counts towards the buffer like the bytes not yet decoded.
    size_t queuedSoundBytes() const;
    // The sound held and not yet played, in the stream's bytes, wherever it waits: downloaded
    // and not yet decoded (download buffer, FFmpeg's read buffer, the demuxer), or decoded in
    // the PCM queue. The prebuffer and the fill are shares of the configured sound held.
    size_t heldSoundBytes() const;
    int awaitSound(std::chrono::steady_clock::time_point deadline, Cancel& cancel);

    // Set on construction (the handle before the stream is published), then read-only.
    const uint32_t flags_;
    const StreamSetup setup_;
    AE_HANDLE handle_ = 0;
    // Each guards its own state; declared in this order so that each goes after what uses it.
    const std::unique_ptr<Timeline> timeline_;
    const std::unique_ptr<Input> input_;
    PcmQueue pcm_;
    Decoder decoder_;
    TagVersions tagVersions_;
    std::once_flag shutdownOnce_;

    // Output thread only.
    std::array<int16_t, kMaxMixFrames * 2> mixBuf_{};
    // Adds a block's peaks to its slot in levels_.
    void notePeaks(int64_t block, uint16_t left, uint16_t right);
    bool starved_ = false;         // buffering again after the sound ran out
    uint32_t starvedAnswers_ = 0;  // the download's answers when it ran out

    // Lock-free, as the output thread changes them. Each state has one thread that leaves it:
    // play() Idle, the output thread Buffering and Playing, the sync thread Drained.
    std::atomic<PlayState> state_{PlayState::Idle};
    std::atomic<int64_t> endOutFrame_{0};  // set before state_ becomes Drained
    // Peaks per block of output frames, written by the output thread, read by level(): each
    // slot packs (block + 1) mod 2^32, the left and the right peak into one word; 0: empty.
    std::vector<std::atomic<uint64_t>> levels_;
};

}  // namespace ae

// An opened station: its download (or FFmpeg's own protocol), demuxer and decoder, and what
// probing learnt about the stream. The opener fills it on the creating thread; from then on the
// FFmpeg contexts belong to the decoder thread and everything else is read-only, apart from the
// atomics, which any thread may use.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct AVCodecContext;
struct AVDictionary;
struct AVFormatContext;
struct AVIOContext;

namespace ae {

class Cancel;
class HttpSource;

struct Input {
    using Clock = std::chrono::steady_clock;

    Input() = default;
    ~Input();  // aborts and joins the download, then frees the FFmpeg contexts
    Input(const Input&) = delete;
    Input& operator=(const Input&) = delete;

    // Wakes every wait of the download and the demuxer; they fail from now on.
    void abort();
    // After abort(): waits for the download thread.
    void join();

    // Audio bytes the demuxer has taken, and the bytes downloaded so far.
    int64_t bytesRead() const;
    int64_t bytesDownloaded() const;
    // Bytes per second of sound, measured over what was decoded; 0 before enough was.
    double measuredByteRate() const;
    // Sizes the download buffer to hold `ms` of sound at `byteRate` bytes per second, but never
    // below what it holds, so the reported fill stays within 100%.
    void sizeDownloadBuffer(double byteRate, uint32_t ms);
    // The stream's comments as FFmpeg holds them now (creating or decoder thread).
    std::vector<std::string> comments() const;

    // Decoder thread, once a Windows Media demuxer has ended: skips what follows its data
    // (an index) up to the next header. True when a new program's header is next.
    bool nextProgram();
    // Decoder thread: the next demuxer reads from the new header on.
    void startProgram();
    // The current demuxer's ASF header as it was read; empty for other formats.
    const std::string& asfHeader() const { return header_; }
    // Audio byte offset where the current demuxer's positions start.
    int64_t demuxerBase() const { return demuxerBase_; }

    // FFmpeg's read and interrupt callbacks; opaque is the Input.
    static int readPacket(void* opaque, uint8_t* buf, int size);
    static int interrupted(void* opaque);
    // FFmpeg's open of every address it fetches itself (playlists, segments, keys; the context's
    // opaque is the Input): https verifies the peer and its host name against `certificates`,
    // as our own download does, and the first failure is kept in openFailure.
    static int openVerified(AVFormatContext* s, AVIOContext** pb, const char* url, int flags,
                            AVDictionary** options);

    // Set while opening, then read-only.
    std::string url;                   // the address that was opened (after playlists)
    std::unique_ptr<HttpSource> http;  // null when FFmpeg fetches the stream itself
    std::vector<std::string> headerLines;
    bool icy = false;
    int64_t contentLength = -1;
    uint32_t rate = 0, chans = 0, ctype = 0, plugin = 0, origres = 0;
    int64_t nominalBitrate = 0;  // bits per second the stream declares; 0: none
    bool oggFamily = false, wma = false;
    bool asfPrograms = false;          // a downloaded ASF stream: a new header starts a new program
    std::vector<std::string> oggTags;  // the Ogg comments read while probing
    std::vector<std::string> wmaTags;
    Clock::time_point connected;
    std::string certificates;           // FFmpeg's sources: the trusted certificates file
    Cancel* cancel = nullptr;           // while opening only
    Clock::time_point probeDeadline{};  // while opening only

    // Set while opening, then the decoder thread's (a new Windows Media program replaces them).
    int streamIndex = -1;
    AVIOContext* avio = nullptr;
    AVFormatContext* fmt = nullptr;
    AVCodecContext* dec = nullptr;
    // FFmpeg's own open, which openVerified calls.
    int (*ffmpegOpen)(AVFormatContext*, AVIOContext**, const char*, int, AVDictionary**) = nullptr;

    std::atomic<bool> aborted{false};

    // Decoder thread writes: the stream position up to which packets have gone to the decoder.
    std::atomic<int64_t> consumed{0};
    // Decoder thread writes: audio packet bytes decoded and the sound they gave.
    std::atomic<int64_t> audioBytes{0}, audioMicros{0};
    // The configured download buffer in bytes at the stream's byte rate, which the prebuffer
    // share is taken of (0: the ring's capacity); the ring may be larger, holding more.
    std::atomic<size_t> soundBufferBytes{0};
    // The bytes per second of sound that soundBufferBytes was sized at (0: not sized yet).
    std::atomic<double> soundByteRate{0};
    std::atomic<int> openFailure{0};  // the AVERROR of FFmpeg's first failed open, 0: none

  private:
    int readAsf(uint8_t* buf, int size);
    // Keeps the bytes given to a demuxer while they are its ASF header.
    void capture(const uint8_t* data, size_t len);

    // The demuxer's reading thread (creating, then decoder thread).
    std::string asfCarry_;  // read from the download, not yet given to the demuxer
    int64_t given_ = 0;     // bytes given to demuxers so far
    bool asfHeaderNext_ = false;
    int64_t demuxerBase_ = 0;
    std::string header_;
    bool capturing_ = true;
};

}  // namespace ae

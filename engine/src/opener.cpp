#include "opener.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <list>
#include <mutex>
#include <set>
#include <vector>

#include "ascii_text.h"
#include "cancel.h"
#include "ffmpeg_libs.h"
#include "http_source.h"
#include "playlist.h"
#include "tags.h"

namespace ae {

namespace {

using Clock = std::chrono::steady_clock;

// Download buffer used until the stream's byte rate is known: 2 s at 320 kbps.
constexpr size_t kDefaultRingBytes = 80000;
constexpr size_t kSniffBytes = 512;
constexpr size_t kMaxPlaylistBytes = 64 * 1024;
constexpr int kAvioBufferSize = 4096;
constexpr int64_t kProbeBytes = 64 * 1024;
// Bytes of the answer's start that decide whether the declared type is what is sent: from
// the first step on while they are plain, up to the last (a few frames of MP3 or AAC even at
// high rates) while they are not, so that a slow stream is not held up.
constexpr size_t kFormatSniffSteps[] = {1024, 2048, 4096};
// FFmpeg's probe score from which the bytes overrule the declared type: several frames of
// another format in a row.
constexpr int kFormatSniffScore = AVPROBE_SCORE_EXTENSION / 2;
// A live stream is never sought, but a demuxer with a generic seek index (MP3, AAC) adds an
// entry for every frame: about 3 MB an hour, up to FFmpeg's own cap of 1 MiB per stream. This
// keeps the index to a few entries.
constexpr unsigned kSeekIndexBytes = 1024;

}  // namespace

const AVInputFormat* formatForContentType(const std::string& contentType) {
    std::string type =
        toLower(trim(std::string_view(contentType).substr(0, contentType.find(';'))));
    const char* name = nullptr;
    if (type == "audio/mpeg" || type == "audio/mp3" || type == "audio/mpeg3")
        name = "mp3";
    else if (type == "audio/aac" || type == "audio/aacp" || type == "audio/x-aac")
        name = "aac";
    else if (type == "application/ogg" || type == "audio/ogg" || type == "audio/vorbis" ||
             type == "audio/opus")
        name = "ogg";
    else if (type == "audio/flac" || type == "audio/x-flac")
        name = "flac";
    return name ? ff::api().av_find_input_format(name) : nullptr;
}

const AVInputFormat* plainFormatOf(std::string_view head) {
    std::vector<uint8_t> padded(head.size() + AVPROBE_PADDING_SIZE, 0);
    std::memcpy(padded.data(), head.data(), head.size());
    AVProbeData probe{};
    probe.buf = padded.data();
    probe.buf_size = static_cast<int>(head.size());
    probe.filename = "";
    int score = 0;
    const AVInputFormat* found = ff::api().av_probe_input_format3(&probe, 1, &score);
    return found && score >= kFormatSniffScore ? found : nullptr;
}

namespace {

bool isOggFormat(const AVFormatContext* fmt) {
    return std::strcmp(fmt->iformat->name, "ogg") == 0;
}
bool isMp4Format(const AVFormatContext* fmt) {
    return std::strstr(fmt->iformat->name, "mp4") != nullptr;
}
bool isAsfFormat(const AVFormatContext* fmt) {
    return std::strncmp(fmt->iformat->name, "asf", 3) == 0;
}

// The demuxer for the answer: the declared type's, unless the first bytes are plainly another
// format (servers often label MP3 as AAC and the like), then the one the bytes are.
const AVInputFormat* formatForAnswer(Input& in, const std::string& contentType) {
    const AVInputFormat* declared = formatForContentType(contentType);
    if (!declared) return nullptr;  // FFmpeg probes the bytes itself
    ByteRing& ring = in.http->ring();
    for (size_t bytes : kFormatSniffSteps) {
        const bool whole = ring.waitFor(bytes, in.probeDeadline);
        std::string head(bytes, '\0');
        head.resize(ring.peek(reinterpret_cast<uint8_t*>(head.data()), bytes));
        if (const AVInputFormat* found = plainFormatOf(head)) return found;
        if (!whole) break;  // no more is coming in time
    }
    return declared;
}

// A demuxer on the input's download; the context stays the input's, also on failure.
int openCustomIo(Input& in, const AVInputFormat* format) {
    auto* buffer = static_cast<uint8_t*>(ff::api().av_malloc(kAvioBufferSize));
    if (!buffer) return AE_ERROR_MEMORY;
    in.avio = ff::api().avio_alloc_context(buffer, kAvioBufferSize, 0, &in, &Input::readPacket,
                                           nullptr, nullptr);
    if (!in.avio) {
        ff::api().av_free(buffer);
        return AE_ERROR_MEMORY;
    }
    in.avio->seekable = 0;
    in.fmt = ff::api().avformat_alloc_context();
    if (!in.fmt) return AE_ERROR_MEMORY;
    in.fmt->pb = in.avio;
    in.fmt->flags |= AVFMT_FLAG_CUSTOM_IO;
    in.fmt->interrupt_callback = {&Input::interrupted, &in};
    in.fmt->probesize = kProbeBytes;
    in.fmt->format_probesize = kProbeBytes / 2;
    in.fmt->max_analyze_duration = 2 * AV_TIME_BASE;
    in.fmt->max_index_size = kSeekIndexBytes;
    if (ff::api().avformat_open_input(&in.fmt, nullptr, format, nullptr) < 0) {
        // avformat_open_input frees the context on failure; the I/O context stays ours.
        in.fmt = nullptr;
        return AE_ERROR_FORMAT;
    }
    return AE_OK;
}

// The decoder for the input's chosen stream.
int openDecoder(Input& in) {
    const AVCodecParameters* par = in.fmt->streams[in.streamIndex]->codecpar;
    const AVCodec* codec = ff::api().avcodec_find_decoder(par->codec_id);
    if (!codec) return AE_ERROR_CODEC;
    in.dec = ff::api().avcodec_alloc_context3(codec);
    if (!in.dec) return AE_ERROR_MEMORY;
    if (ff::api().avcodec_parameters_to_context(in.dec, par) < 0 ||
        ff::api().avcodec_open2(in.dec, codec, nullptr) < 0)
        return AE_ERROR_CODEC;
    return AE_OK;
}

// Most addresses one creation tries, playlists and their entries together.
constexpr size_t kMaxAddresses = 64;

// The engine's error for a failed open of FFmpeg's own.
int ffmpegError(int averror) {
    if (averror == AVERROR_PROTOCOL_NOT_FOUND) return AE_ERROR_URL;
    if (averror == AVERROR(ETIMEDOUT) || averror == AVERROR_EXIT) return AE_ERROR_TIMEOUT;
    return averror == AVERROR_INVALIDDATA ? AE_ERROR_FORMAT : AE_ERROR_CONNECT;
}

// A playlist entry whose server has not answered within this time gets the next entry
// started beside it: a mirror that accepts and never answers costs this, not the time-out.
constexpr auto kEntryShare = std::chrono::milliseconds(2500);
// The download thread ends a silent server at the time-out; this margin only guards against
// a download that never reports.
constexpr auto kAnswerGuard = std::chrono::seconds(5);

// Keeps a download registered with the creation's Cancel while it lives, so that every wait on
// it ends when the creation is cancelled.
class Attachment {
  public:
    Attachment(Cancel& cancel, HttpSource* source) : cancel_(cancel), source_(source) {
        cancel_.attach(source_);
    }
    ~Attachment() { cancel_.detach(source_); }
    Attachment(const Attachment&) = delete;
    Attachment& operator=(const Attachment&) = delete;

  private:
    Cancel& cancel_;
    HttpSource* const source_;
};

// A download started whose server has not answered yet.
struct Waiting {
    Waiting(Opened opened, Cancel& cancel)
        : s(std::move(opened)), attached(cancel, s.input->http.get()) {}
    Opened s;
    Attachment attached;  // after s: detached before the download is freed
    const Clock::time_point started = Clock::now();
};

// One creation's settings, and the steps that open one address.
class Opener {
  public:
    Opener(uint32_t flags, AE_DOWNLOADPROC proc, void* user, const StreamSetup& setup,
           Cancel& cancel)
        : flags_(flags), proc_(proc), user_(user), setup_(setup), cancel_(cancel) {}

    // Opens the first of `urls` (a playlist's entries, or the one address asked for) that
    // plays; the last failure when none does.
    int openFirst(const std::vector<std::string>& urls, int depth, Opened& out);

  private:
    // Whether the address may still be tried: each once, and no more than kMaxAddresses.
    bool mayTry(const std::string& url);
    Opened fresh(const std::string& url);
    // Starts asking an http(s) server; its answer is awaited with awaitAnswer().
    Opened startHttp(const std::string& url);
    // Waits until a started download has settled since the last call, or until `until`.
    void awaitAnswer(Clock::time_point until);
    // Goes on with a download whose server answered: a playlist, HLS or a stream.
    int openAnswered(Opened s, int depth, Opened& out);
    // Addresses that FFmpeg's own protocols fetch.
    int openByFfmpeg(const std::string& url, Opened& out);
    int finish(Opened s, Opened& out);
    int openFfmpegUrl(Input& in, const std::string& url);
    // Reads a playlist answer into its entries; AE_OK with no entries when it is no playlist.
    int readPlaylist(Input& in, std::vector<std::string>& entries, bool& hls);
    int probeCustomIo(Input& in, const std::string& contentType);
    int finishProbe(Input& in);

    const uint32_t flags_;
    const AE_DOWNLOADPROC proc_;
    void* const user_;
    const StreamSetup& setup_;
    Cancel& cancel_;
    std::set<std::string> tried_;  // every address this creation has tried

    // Download threads count their settled answers; the creating thread waits on them.
    std::mutex answerMtx_;  // guards answers_
    std::condition_variable answered_;
    uint64_t answers_ = 0;
    uint64_t seenAnswers_ = 0;  // creating thread only
};

bool Opener::mayTry(const std::string& url) {
    return tried_.size() < kMaxAddresses && tried_.insert(url).second;
}

Opened Opener::fresh(const std::string& url) {
    Opened o;
    o.timeline = std::make_unique<Timeline>();
    o.input = std::make_unique<Input>();
    o.input->url = url;
    o.input->cancel = &cancel_;
    return o;
}

int Opener::openFirst(const std::vector<std::string>& urls, int depth, Opened& out) {
    std::list<Waiting> waiting;  // oldest first
    size_t next = 0;
    int rc = AE_ERROR_PLAYLIST;
    auto passOver = Clock::now();  // when the newest waiting entry stops holding back the next
    auto failed = [&](int error) { return cancel_.cancelled() ? AE_ERROR_ABORTED : error; };
    for (;;) {
        if (cancel_.cancelled()) return AE_ERROR_ABORTED;
        while (next < urls.size() && (waiting.empty() || Clock::now() >= passOver)) {
            if (tried_.size() >= kMaxAddresses) {
                next = urls.size();
                break;
            }
            const std::string& url = urls[next++];
            if (!mayTry(url)) continue;
            if (schemeOf(url) == Scheme::Http) {
                waiting.emplace_back(startHttp(url), cancel_);
                passOver = Clock::now() + kEntryShare;
                continue;
            }
            rc = openByFfmpeg(url, out);
            if (rc == AE_OK) return rc;
            if (cancel_.cancelled()) return AE_ERROR_ABORTED;
        }
        if (waiting.empty()) return failed(rc);
        const auto guard = waiting.front().started +
                           std::chrono::milliseconds(setup_.config.timeoutMs) + kAnswerGuard;
        const bool more = next < urls.size();
        awaitAnswer(more ? std::min(passOver, guard) : guard);
        auto answer = std::find_if(waiting.begin(), waiting.end(),
                                   [](Waiting& w) { return w.s.input->http->settled(); });
        if (answer == waiting.end()) {
            if (Clock::now() >= guard) {
                waiting.pop_front();
                rc = AE_ERROR_TIMEOUT;
            }
            continue;
        }
        Opened s = std::move(answer->s);
        waiting.erase(answer);
        rc = s.input->http->waitHeaders();
        if (rc == AE_OK) rc = openAnswered(std::move(s), depth, out);
        if (rc == AE_OK) {
            // The mirrors still being asked are closed at once.
            for (Waiting& w : waiting) w.s.input->abort();
            return rc;
        }
        if (rc == AE_ERROR_ABORTED) return rc;
    }
}

Opened Opener::startHttp(const std::string& url) {
    Opened o = fresh(url);
    Input& in = *o.input;
    HttpOptions options;
    options.agent = setup_.config.agent;
    options.timeoutMs = setup_.config.timeoutMs;
    options.ringCapacity = kDefaultRingBytes;
    in.http = std::make_unique<HttpSource>(in.url, options);
    Timeline* timeline = o.timeline.get();
    in.http->onMeta(
        [timeline](std::string_view text, uint64_t offset) { timeline->addMeta(text, offset); });
    in.http->onSettled([this] {
        std::lock_guard lock(answerMtx_);
        ++answers_;
        answered_.notify_all();
    });
    in.http->start();
    // The decoders load while the server is asked and its answer awaited. Not sooner: on a
    // small machine the loading slows down whatever else a program does at its start.
    ff::preload();
    return o;
}

void Opener::awaitAnswer(Clock::time_point until) {
    std::unique_lock lock(answerMtx_);
    answered_.wait_until(lock, until, [&] { return answers_ != seenAnswers_; });
    seenAnswers_ = answers_;
}

int Opener::openAnswered(Opened s, int depth, Opened& out) {
    Input& in = *s.input;
    in.connected = Clock::now();
    in.headerLines = in.http->headerLines();
    in.icy = in.http->icyAnswer();
    in.contentLength = in.http->contentLength();
    std::vector<std::string> entries;
    bool hls = false;
    int rc = AE_OK;
    {
        Attachment attached(cancel_, in.http.get());
        if (setup_.config.playlists == 1) rc = readPlaylist(in, entries, hls);
        if (rc == AE_OK && !hls && entries.empty())
            rc = probeCustomIo(in, in.http->header("content-type"));
    }
    if (rc != AE_OK) return rc;
    if (hls) {
        const std::string address = in.http->effectiveUrl();
        s = fresh(s.input->url);
        rc = openFfmpegUrl(*s.input, address);
        return rc == AE_OK ? finish(std::move(s), out) : rc;
    }
    if (!entries.empty()) {
        const std::string base = in.http->effectiveUrl();
        s = {};  // the playlist's download is done with
        if (depth + 1 >= kMaxPlaylistDepth) return AE_ERROR_PLAYLIST;
        std::vector<std::string> addresses;
        for (const std::string& entry : entries) addresses.push_back(resolveUrl(base, entry));
        rc = openFirst(addresses, depth + 1, out);
        return rc == AE_OK || rc == AE_ERROR_ABORTED ? rc : AE_ERROR_PLAYLIST;
    }
    if (proc_ && (flags_ & AE_STREAM_STATUS)) {
        std::string block;
        for (const std::string& line : in.headerLines) block.append(line).push_back('\0');
        block.push_back('\0');
        proc_(block.data(), 0, user_);
    }
    return finish(std::move(s), out);
}

int Opener::openByFfmpeg(const std::string& url, Opened& out) {
    if (schemeOf(url) != Scheme::FfmpegProtocol) return AE_ERROR_URL;
    Opened s = fresh(url);
    // FFmpeg knows mms as mmsh (over HTTP) and mmst (over TCP): try them in that order.
    const std::string rest = url.substr(url.find("://"));
    if (!toLower(url).starts_with("mms://")) {
        int rc = openFfmpegUrl(*s.input, url);
        return rc == AE_OK ? finish(std::move(s), out) : rc;
    }
    int rc = openFfmpegUrl(*s.input, "mmsh" + rest);
    if (rc != AE_OK && rc != AE_ERROR_ABORTED && rc != AE_ERROR_CODEC) {
        s = fresh(url);
        rc = openFfmpegUrl(*s.input, "mmst" + rest);
    }
    return rc == AE_OK ? finish(std::move(s), out) : rc;
}

int Opener::finish(Opened s, Opened& out) {
    s.input->cancel = nullptr;
    s.input->probeDeadline = {};
    out = std::move(s);
    return AE_OK;
}

int Opener::readPlaylist(Input& in, std::vector<std::string>& entries, bool& hls) {
    // Metadata in the answer means a stream, never a playlist.
    if (!in.http->header("icy-metaint").empty()) return AE_OK;
    ByteRing& ring = in.http->ring();
    auto deadline = in.connected + std::chrono::milliseconds(setup_.config.timeoutMs);
    ring.waitFor(kSniffBytes, deadline);
    if (ring.aborted()) return AE_ERROR_ABORTED;
    std::string head(std::min(ring.size(), kSniffBytes), '\0');
    head.resize(ring.peek(reinterpret_cast<uint8_t*>(head.data()), head.size()));
    PlaylistKind kind =
        detectPlaylist(in.http->header("content-type"), in.http->effectiveUrl(), head);
    if (kind == PlaylistKind::None) return AE_OK;
    if (kind == PlaylistKind::Hls) {
        hls = true;
        return AE_OK;
    }
    // A playlist is small: wait for all of it, but never hold more than kMaxPlaylistBytes.
    ring.waitFor(kMaxPlaylistBytes + 1, deadline);
    if (ring.aborted()) return AE_ERROR_ABORTED;
    if (!ring.finished() || ring.size() > kMaxPlaylistBytes) return AE_ERROR_PLAYLIST;
    std::string body(ring.size(), '\0');
    body.resize(ring.peek(reinterpret_cast<uint8_t*>(body.data()), body.size()));
    entries = parsePlaylist(kind, body);
    return entries.empty() ? AE_ERROR_PLAYLIST : AE_OK;
}

int Opener::probeCustomIo(Input& in, const std::string& contentType) {
    // The answer's time-out covers sniffing and probing together.
    in.probeDeadline = in.connected + std::chrono::milliseconds(setup_.config.timeoutMs);
    if (!ff::load()) return AE_ERROR_CODEC;
    int rc = openCustomIo(in, formatForAnswer(in, contentType));
    if (rc == AE_ERROR_MEMORY) return rc;
    if (rc != AE_OK) {
        if (cancel_.cancelled() || in.http->ring().aborted()) return AE_ERROR_ABORTED;
        return Clock::now() >= in.probeDeadline ? AE_ERROR_TIMEOUT : AE_ERROR_FORMAT;
    }
    rc = finishProbe(in);
    if (rc == AE_ERROR_FORMAT && Clock::now() >= in.probeDeadline) rc = AE_ERROR_TIMEOUT;
    // Until the decoder has measured the real byte rate, the declared one sizes the buffer.
    if (rc == AE_OK)
        in.sizeDownloadBuffer(static_cast<double>(in.nominalBitrate) / 8,
                              setup_.config.netBufferMs);
    return rc;
}

int Opener::openFfmpegUrl(Input& in, const std::string& url) {
    in.probeDeadline = Clock::now() + std::chrono::milliseconds(setup_.config.timeoutMs);
    if (!ff::load()) return AE_ERROR_CODEC;
    in.fmt = ff::api().avformat_alloc_context();
    if (!in.fmt) return AE_ERROR_MEMORY;
    in.fmt->interrupt_callback = {&Input::interrupted, &in};
    in.certificates = trustedCertificatesFile();
    in.ffmpegOpen = in.fmt->io_open;
    in.fmt->opaque = &in;
    in.fmt->io_open = &Input::openVerified;
    in.fmt->probesize = kProbeBytes;
    in.fmt->max_analyze_duration = 2 * AV_TIME_BASE;
    in.fmt->max_index_size = kSeekIndexBytes;
    AVDictionary* options = nullptr;
    if (!setup_.config.agent.empty())
        ff::api().av_dict_set(&options, "user_agent", setup_.config.agent.c_str(), 0);
    ff::api().av_dict_set(&options, "protocol_whitelist",
                          "http,https,tcp,tls,crypto,hls,mmsh,mmst,httpproxy", 0);
    ff::api().av_dict_set_int(&options, "timeout", int64_t{setup_.config.timeoutMs} * 1000, 0);
    int rc = ff::api().avformat_open_input(&in.fmt, url.c_str(), nullptr, &options);
    ff::api().av_dict_free(&options);
    if (rc < 0) {
        in.fmt = nullptr;
        if (cancel_.cancelled()) return AE_ERROR_ABORTED;
        // A playlist that opened but whose parts did not failed as those parts did.
        return ffmpegError(in.openFailure != 0 ? in.openFailure.load() : rc);
    }
    in.connected = Clock::now();
    rc = finishProbe(in);
    if (rc == AE_ERROR_FORMAT && in.openFailure != 0) rc = ffmpegError(in.openFailure);
    return rc;
}

int Opener::finishProbe(Input& in) {
    if (ff::api().avformat_find_stream_info(in.fmt, nullptr) < 0) {
        return cancel_.cancelled() ? AE_ERROR_ABORTED : AE_ERROR_FORMAT;
    }
    if (cancel_.cancelled()) return AE_ERROR_ABORTED;
    in.streamIndex = ff::api().av_find_best_stream(in.fmt, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    if (in.streamIndex < 0) return AE_ERROR_FORMAT;
    AVStream* st = in.fmt->streams[in.streamIndex];
    const AVCodecParameters* par = st->codecpar;

    const Plugins& plugins = setup_.plugins;
    switch (par->codec_id) {
        case AV_CODEC_ID_MP1:
            in.ctype = AE_CTYPE_STREAM_MP1;
            break;
        case AV_CODEC_ID_MP2:
            in.ctype = AE_CTYPE_STREAM_MP2;
            break;
        case AV_CODEC_ID_MP3:
            if (isAsfFormat(in.fmt)) {
                if (!plugins.wma) return AE_ERROR_CODEC;
                in.ctype = AE_CTYPE_STREAM_WMA_MP3;
                in.plugin = kPluginWma;
                in.wma = true;
            } else {
                in.ctype = AE_CTYPE_STREAM_MP3;
            }
            break;
        case AV_CODEC_ID_VORBIS:
            in.ctype = AE_CTYPE_STREAM_OGG;
            break;
        case AV_CODEC_ID_OPUS:
            in.ctype = AE_CTYPE_STREAM_OPUS;
            break;
        case AV_CODEC_ID_FLAC:
            in.ctype = isOggFormat(in.fmt) ? AE_CTYPE_STREAM_FLAC_OGG : AE_CTYPE_STREAM_FLAC;
            break;
        case AV_CODEC_ID_AAC:
        case AV_CODEC_ID_AAC_LATM:
            if (!plugins.aac) return AE_ERROR_CODEC;
            in.ctype = isMp4Format(in.fmt) ? AE_CTYPE_STREAM_MP4 : AE_CTYPE_STREAM_AAC;
            in.plugin = kPluginAac;
            break;
        case AV_CODEC_ID_WMAV1:
        case AV_CODEC_ID_WMAV2:
        case AV_CODEC_ID_WMAPRO:
            if (!plugins.wma) return AE_ERROR_CODEC;
            in.ctype = AE_CTYPE_STREAM_WMA;
            in.plugin = kPluginWma;
            in.wma = true;
            break;
        default:
            return AE_ERROR_CODEC;
    }
    in.oggFamily = isOggFormat(in.fmt);
    // A Windows Media server starts a new program with a new header: each one gets a demuxer.
    in.asfPrograms = isAsfFormat(in.fmt) && in.http;
    if (int rc = openDecoder(in); rc != AE_OK) return rc;
    if (par->sample_rate <= 0 || par->ch_layout.nb_channels <= 0) return AE_ERROR_FORMAT;
    in.rate = static_cast<uint32_t>(par->sample_rate);
    in.chans = static_cast<uint32_t>(par->ch_layout.nb_channels);
    // MPEG audio, AAC, Vorbis and Windows Media state their rate; Opus and FLAC, and the
    // container's estimate of a whole file's rate, do not say what the stream will send.
    if (par->codec_id != AV_CODEC_ID_OPUS && par->codec_id != AV_CODEC_ID_FLAC)
        in.nominalBitrate = std::max<int64_t>(par->bit_rate, 0);

    if (in.oggFamily) in.oggTags = in.comments();
    if (in.wma) in.wmaTags = windowsMediaTags(in.fmt->metadata);
    // The headers read so far are the stream's start, not a change.
    st->event_flags &= ~AVSTREAM_EVENT_FLAG_METADATA_UPDATED;
    in.fmt->event_flags &= ~AVFMT_EVENT_FLAG_METADATA_UPDATED;
    return AE_OK;
}

}  // namespace

int reopenAsf(Input& in, std::vector<std::string>& tags) {
    if (in.dec) ff::api().avcodec_free_context(&in.dec);
    if (in.fmt) ff::api().avformat_close_input(&in.fmt);
    if (in.avio) {
        ff::api().av_freep(&in.avio->buffer);
        ff::api().avio_context_free(&in.avio);
    }
    in.startProgram();
    if (int rc = openCustomIo(in, ff::api().av_find_input_format("asf")); rc != AE_OK) return rc;
    // The header holds every parameter; reading further to check them would delay the sound.
    in.streamIndex = ff::api().av_find_best_stream(in.fmt, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    if (in.streamIndex < 0) return AE_ERROR_FORMAT;
    if (int rc = openDecoder(in); rc != AE_OK) return rc;
    tags = windowsMediaTags(in.fmt->metadata);
    return AE_OK;
}

int openStation(const std::string& url, uint32_t flags, AE_DOWNLOADPROC proc, void* user,
                const StreamSetup& setup, Cancel& cancel, Opened& out) {
    if (url.empty()) return AE_ERROR_URL;
    return Opener(flags, proc, user, setup, cancel).openFirst({url}, 0, out);
}

}  // namespace ae

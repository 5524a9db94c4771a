#include "stream.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "ascii_text.h"
#include "cancel.h"
#include "ffmpeg_libs.h"
#include "http_source.h"
#include "playlist.h"

namespace ae {

namespace {

using Clock = std::chrono::steady_clock;

// Download buffer used until the stream's byte rate is known: 2 s at 320 kbps.
constexpr size_t kDefaultRingBytes = 80000;
constexpr size_t kMinRingBytes = 8192;
constexpr size_t kMaxRingBytes = 8 << 20;
// The download buffer keeps at least what it holds after probing, rounded up to this.
constexpr size_t kRingGranule = 4096;
constexpr size_t kSniffBytes = 512;
constexpr size_t kMaxPlaylistBytes = 64 * 1024;
constexpr int kAvioBufferSize = 4096;
constexpr int64_t kProbeBytes = 64 * 1024;
// A live stream is never sought, but a demuxer with a generic seek index (MP3, AAC) adds an
// entry for every frame: about 3 MB an hour, up to FFmpeg's own cap of 1 MiB per stream. This
// keeps the index to a few entries.
constexpr unsigned kSeekIndexBytes = 1024;
constexpr size_t kMaxPendingEvents = 256;
constexpr size_t kTagVersionsKept = 8;
constexpr int64_t kLevelWindowFrames = 882;  // 20 ms at 44100 Hz
// At most this much digital silence is dropped from the start of a stream: more than the
// decoders' warm-up, little enough that a station that begins quietly is not cut into.
constexpr size_t kMaxLeadingSilenceMs = 100;

bool isOggFormat(const AVFormatContext* fmt) {
    return std::strcmp(fmt->iformat->name, "ogg") == 0;
}
bool isMp4Format(const AVFormatContext* fmt) {
    return std::strstr(fmt->iformat->name, "mp4") != nullptr;
}
bool isAsfFormat(const AVFormatContext* fmt) {
    return std::strncmp(fmt->iformat->name, "asf", 3) == 0;
}

// FFmpeg's demuxer for a content type we can trust; null: probe the bytes.
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

std::vector<std::string> dictToList(const AVDictionary* dict) {
    std::vector<std::string> out;
    const AVDictionaryEntry* e = nullptr;
    while ((e = ff::api().av_dict_get(dict, "", e, AV_DICT_IGNORE_SUFFIX)) != nullptr) {
        out.push_back(std::string(e->key) + "=" + e->value);
    }
    return out;
}

// Windows Media header tags under their own names: FFmpeg renames the content description's
// Author and Description to its generic artist and comment.
std::vector<std::string> windowsMediaTags(const AVDictionary* dict) {
    std::vector<std::string> out;
    const AVDictionaryEntry* e = nullptr;
    while ((e = ff::api().av_dict_get(dict, "", e, AV_DICT_IGNORE_SUFFIX)) != nullptr) {
        std::string key = toLower(e->key);
        if (key == "artist") key = "author";
        if (key == "comment") key = "description";
        out.push_back(key + "=" + e->value);
    }
    return out;
}

}  // namespace

size_t leadingSilentFrames(const int16_t* stereo, size_t frames, size_t budget) {
    const size_t limit = std::min(frames, budget);
    size_t n = 0;
    while (n < limit && stereo[n * 2] == 0 && stereo[n * 2 + 1] == 0) ++n;
    return n;
}

Stream::Stream(std::string url, uint32_t flags, const StreamSetup& setup)
    : url_(std::move(url)), flags_(flags), setup_(setup), levels_(kLevelBlocks) {
    pcmCap_ = std::max<size_t>(size_t{setup_.config.bufferMs} * setup_.outputRate / 1000, 4096);
    leadingSilenceLeft_ = size_t{setup_.outputRate} * kMaxLeadingSilenceMs / 1000;
    pcm_.resize(pcmCap_ * 2);
}

Stream::~Stream() {
    shutdown();
    if (swr_) ff::api().swr_free(&swr_);
    if (dec_) ff::api().avcodec_free_context(&dec_);
    if (fmt_) ff::api().avformat_close_input(&fmt_);  // custom I/O is not closed by this
    if (avio_) {
        ff::api().av_freep(&avio_->buffer);
        ff::api().avio_context_free(&avio_);
    }
}

int Stream::create(const std::string& url, uint32_t flags, AE_DOWNLOADPROC proc, void* user,
                   const StreamSetup& setup, Cancel& cancel, std::shared_ptr<Stream>& out) {
    if (url.empty()) return AE_ERROR_URL;
    return attempt(url, 0, flags, proc, user, setup, cancel, out);
}

int Stream::attempt(const std::string& url, int depth, uint32_t flags, AE_DOWNLOADPROC proc,
                    void* user, const StreamSetup& setup, Cancel& cancel,
                    std::shared_ptr<Stream>& out) {
    if (cancel.cancelled()) return AE_ERROR_ABORTED;
    std::shared_ptr<Stream> s(new Stream(url, flags, setup));
    s->cancel_ = &cancel;
    int rc = AE_ERROR_URL;
    switch (schemeOf(url)) {
        case Scheme::Unsupported:
            return AE_ERROR_URL;
        case Scheme::FfmpegProtocol: {
            // FFmpeg knows mms as mmsh (over HTTP) and mmst (over TCP): try them in that order.
            std::string rest = url.substr(url.find("://"));
            if (toLower(url).starts_with("mms://")) {
                rc = s->openFfmpegUrl("mmsh" + rest, cancel);
                if (rc != AE_OK && rc != AE_ERROR_ABORTED && rc != AE_ERROR_CODEC) {
                    s.reset(new Stream(url, flags, setup));
                    s->cancel_ = &cancel;
                    rc = s->openFfmpegUrl("mmst" + rest, cancel);
                }
            } else {
                rc = s->openFfmpegUrl(url, cancel);
            }
            break;
        }
        case Scheme::Http: {
            rc = s->openHttp(cancel);
            if (rc != AE_OK) break;
            std::vector<std::string> entries;
            bool hls = false;
            if (setup.config.playlists == 1) {
                rc = s->readPlaylist(entries, hls);
                if (rc != AE_OK) break;
            }
            if (hls) {
                std::string address = s->http_->effectiveUrl();
                s.reset(new Stream(url, flags, setup));
                s->cancel_ = &cancel;
                rc = s->openFfmpegUrl(address, cancel);
                break;
            }
            if (!entries.empty()) {
                std::string base = s->http_->effectiveUrl();
                s.reset();  // the playlist's download is done with
                if (depth + 1 >= kMaxPlaylistDepth) return AE_ERROR_PLAYLIST;
                for (const std::string& entry : entries) {
                    rc = attempt(resolveUrl(base, entry), depth + 1, flags, proc, user, setup,
                                 cancel, out);
                    if (rc == AE_OK || rc == AE_ERROR_ABORTED) return rc;
                }
                return AE_ERROR_PLAYLIST;
            }
            rc = s->probeCustomIo(s->http_->header("content-type"), cancel);
            if (rc == AE_OK && proc && (flags & AE_STREAM_STATUS)) {
                std::string block;
                for (const std::string& line : s->headerLines_) block.append(line).push_back('\0');
                block.push_back('\0');
                proc(block.data(), 0, user);
            }
            break;
        }
    }
    if (rc != AE_OK) return cancel.cancelled() ? AE_ERROR_ABORTED : rc;
    s->cancel_ = nullptr;
    s->probeDeadline_ = {};
    out = std::move(s);
    return AE_OK;
}

int Stream::openHttp(Cancel& cancel) {
    HttpOptions options;
    options.agent = setup_.config.agent;
    options.timeoutMs = setup_.config.timeoutMs;
    options.ringCapacity = kDefaultRingBytes;
    http_ = std::make_unique<HttpSource>(url_, options);
    http_->onMeta([this](std::string_view text, uint64_t offset) { onMeta(text, offset); });
    cancel.attach(http_.get());
    http_->start();
    // The decoders load while the server is asked and its answer awaited. Not sooner: on a
    // small machine the loading slows down whatever else a program does at its start.
    ff::preload();
    int rc = http_->waitHeaders();
    cancel.detach(http_.get());
    if (rc != AE_OK) return rc;
    connected_ = Clock::now();
    headerLines_ = http_->headerLines();
    icy_ = http_->icyAnswer();
    contentLength_ = http_->contentLength();
    return AE_OK;
}

int Stream::readPlaylist(std::vector<std::string>& entries, bool& hls) {
    // Metadata in the answer means a stream, never a playlist.
    if (!http_->header("icy-metaint").empty()) return AE_OK;
    ByteRing& ring = http_->ring();
    auto deadline = connected_ + std::chrono::milliseconds(setup_.config.timeoutMs);
    ring.waitFor(kSniffBytes, deadline);
    if (ring.aborted()) return AE_ERROR_ABORTED;
    std::string head(std::min(ring.size(), kSniffBytes), '\0');
    head.resize(ring.peek(reinterpret_cast<uint8_t*>(head.data()), head.size()));
    PlaylistKind kind = detectPlaylist(http_->header("content-type"), http_->effectiveUrl(), head);
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

int Stream::readPacket(void* opaque, uint8_t* buf, int size) {
    auto* self = static_cast<Stream*>(opaque);
    std::optional<Clock::time_point> deadline;
    if (self->probeDeadline_ != Clock::time_point{}) deadline = self->probeDeadline_;
    long n = self->http_->ring().read(buf, static_cast<size_t>(size), deadline);
    if (n > 0) return static_cast<int>(n);
    if (n == 0) return AVERROR_EOF;
    return self->http_->ring().aborted() ? AVERROR_EXIT : AVERROR(ETIMEDOUT);
}

int Stream::interrupted(void* opaque) {
    auto* self = static_cast<Stream*>(opaque);
    if (self->abort_) return 1;
    if (self->cancel_ && self->cancel_->cancelled()) return 1;
    return self->probeDeadline_ != Clock::time_point{} && Clock::now() > self->probeDeadline_;
}

int Stream::probeCustomIo(const std::string& contentType, Cancel& cancel) {
    // The answer's time-out covers sniffing and probing together.
    probeDeadline_ = connected_ + std::chrono::milliseconds(setup_.config.timeoutMs);
    if (!ff::load()) return AE_ERROR_CODEC;
    auto* buffer = static_cast<uint8_t*>(ff::api().av_malloc(kAvioBufferSize));
    if (!buffer) return AE_ERROR_MEMORY;
    avio_ = ff::api().avio_alloc_context(buffer, kAvioBufferSize, 0, this, &Stream::readPacket,
                                         nullptr, nullptr);
    if (!avio_) {
        ff::api().av_free(buffer);
        return AE_ERROR_MEMORY;
    }
    avio_->seekable = 0;
    fmt_ = ff::api().avformat_alloc_context();
    if (!fmt_) return AE_ERROR_MEMORY;
    fmt_->pb = avio_;
    fmt_->flags |= AVFMT_FLAG_CUSTOM_IO;
    fmt_->interrupt_callback = {&Stream::interrupted, this};
    fmt_->probesize = kProbeBytes;
    fmt_->format_probesize = kProbeBytes / 2;
    fmt_->max_analyze_duration = 2 * AV_TIME_BASE;
    fmt_->max_index_size = kSeekIndexBytes;
    cancel.attach(http_.get());
    int rc =
        ff::api().avformat_open_input(&fmt_, nullptr, formatForContentType(contentType), nullptr);
    cancel.detach(http_.get());
    if (rc < 0) {
        // avformat_open_input frees the context on failure; the I/O context stays ours.
        fmt_ = nullptr;
        if (cancel.cancelled() || http_->ring().aborted()) return AE_ERROR_ABORTED;
        return Clock::now() >= probeDeadline_ ? AE_ERROR_TIMEOUT : AE_ERROR_FORMAT;
    }
    cancel.attach(http_.get());
    rc = finishProbe();
    cancel.detach(http_.get());
    if (rc == AE_ERROR_FORMAT && Clock::now() >= probeDeadline_) rc = AE_ERROR_TIMEOUT;
    if (rc == AE_OK) {
        // Now the byte rate is known: size the download buffer as configured, but never below
        // what the server's burst already filled, so the reported fill stays within 100%.
        int64_t bitrate = codecBitrate_ > 0 ? codecBitrate_ : formatBitrate_;
        if (bitrate > 0) {
            auto bytes = static_cast<size_t>(bitrate / 8 * setup_.config.netBufferMs / 1000);
            prebufBase_ = std::clamp(bytes, kMinRingBytes, kMaxRingBytes);
            http_->ring().setCapacity(prebufBase_, kRingGranule);
        }
    }
    return rc;
}

int Stream::openFfmpegUrl(const std::string& url, Cancel& cancel) {
    probeDeadline_ = Clock::now() + std::chrono::milliseconds(setup_.config.timeoutMs);
    if (!ff::load()) return AE_ERROR_CODEC;
    fmt_ = ff::api().avformat_alloc_context();
    if (!fmt_) return AE_ERROR_MEMORY;
    fmt_->interrupt_callback = {&Stream::interrupted, this};
    fmt_->probesize = kProbeBytes;
    fmt_->max_analyze_duration = 2 * AV_TIME_BASE;
    fmt_->max_index_size = kSeekIndexBytes;
    AVDictionary* options = nullptr;
    if (!setup_.config.agent.empty())
        ff::api().av_dict_set(&options, "user_agent", setup_.config.agent.c_str(), 0);
    ff::api().av_dict_set(&options, "protocol_whitelist", "http,https,tcp,tls,crypto,hls,mmsh,mmst",
                          0);
    ff::api().av_dict_set_int(&options, "timeout", int64_t{setup_.config.timeoutMs} * 1000, 0);
    int rc = ff::api().avformat_open_input(&fmt_, url.c_str(), nullptr, &options);
    ff::api().av_dict_free(&options);
    if (rc < 0) {
        fmt_ = nullptr;
        if (cancel.cancelled()) return AE_ERROR_ABORTED;
        if (rc == AVERROR_PROTOCOL_NOT_FOUND) return AE_ERROR_URL;
        if (rc == AVERROR(ETIMEDOUT) || rc == AVERROR_EXIT) return AE_ERROR_TIMEOUT;
        return rc == AVERROR_INVALIDDATA ? AE_ERROR_FORMAT : AE_ERROR_CONNECT;
    }
    connected_ = Clock::now();
    return finishProbe();
}

int Stream::finishProbe() {
    if (ff::api().avformat_find_stream_info(fmt_, nullptr) < 0) {
        return (cancel_ && cancel_->cancelled()) ? AE_ERROR_ABORTED : AE_ERROR_FORMAT;
    }
    if (cancel_ && cancel_->cancelled()) return AE_ERROR_ABORTED;
    streamIndex_ = ff::api().av_find_best_stream(fmt_, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    if (streamIndex_ < 0) return AE_ERROR_FORMAT;
    AVStream* st = fmt_->streams[streamIndex_];
    const AVCodecParameters* par = st->codecpar;

    const Plugins& plugins = setup_.plugins;
    switch (par->codec_id) {
        case AV_CODEC_ID_MP1:
            ctype_ = AE_CTYPE_STREAM_MP1;
            break;
        case AV_CODEC_ID_MP2:
            ctype_ = AE_CTYPE_STREAM_MP2;
            break;
        case AV_CODEC_ID_MP3:
            if (isAsfFormat(fmt_)) {
                if (!plugins.wma) return AE_ERROR_CODEC;
                ctype_ = AE_CTYPE_STREAM_WMA_MP3;
                plugin_ = kPluginWma;
                wma_ = true;
            } else {
                ctype_ = AE_CTYPE_STREAM_MP3;
            }
            break;
        case AV_CODEC_ID_VORBIS:
            ctype_ = AE_CTYPE_STREAM_OGG;
            break;
        case AV_CODEC_ID_OPUS:
            ctype_ = AE_CTYPE_STREAM_OPUS;
            break;
        case AV_CODEC_ID_FLAC:
            ctype_ = isOggFormat(fmt_) ? AE_CTYPE_STREAM_FLAC_OGG : AE_CTYPE_STREAM_FLAC;
            break;
        case AV_CODEC_ID_AAC:
        case AV_CODEC_ID_AAC_LATM:
            if (!plugins.aac) return AE_ERROR_CODEC;
            ctype_ = isMp4Format(fmt_) ? AE_CTYPE_STREAM_MP4 : AE_CTYPE_STREAM_AAC;
            plugin_ = kPluginAac;
            break;
        case AV_CODEC_ID_WMAV1:
        case AV_CODEC_ID_WMAV2:
        case AV_CODEC_ID_WMAPRO:
            if (!plugins.wma) return AE_ERROR_CODEC;
            ctype_ = AE_CTYPE_STREAM_WMA;
            plugin_ = kPluginWma;
            wma_ = true;
            break;
        default:
            return AE_ERROR_CODEC;
    }
    oggFamily_ = isOggFormat(fmt_);

    const AVCodec* codec = ff::api().avcodec_find_decoder(par->codec_id);
    if (!codec) return AE_ERROR_CODEC;
    dec_ = ff::api().avcodec_alloc_context3(codec);
    if (!dec_) return AE_ERROR_MEMORY;
    if (ff::api().avcodec_parameters_to_context(dec_, par) < 0 ||
        ff::api().avcodec_open2(dec_, codec, nullptr) < 0)
        return AE_ERROR_CODEC;
    if (par->sample_rate <= 0 || par->ch_layout.nb_channels <= 0) return AE_ERROR_FORMAT;
    rate_ = static_cast<uint32_t>(par->sample_rate);
    chans_ = static_cast<uint32_t>(par->ch_layout.nb_channels);
    codecBitrate_ = par->bit_rate;
    formatBitrate_ = fmt_->bit_rate;  // the demuxer's context belongs to the decoder from now on

    if (oggFamily_) oggTags_ = lastComments_ = comments();
    if (wma_) wmaTags_ = windowsMediaTags(fmt_->metadata);
    // The headers read so far are the stream's start, not a change.
    st->event_flags &= ~AVSTREAM_EVENT_FLAG_METADATA_UPDATED;
    fmt_->event_flags &= ~AVFMT_EVENT_FLAG_METADATA_UPDATED;
    return AE_OK;
}

std::vector<std::string> Stream::comments() const {
    std::vector<std::string> list = dictToList(fmt_->streams[streamIndex_]->metadata);
    if (list.empty()) list = dictToList(fmt_->metadata);
    return list;
}

void Stream::onMeta(std::string_view text, uint64_t offset) {
    std::lock_guard lock(mtx_);
    if (byteEvents_.size() >= kMaxPendingEvents) byteEvents_.pop_front();
    byteEvents_.push_back({EventKind::Meta, std::string(text), {}, static_cast<int64_t>(offset)});
    // Until playback starts, the newest title is the one the listener will hear first.
    if (!everPlayed_) metaText_ = text;
}

void Stream::startDecoding(AE_HANDLE handle) {
    handle_ = handle;
    decoder_ = std::thread([this] { decodeLoop(); });
}

void Stream::shutdown() {
    std::call_once(shutdownOnce_, [this] {
        abort_ = true;
        if (http_) http_->abort();
        {
            std::lock_guard lock(mtx_);
            pcmSpace_.notify_all();
        }
        if (decoder_.joinable()) {
            if (decoder_.get_id() == std::this_thread::get_id()) {
                decoder_.detach();
            } else {
                decoder_.join();
            }
        }
        if (http_) http_->join();
    });
}

void Stream::decodeLoop() {
    AVPacket* pkt = ff::api().av_packet_alloc();
    AVFrame* frame = ff::api().av_frame_alloc();
    while (!abort_ && pkt && frame) {
        int rc = ff::api().av_read_frame(fmt_, pkt);
        if (rc == AVERROR(EAGAIN)) continue;
        if (rc < 0) break;
        if (pkt->stream_index != streamIndex_) {
            ff::api().av_packet_unref(pkt);
            continue;
        }
        noteStreamEvents(pkt);
        if (ff::api().avcodec_send_packet(dec_, pkt) == 0) {
            while (!abort_ && ff::api().avcodec_receive_frame(dec_, frame) == 0) {
                convertAndPush(frame);
                ff::api().av_frame_unref(frame);
            }
        }
        ff::api().av_packet_unref(pkt);
    }
    if (!abort_ && dec_ && frame && ff::api().avcodec_send_packet(dec_, nullptr) == 0) {
        while (!abort_ && ff::api().avcodec_receive_frame(dec_, frame) == 0) {
            convertAndPush(frame);
            ff::api().av_frame_unref(frame);
        }
    }
    ff::api().av_frame_free(&frame);
    ff::api().av_packet_free(&pkt);
    std::lock_guard lock(mtx_);
    decoderDone_ = true;
    // Whatever was announced but not reached belongs at the very end.
    for (Event& e : byteEvents_) {
        e.at = pcmPushed_;
        pcmEvents_.push_back(std::move(e));
    }
    byteEvents_.clear();
}

void Stream::noteStreamEvents(AVPacket* pkt) {
    int64_t reached;
    if (pkt->pos >= 0) {
        reached = pkt->pos + pkt->size;
    } else {
        reached = http_ ? http_->ring().totalRead() : consumed_.load();
    }
    consumed_ = std::max(consumed_.load(), reached);

    // A new logical Ogg stream (a chained stream) brings new comments.
    std::vector<std::string> changed;
    bool oggChange = false;
    AVStream* st = fmt_->streams[streamIndex_];
    if (oggFamily_ && (st->event_flags & AVSTREAM_EVENT_FLAG_METADATA_UPDATED)) {
        st->event_flags &= ~AVSTREAM_EVENT_FLAG_METADATA_UPDATED;
        changed = comments();
        oggChange = true;
    }
    size_t sideSize = 0;
    const uint8_t* side =
        ff::api().av_packet_get_side_data(pkt, AV_PKT_DATA_METADATA_UPDATE, &sideSize);
    if (oggFamily_ && side && !oggChange) {
        AVDictionary* dict = nullptr;
        if (ff::api().av_packet_unpack_dictionary(side, sideSize, &dict) == 0) {
            changed = dictToList(dict);
            oggChange = true;
        }
        ff::api().av_dict_free(&dict);
    }

    // The first packet repeats the comments read while probing: no change.
    if (oggChange && changed == lastComments_) oggChange = false;
    if (oggChange) lastComments_ = changed;

    std::lock_guard lock(mtx_);
    while (!byteEvents_.empty() && byteEvents_.front().at <= reached) {
        Event e = std::move(byteEvents_.front());
        byteEvents_.pop_front();
        e.at = pcmPushed_;
        pcmEvents_.push_back(std::move(e));
    }
    if (oggChange) pcmEvents_.push_back({EventKind::OggChange, {}, std::move(changed), pcmPushed_});
    while (pcmEvents_.size() > kMaxPendingEvents) pcmEvents_.pop_front();
}

void Stream::convertAndPush(AVFrame* frame) {
    AVChannelLayout inLayout;
    if (frame->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC || frame->ch_layout.nb_channels == 0) {
        int channels = frame->ch_layout.nb_channels > 0 ? frame->ch_layout.nb_channels
                                                        : static_cast<int>(chans_);
        ff::api().av_channel_layout_default(&inLayout, channels);
    } else if (ff::api().av_channel_layout_copy(&inLayout, &frame->ch_layout) < 0) {
        return;
    }
    if (!swr_ || frame->format != swrFormat_ || frame->sample_rate != swrRate_ ||
        inLayout.nb_channels != swrChannels_) {
        if (swr_) ff::api().swr_free(&swr_);
        AVChannelLayout stereo = AV_CHANNEL_LAYOUT_STEREO;
        if (ff::api().swr_alloc_set_opts2(
                &swr_, &stereo, AV_SAMPLE_FMT_S16, static_cast<int>(setup_.outputRate), &inLayout,
                static_cast<AVSampleFormat>(frame->format), frame->sample_rate, 0, nullptr) < 0 ||
            ff::api().swr_init(swr_) < 0) {
            if (swr_) ff::api().swr_free(&swr_);
            ff::api().av_channel_layout_uninit(&inLayout);
            return;
        }
        swrFormat_ = frame->format;
        swrRate_ = frame->sample_rate;
        swrChannels_ = inLayout.nb_channels;
    }
    ff::api().av_channel_layout_uninit(&inLayout);
    int capacity = ff::api().swr_get_out_samples(swr_, frame->nb_samples);
    if (capacity <= 0) return;
    convertBuf_.resize(static_cast<size_t>(capacity) * 2);
    auto* out = reinterpret_cast<uint8_t*>(convertBuf_.data());
    int n = ff::api().swr_convert(
        swr_, &out, capacity, const_cast<const uint8_t**>(frame->extended_data), frame->nb_samples);
    if (n <= 0) return;
    const int16_t* pcm = convertBuf_.data();
    auto frames = static_cast<size_t>(n);
    if (leadingSilenceLeft_ > 0) {
        // Joined mid-stream, a decoder's first frames lack the data they refer back to (the
        // MP3 bit reservoir, AAC's overlap) and come out as digital silence: skipped, sound
        // starts as soon as there is any.
        const size_t skip = leadingSilentFrames(pcm, frames, leadingSilenceLeft_);
        // Sound, or the budget spent: from here on everything is played.
        leadingSilenceLeft_ = skip == frames ? leadingSilenceLeft_ - skip : 0;
        pcm += skip * 2;
        frames -= skip;
    }
    if (frames > 0) pushPcm(pcm, frames);
}

void Stream::pushPcm(const int16_t* samples, size_t frames) {
    std::unique_lock lock(mtx_);
    while (frames > 0) {
        pcmSpace_.wait(lock, [&] { return abort_ || pcmCount_ < pcmCap_; });
        if (abort_) return;
        size_t n = std::min(frames, pcmCap_ - pcmCount_);
        for (size_t i = 0; i < n; ++i) {
            size_t slot = (pcmHead_ + pcmCount_ + i) % pcmCap_;
            pcm_[slot * 2] = samples[i * 2];
            pcm_[slot * 2 + 1] = samples[i * 2 + 1];
        }
        pcmCount_ += n;
        pcmPushed_ += static_cast<int64_t>(n);
        samples += n * 2;
        frames -= n;
    }
}

bool Stream::readyToStart() const {
    if (decoderDone_) return true;
    if (pcmCount_ < pcmCap_ / 2) return false;
    if (!http_) return true;
    const ByteRing& ring = http_->ring();
    size_t base = prebufBase_ > 0 ? std::min(prebufBase_, ring.capacity()) : ring.capacity();
    return ring.finished() || ring.size() * 100 >= base * setup_.config.prebufPercent;
}

void Stream::mix(int32_t* acc, size_t frames, int64_t outFrame) {
    std::lock_guard lock(mtx_);
    if (state_ == PlayState::Buffering) {
        if (!readyToStart()) return;
        state_ = PlayState::Playing;
    }
    if (state_ != PlayState::Playing) return;
    size_t n = std::min(frames, pcmCount_);
    for (size_t i = 0; i < n; ++i) {
        size_t slot = (pcmHead_ + i) % pcmCap_;
        int16_t left = pcm_[slot * 2], right = pcm_[slot * 2 + 1];
        acc[i * 2] += left;
        acc[i * 2 + 1] += right;
        int64_t block = (outFrame + static_cast<int64_t>(i)) / kLevelBlock;
        LevelBlock& lb = levels_[static_cast<size_t>(block) % kLevelBlocks];
        if (lb.block != block) lb = {block, 0, 0};
        lb.left = std::max<uint16_t>(lb.left, static_cast<uint16_t>(std::abs(int{left})));
        lb.right = std::max<uint16_t>(lb.right, static_cast<uint16_t>(std::abs(int{right})));
    }
    int64_t first = pcmPopped_;
    pcmHead_ = (pcmHead_ + n) % pcmCap_;
    pcmCount_ -= n;
    pcmPopped_ += static_cast<int64_t>(n);
    pcmSpace_.notify_all();
    bool drained = n < frames && decoderDone_ && pcmCount_ == 0;
    while (!pcmEvents_.empty() && (pcmEvents_.front().at < pcmPopped_ || drained)) {
        Event e = std::move(pcmEvents_.front());
        pcmEvents_.pop_front();
        e.at = outFrame + std::clamp<int64_t>(e.at - first, 0, static_cast<int64_t>(n));
        heardEvents_.push_back(std::move(e));
    }
    if (n < frames) {
        if (drained) {
            state_ = PlayState::Drained;
            endOutFrame_ = outFrame + static_cast<int64_t>(n);
        } else {
            state_ = PlayState::Buffering;  // starved: refill before going on
        }
    }
}

bool Stream::collectDue(int64_t framesPlayed, std::vector<SyncCall>& calls, int64_t& nextDue) {
    std::lock_guard lock(mtx_);
    while (!heardEvents_.empty() && heardEvents_.front().at <= framesPlayed) {
        Event e = std::move(heardEvents_.front());
        heardEvents_.pop_front();
        uint32_t type;
        if (e.kind == EventKind::Meta) {
            metaText_ = std::move(e.text);
            type = AE_SYNC_META;
        } else {
            oggTags_ = std::move(e.list);
            type = AE_SYNC_OGG_CHANGE;
        }
        for (const SyncReg& reg : syncs_) {
            if (reg.type == type) calls.push_back({reg.proc, reg.id, handle_, reg.user});
        }
    }
    if (state_ == PlayState::Drained && heardEvents_.empty() && framesPlayed >= endOutFrame_) {
        state_ = PlayState::Ended;
        return true;
    }
    // Lower bounds only: the output never plays a frame before mixing it, so an event can be
    // heard no sooner than the PCM ahead of it takes to play.
    int64_t next = nextDue;
    if (!heardEvents_.empty()) next = std::min(next, heardEvents_.front().at - framesPlayed);
    if (state_ == PlayState::Drained) {
        next = std::min(next, endOutFrame_ - framesPlayed);
    } else if (state_ == PlayState::Buffering || state_ == PlayState::Playing) {
        if (!pcmEvents_.empty()) next = std::min(next, pcmEvents_.front().at - pcmPopped_);
        if (!byteEvents_.empty() || decoderDone_)
            next = std::min(next, static_cast<int64_t>(pcmCount_));
    }
    nextDue = next;
    return false;
}

int Stream::play() {
    std::lock_guard lock(mtx_);
    if (state_ == PlayState::Drained || state_ == PlayState::Ended) return AE_ERROR_ENDED;
    if (state_ == PlayState::Idle) state_ = PlayState::Buffering;
    everPlayed_ = true;
    return AE_OK;
}

bool Stream::ended() const {
    std::lock_guard lock(mtx_);
    return state_ == PlayState::Ended;
}

uint32_t Stream::activity(bool outputPaused) const {
    std::lock_guard lock(mtx_);
    switch (state_) {
        case PlayState::Idle:
        case PlayState::Ended:
            return AE_ACTIVE_STOPPED;
        case PlayState::Buffering:
            return outputPaused ? AE_ACTIVE_PAUSED : AE_ACTIVE_STALLED;
        case PlayState::Playing:
        case PlayState::Drained:
            return outputPaused ? AE_ACTIVE_PAUSED : AE_ACTIVE_PLAYING;
    }
    return AE_ACTIVE_STOPPED;
}

uint32_t Stream::level(int64_t framesPlayed) const {
    int64_t window = std::max<int64_t>(kLevelWindowFrames * setup_.outputRate / 44100, 1);
    int64_t from = std::max<int64_t>(framesPlayed - window, 0) / kLevelBlock;
    int64_t to = std::max<int64_t>(framesPlayed - 1, 0) / kLevelBlock;
    uint32_t left = 0, right = 0;
    std::lock_guard lock(mtx_);
    for (int64_t b = from; b <= to; ++b) {
        const LevelBlock& lb = levels_[static_cast<size_t>(b) % kLevelBlocks];
        if (lb.block != b) continue;
        left = std::max<uint32_t>(left, lb.left);
        right = std::max<uint32_t>(right, lb.right);
    }
    return left | (right << 16);
}

AE_SYNC Stream::addSync(uint32_t type, AE_SYNCPROC proc, void* user) {
    static std::atomic<AE_SYNC> nextSync{1};
    AE_SYNC id = nextSync++;
    if (id == 0) id = nextSync++;
    std::lock_guard lock(mtx_);
    syncs_.push_back({id, type, proc, user});
    return id;
}

bool Stream::removeSync(AE_SYNC sync) {
    std::lock_guard lock(mtx_);
    return std::erase_if(syncs_, [&](const SyncReg& r) { return r.id == sync; }) > 0;
}

void Stream::info(AE_CHANNELINFO* info) const {
    info->freq = rate_;
    info->chans = chans_;
    info->flags = flags_;
    info->ctype = ctype_;
    info->origres = origres_;
    info->plugin = plugin_;
    info->sample = 0;
    info->filename = url_.c_str();
}

uint64_t Stream::secondsToBytes(double seconds) const {
    if (!(seconds > 0)) return 0;
    auto frames = static_cast<uint64_t>(seconds * rate_);
    return frames * chans_ * 2;
}

float Stream::bitrateKbps() const {
    if (codecBitrate_ > 0) return std::round(static_cast<float>(codecBitrate_) / 1000.0f);
    if (formatBitrate_ > 0) return std::round(static_cast<float>(formatBitrate_) / 1000.0f);
    if (!http_) return 0;
    double seconds = std::chrono::duration<double>(Clock::now() - connected_).count();
    if (seconds < 0.5) return 0;
    return static_cast<float>(
        std::round(static_cast<double>(http_->ring().totalWritten()) * 8 / seconds / 1000));
}

int Stream::filePosition(uint32_t mode, uint64_t& out) const {
    switch (mode) {
        case AE_FILEPOS_CURRENT:
            out = static_cast<uint64_t>(http_ ? http_->ring().totalRead() : consumed_.load());
            return AE_OK;
        case AE_FILEPOS_DOWNLOAD:
            out = static_cast<uint64_t>(http_ ? http_->ring().totalWritten() : consumed_.load());
            return AE_OK;
        case AE_FILEPOS_END:
            if (contentLength_ > 0) {
                out = static_cast<uint64_t>(contentLength_);
                return AE_OK;
            }
            if (!http_) return AE_ERROR_NOT_AVAILABLE;
            out = http_->ring().capacity();
            return AE_OK;
        case AE_FILEPOS_WMA_BUFFER:
            if (!wma_) return AE_ERROR_NOT_AVAILABLE;
            if (!http_) {
                out = 100;
            } else {
                const ByteRing& ring = http_->ring();
                out = ring.finished() ? 100
                                      : ring.size() * 100 / std::max<size_t>(ring.capacity(), 1);
            }
            return AE_OK;
        default:
            return AE_ERROR_PARAM;
    }
}

const char* Stream::tags(uint32_t kind) {
    std::vector<std::string> list;
    std::string text;
    bool single = false;
    std::lock_guard lock(mtx_);
    switch (kind) {
        case AE_TAG_OGG:
            if (oggFamily_) list = oggTags_;
            break;
        case AE_TAG_HTTP:
            if (!icy_) list = headerLines_;
            break;
        case AE_TAG_ICY:
            if (icy_) list = headerLines_;
            break;
        case AE_TAG_META:
            text = metaText_;
            single = true;
            break;
        case AE_TAG_WMA:
            list = wmaTags_;
            break;
        default:
            return nullptr;  // kind 11 and unknown kinds: nothing here
    }
    if (single ? text.empty() : list.empty()) return nullptr;
    std::string block;
    if (single) {
        block = std::move(text);
    } else {
        for (const std::string& entry : list) block.append(entry).push_back('\0');
    }
    block.push_back('\0');  // with c_str's own NUL this closes a list with an empty text
    // Earlier pointers stay valid: a changed text gets a new buffer, the old ones are kept a while.
    auto& versions = tagCache_[kind];
    if (versions.empty() || *versions.back() != block) {
        versions.push_back(std::make_unique<std::string>(std::move(block)));
        if (versions.size() > kTagVersionsKept) versions.pop_front();
    }
    return versions.back()->c_str();
}

}  // namespace ae

#include "decoder.h"

#include <algorithm>
#include <cassert>
#include <cmath>

#include "ffmpeg_libs.h"
#include "input.h"
#include "opener.h"
#include "ascii_text.h"
#include "pcm_queue.h"
#include "tags.h"
#include "timeline.h"

namespace ae {

namespace {

// At most this much digital silence is dropped from the start of a stream: more than the
// decoders' warm-up, little enough that a station that begins quietly is not cut into.
constexpr size_t kMaxLeadingSilenceMs = 100;
// The download buffer follows the measured byte rate once it moved this share from the rate
// the buffer was last sized for.
constexpr double kResizeShare = 0.05;

}  // namespace

size_t leadingSilentFrames(const int16_t* stereo, size_t frames, size_t budget) {
    const size_t limit = std::min(frames, budget);
    size_t n = 0;
    while (n < limit && stereo[n * 2] == 0 && stereo[n * 2 + 1] == 0) ++n;
    return n;
}

Decoder::Decoder(Input& input, PcmQueue& pcm, Timeline& timeline, uint32_t outputRate,
                 uint32_t netBufferMs)
    : input_(input),
      pcm_(pcm),
      timeline_(timeline),
      outputRate_(outputRate),
      netBufferMs_(netBufferMs),
      leadingSilenceLeft_(size_t{outputRate} * kMaxLeadingSilenceMs / 1000),
      lastComments_(input.oggTags),
      sizedForRate_(static_cast<double>(input.nominalBitrate) / 8) {}

Decoder::~Decoder() {
    join();
    if (swr_) ff::api().swr_free(&swr_);
}

void Decoder::loadScript() {
    AsfHeaderInfo info = parseAsfHeader(input_.asfHeader());
    script_.assign(info.commands.begin(), info.commands.end());
    prerollMs_ = info.prerollMs;
}

void Decoder::start() {
    loadScript();
    thread_ = std::thread([this] { run(); });
}

void Decoder::join() {
    if (!thread_.joinable()) return;
    // Joining from the thread itself would free what it still runs on.
    assert(thread_.get_id() != std::this_thread::get_id());
    thread_.join();
}

void Decoder::run() {
    AVPacket* pkt = ff::api().av_packet_alloc();
    AVFrame* frame = ff::api().av_frame_alloc();
    AVCodecContext* dec = input_.dec;
    while (!input_.aborted && pkt && frame) {
        int rc = ff::api().av_read_frame(input_.fmt, pkt);
        if (rc == AVERROR(EAGAIN)) continue;
        if (rc < 0 && input_.asfPrograms && input_.nextProgram()) {
            // A Windows Media server's next program: its sound follows the last one's.
            drain(dec, frame);
            std::vector<std::string> tags;
            if (reopenAsf(input_, tags) != AE_OK) break;
            dec = input_.dec;
            timeline_.newProgram(pcm_.pushed(), std::move(tags));
            loadScript();
            continue;
        }
        if (rc < 0) break;
        if (pkt->stream_index != input_.streamIndex) {
            ff::api().av_packet_unref(pkt);
            continue;
        }
        noteStreamEvents(pkt);
        if (ff::api().avcodec_send_packet(dec, pkt) == 0) {
            int64_t micros = 0;
            while (!input_.aborted && ff::api().avcodec_receive_frame(dec, frame) == 0) {
                if (frame->sample_rate > 0)
                    micros += int64_t{frame->nb_samples} * 1'000'000 / frame->sample_rate;
                convertAndPush(frame);
                ff::api().av_frame_unref(frame);
            }
            measure(pkt->size, micros);
        }
        ff::api().av_packet_unref(pkt);
    }
    drain(dec, frame);
    ff::api().av_frame_free(&frame);
    ff::api().av_packet_free(&pkt);
    timeline_.endOfDecoding(pcm_.pushed());
    pcm_.finish();
}

void Decoder::drain(AVCodecContext* dec, AVFrame* frame) {
    if (input_.aborted || !dec || !frame || ff::api().avcodec_send_packet(dec, nullptr) != 0)
        return;
    while (!input_.aborted && ff::api().avcodec_receive_frame(dec, frame) == 0) {
        convertAndPush(frame);
        ff::api().av_frame_unref(frame);
    }
}

void Decoder::measure(int64_t bytes, int64_t micros) {
    input_.audioBytes += bytes;
    input_.audioMicros += micros;
    const double rate = input_.measuredByteRate();
    if (rate > 0 && std::abs(rate - sizedForRate_) > sizedForRate_ * kResizeShare) {
        sizedForRate_ = rate;
        input_.sizeDownloadBuffer(rate, netBufferMs_);
    }
}

void Decoder::noteStreamEvents(AVPacket* pkt) {
    int64_t reached;
    if (pkt->pos >= 0) {
        // A demuxer that gives every packet of a page the page's position (Ogg) would
        // otherwise leave the position at the page's start for a second of sound or more.
        const int64_t pos = input_.demuxerBase() + pkt->pos;
        sizeSincePos_ = pos == lastPacketPos_ ? sizeSincePos_ + pkt->size : pkt->size;
        lastPacketPos_ = pos;
        reached = pos + sizeSincePos_;
        if (input_.http) reached = std::min(reached, input_.bytesRead());
    } else {
        reached = input_.bytesRead();
    }
    input_.consumed = std::max(input_.consumed.load(), reached);

    // A new logical Ogg stream (a chained stream) brings new comments.
    std::vector<std::string> changed;
    bool oggChange = false;
    AVStream* st = input_.fmt->streams[input_.streamIndex];
    if (input_.oggFamily && (st->event_flags & AVSTREAM_EVENT_FLAG_METADATA_UPDATED)) {
        st->event_flags &= ~AVSTREAM_EVENT_FLAG_METADATA_UPDATED;
        changed = input_.comments();
        oggChange = true;
    }
    size_t sideSize = 0;
    const uint8_t* side =
        ff::api().av_packet_get_side_data(pkt, AV_PKT_DATA_METADATA_UPDATE, &sideSize);
    if (input_.oggFamily && side && !oggChange) {
        AVDictionary* dict = nullptr;
        if (ff::api().av_packet_unpack_dictionary(side, sideSize, &dict) == 0) {
            changed = dictToList(dict);
            oggChange = true;
        }
        ff::api().av_dict_free(&dict);
    }

    // ASF script commands come due at their presentation time (the demuxer's times start after
    // the preroll); each is "type=text" in lower case, as the header tags are named.
    if (!script_.empty() && pkt->pts != AV_NOPTS_VALUE) {
        const int64_t ms = pkt->pts * 1000 * st->time_base.num / std::max(st->time_base.den, 1);
        while (!script_.empty() && script_.front().timeMs - prerollMs_ <= ms) {
            timeline_.wmaMeta(pcm_.pushed(),
                              toLower(script_.front().type) + "=" + script_.front().text);
            script_.pop_front();
        }
    }

    // The first packet repeats the comments read while probing: no change.
    if (oggChange && changed == lastComments_) oggChange = false;
    if (oggChange) lastComments_ = changed;
    timeline_.reachBytes(reached, pcm_.pushed(), oggChange ? &changed : nullptr);
}

void Decoder::convertAndPush(AVFrame* frame) {
    AVChannelLayout inLayout;
    if (frame->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC || frame->ch_layout.nb_channels == 0) {
        int channels = frame->ch_layout.nb_channels > 0 ? frame->ch_layout.nb_channels
                                                        : static_cast<int>(input_.chans);
        ff::api().av_channel_layout_default(&inLayout, channels);
    } else if (ff::api().av_channel_layout_copy(&inLayout, &frame->ch_layout) < 0) {
        return;
    }
    if (!swr_ || frame->format != swrFormat_ || frame->sample_rate != swrRate_ ||
        inLayout.nb_channels != swrChannels_) {
        if (swr_) ff::api().swr_free(&swr_);
        AVChannelLayout stereo = AV_CHANNEL_LAYOUT_STEREO;
        if (ff::api().swr_alloc_set_opts2(
                &swr_, &stereo, AV_SAMPLE_FMT_S16, static_cast<int>(outputRate_), &inLayout,
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
    if (frames > 0) pcm_.push(pcm, frames);
}

}  // namespace ae

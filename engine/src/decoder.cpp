#include "decoder.h"

#include <algorithm>
#include <cassert>

#include "ffmpeg_libs.h"
#include "input.h"
#include "pcm_queue.h"
#include "tags.h"
#include "timeline.h"

namespace ae {

namespace {

// At most this much digital silence is dropped from the start of a stream: more than the
// decoders' warm-up, little enough that a station that begins quietly is not cut into.
constexpr size_t kMaxLeadingSilenceMs = 100;

}  // namespace

size_t leadingSilentFrames(const int16_t* stereo, size_t frames, size_t budget) {
    const size_t limit = std::min(frames, budget);
    size_t n = 0;
    while (n < limit && stereo[n * 2] == 0 && stereo[n * 2 + 1] == 0) ++n;
    return n;
}

Decoder::Decoder(Input& input, PcmQueue& pcm, Timeline& timeline, uint32_t outputRate)
    : input_(input),
      pcm_(pcm),
      timeline_(timeline),
      outputRate_(outputRate),
      leadingSilenceLeft_(size_t{outputRate} * kMaxLeadingSilenceMs / 1000),
      lastComments_(input.oggTags) {}

Decoder::~Decoder() {
    join();
    if (swr_) ff::api().swr_free(&swr_);
}

void Decoder::start() {
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
        if (rc < 0) break;
        if (pkt->stream_index != input_.streamIndex) {
            ff::api().av_packet_unref(pkt);
            continue;
        }
        noteStreamEvents(pkt);
        if (ff::api().avcodec_send_packet(dec, pkt) == 0) {
            while (!input_.aborted && ff::api().avcodec_receive_frame(dec, frame) == 0) {
                convertAndPush(frame);
                ff::api().av_frame_unref(frame);
            }
        }
        ff::api().av_packet_unref(pkt);
    }
    if (!input_.aborted && dec && frame && ff::api().avcodec_send_packet(dec, nullptr) == 0) {
        while (!input_.aborted && ff::api().avcodec_receive_frame(dec, frame) == 0) {
            convertAndPush(frame);
            ff::api().av_frame_unref(frame);
        }
    }
    ff::api().av_frame_free(&frame);
    ff::api().av_packet_free(&pkt);
    timeline_.endOfDecoding(pcm_.pushed());
    pcm_.finish();
}

void Decoder::noteStreamEvents(AVPacket* pkt) {
    int64_t reached;
    if (pkt->pos >= 0) {
        reached = pkt->pos + pkt->size;
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

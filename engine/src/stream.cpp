#include "stream.h"

#include <algorithm>
#include <cmath>
#include <thread>

#include "cancel.h"
#include "http_source.h"
#include "opener.h"

namespace ae {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int64_t kLevelWindowFrames = 882;  // 20 ms at 44100 Hz
// How often a creation waiting for the first sound looks whether it was cancelled.
constexpr auto kCancelPoll = std::chrono::milliseconds(50);
// How often a creation waiting for the byte rate to be measured looks again.
constexpr auto kMeasurePoll = std::chrono::milliseconds(2);
// Sound held before playback resumes on a new connection after the old one's sound ran out.
constexpr uint32_t kResumeMs = 500;

// A level slot's tag for a block of output frames (see Stream::levels_).
constexpr uint64_t levelTag(int64_t block) {
    return static_cast<uint64_t>(block + 1) << 32;
}

size_t pcmQueueFrames(const StreamSetup& setup) {
    return std::max<size_t>(size_t{setup.config.bufferMs} * setup.outputRate / 1000, 4096);
}

}  // namespace

Stream::Stream(uint32_t flags, const StreamSetup& setup, std::unique_ptr<Timeline> timeline,
               std::unique_ptr<Input> input)
    : flags_(flags),
      setup_(setup),
      timeline_(std::move(timeline)),
      input_(std::move(input)),
      pcm_(pcmQueueFrames(setup)),
      decoder_(*input_, pcm_, *timeline_, setup.outputRate, setup.config.netBufferMs),
      levels_(kLevelBlocks) {
    if (input_->oggFamily) timeline_->setOggTags(input_->oggTags);
    timeline_->setWmaTags(input_->wmaTags);
}

Stream::~Stream() {
    shutdown();
}

int Stream::create(const std::string& url, uint32_t flags, AE_DOWNLOADPROC proc, void* user,
                   const StreamSetup& setup, Cancel& cancel, std::shared_ptr<Stream>& out) {
    Opened opened;
    int rc = openStation(url, flags, proc, user, setup, cancel, opened);
    if (rc != AE_OK) return rc;
    const auto deadline =
        opened.input->connected + std::chrono::milliseconds(setup.config.timeoutMs);
    std::shared_ptr<Stream> stream(
        new Stream(flags, setup, std::move(opened.timeline), std::move(opened.input)));
    stream->decoder_.start();
    rc = stream->awaitSound(deadline, cancel);
    if (rc != AE_OK) return rc;
    if (HttpSource* http = stream->input_->http.get()) http->reconnectWhenLost();
    out = std::move(stream);
    return AE_OK;
}

int Stream::awaitSound(std::chrono::steady_clock::time_point deadline, Cancel& cancel) {
    // Frames that parse but never decode to sound would leave the stream buffering forever.
    HttpSource* http = input_->http.get();
    if (http) cancel.attach(http);
    int rc = AE_OK;
    while (!pcm_.waitForFirst(std::min(deadline, Clock::now() + kCancelPoll))) {
        if (cancel.cancelled()) {
            rc = AE_ERROR_ABORTED;
            break;
        }
        if (pcm_.finished() || Clock::now() >= deadline) {
            rc = AE_ERROR_FORMAT;
            break;
        }
    }
    // A stream that declares no bitrate reports the measured one: let the decoder measure it
    // first from what has arrived (it decodes ahead at once), so the format is known whole
    // when the caller reads it, also where no buffering wait comes between (FFmpeg's sources).
    while (rc == AE_OK && input_->nominalBitrate == 0 && !(input_->measuredByteRate() > 0) &&
           !pcm_.finished() && pcm_.size() < pcm_.capacity() && Clock::now() < deadline) {
        if (cancel.cancelled()) {
            rc = AE_ERROR_ABORTED;
            break;
        }
        std::this_thread::sleep_for(kMeasurePoll);
    }
    if (http) cancel.detach(http);
    return rc;
}

void Stream::setHandle(AE_HANDLE handle) {
    handle_ = handle;
}

void Stream::shutdown() {
    std::call_once(shutdownOnce_, [this] {
        input_->abort();
        pcm_.abort();
        decoder_.join();
        input_->join();
    });
}

size_t Stream::configuredSoundBytes() const {
    const size_t capacity = input_->http->ring().capacity();
    const size_t sound = input_->soundBufferBytes;
    return std::max<size_t>(sound > 0 ? std::min(sound, capacity) : capacity, 1);
}

size_t Stream::queuedSoundBytes() const {
    const double byteRate = input_->soundByteRate;
    if (!(byteRate > 0) || setup_.outputRate == 0) return 0;
    return static_cast<size_t>(static_cast<double>(pcm_.size()) * byteRate / setup_.outputRate);
}

size_t Stream::heldSoundBytes() const {
    const int64_t downloaded = input_->bytesDownloaded();
    const int64_t decoded = std::min(input_->consumed.load(), downloaded);
    return static_cast<size_t>(downloaded - decoded) + queuedSoundBytes();
}

bool Stream::readyToStart() const {
    if (pcm_.finished()) return true;
    if (pcm_.size() < pcm_.capacity() / 2) return false;
    if (!input_->http) return true;
    const ByteRing& ring = input_->http->ring();
    if (ring.finished()) return true;
    return heldSoundBytes() * 100 >= configuredSoundBytes() * startPercent();
}

uint32_t Stream::startPercent() const {
    const uint32_t configured = setup_.config.prebufPercent;
    if (!starved_ || input_->http->answers() == starvedAnswers_) return configured;
    // The sound ran out and a new connection brings more (a source that came back): the
    // listener has waited long enough, and a returning source's server has only a little
    // to send at once.
    return std::min(configured, kResumeMs * 100 / std::max(setup_.config.netBufferMs, 1u));
}

void Stream::mix(int32_t* acc, size_t frames, int64_t outFrame) {
    PlayState state = state_.load();
    if (state == PlayState::Buffering) {
        if (!readyToStart()) return;
        state = PlayState::Playing;
        state_ = state;
        starved_ = false;
    }
    if (state != PlayState::Playing) return;
    frames = std::min(frames, kMaxMixFrames);
    const PcmQueue::Popped popped = pcm_.pop(mixBuf_.data(), frames);
    int64_t block = outFrame / kLevelBlock;
    uint16_t left = 0, right = 0;
    for (size_t i = 0; i < popped.frames; ++i) {
        const int16_t l = mixBuf_[i * 2], r = mixBuf_[i * 2 + 1];
        acc[i * 2] += l;
        acc[i * 2 + 1] += r;
        const int64_t b = (outFrame + static_cast<int64_t>(i)) / kLevelBlock;
        if (b != block) {
            notePeaks(block, left, right);
            block = b;
            left = right = 0;
        }
        left = std::max<uint16_t>(left, static_cast<uint16_t>(std::abs(int{l})));
        right = std::max<uint16_t>(right, static_cast<uint16_t>(std::abs(int{r})));
    }
    if (popped.frames > 0) notePeaks(block, left, right);
    timeline_->mixed(popped.first, popped.frames, outFrame, popped.drained);
    if (popped.frames < frames) {
        if (popped.drained) {
            endOutFrame_ = outFrame + static_cast<int64_t>(popped.frames);
            state_ = PlayState::Drained;
        } else {
            state_ = PlayState::Buffering;  // starved: refill before going on
            starved_ = true;
            starvedAnswers_ = input_->http ? input_->http->answers() : 0;
        }
    }
}

void Stream::notePeaks(int64_t block, uint16_t left, uint16_t right) {
    std::atomic<uint64_t>& slot = levels_[static_cast<size_t>(block) % kLevelBlocks];
    uint64_t word = slot.load(std::memory_order_relaxed);
    if ((word & ~uint64_t{0xffffffff}) == levelTag(block)) {
        left = std::max(left, static_cast<uint16_t>(word >> 16));
        right = std::max(right, static_cast<uint16_t>(word));
    }
    slot.store(levelTag(block) | uint64_t{left} << 16 | right, std::memory_order_relaxed);
}

bool Stream::collectDue(int64_t framesPlayed, std::vector<SyncCall>& calls, int64_t& nextDue) {
    // Read before the events: once Drained, the mixer has handed every event to the timeline.
    const PlayState state = state_.load();
    bool allHeard = timeline_->collect(framesPlayed, handle_, calls);
    if (state == PlayState::Drained && allHeard && framesPlayed >= endOutFrame_.load()) {
        state_ = PlayState::Ended;
        return true;
    }
    // Lower bounds only: the output never plays a frame before mixing it, so an event can be
    // heard no sooner than the PCM ahead of it takes to play.
    const Timeline::Pending pending = timeline_->pending();
    int64_t next = nextDue;
    if (pending.heardAt != INT64_MAX) next = std::min(next, pending.heardAt - framesPlayed);
    if (state == PlayState::Drained) {
        next = std::min(next, endOutFrame_.load() - framesPlayed);
    } else if (state == PlayState::Buffering || state == PlayState::Playing) {
        if (pending.pcmAt != INT64_MAX) next = std::min(next, pending.pcmAt - pcm_.popped());
        if (pending.bytes || pcm_.finished())
            next = std::min(next, static_cast<int64_t>(pcm_.size()));
    }
    nextDue = next;
    return false;
}

int Stream::play() {
    PlayState idle = PlayState::Idle;
    if (!state_.compare_exchange_strong(idle, PlayState::Buffering) &&
        (idle == PlayState::Drained || idle == PlayState::Ended))
        return AE_ERROR_ENDED;
    timeline_->started();
    return AE_OK;
}

uint32_t Stream::activity(bool outputPaused) const {
    switch (state_.load()) {
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
    for (int64_t b = from; b <= to; ++b) {
        const uint64_t word =
            levels_[static_cast<size_t>(b) % kLevelBlocks].load(std::memory_order_relaxed);
        if ((word & ~uint64_t{0xffffffff}) != levelTag(b)) continue;
        left = std::max<uint32_t>(left, static_cast<uint16_t>(word >> 16));
        right = std::max<uint32_t>(right, static_cast<uint16_t>(word));
    }
    return left | (right << 16);
}

AE_SYNC Stream::addSync(uint32_t type, AE_SYNCPROC proc, void* user) {
    return timeline_->addSync(type, proc, user);
}

bool Stream::removeSync(AE_SYNC sync) {
    return timeline_->removeSync(sync);
}

void Stream::info(AE_CHANNELINFO* info) const {
    info->freq = input_->rate;
    info->chans = input_->chans;
    info->flags = flags_;
    info->ctype = input_->ctype;
    info->origres = input_->origres;
    info->plugin = input_->plugin;
    info->sample = 0;
    info->filename = input_->url.c_str();
}

uint64_t Stream::secondsToBytes(double seconds) const {
    if (!(seconds > 0)) return 0;
    auto frames = static_cast<uint64_t>(seconds * input_->rate);
    return frames * input_->chans * 2;
}

float Stream::bitrateKbps() const {
    const Input& in = *input_;
    if (in.nominalBitrate > 0) return std::round(static_cast<float>(in.nominalBitrate) / 1000.0f);
    // Without a declared rate, the average of the audio decoded so far.
    return static_cast<float>(std::round(in.measuredByteRate() * 8 / 1000));
}

int Stream::filePosition(uint32_t mode, uint64_t& out, uint64_t endSeen) const {
    const Input& in = *input_;
    switch (mode) {
        case AE_FILEPOS_CURRENT: {
            // Downloaded minus the sound held, counted up to the end position, so that the
            // fill the caller works out is the share of the configured sound held, at most 100%.
            // The end moves when the buffer is resized: counting up to the end the caller read
            // too keeps the fill within 100% whatever happened between its calls.
            uint64_t end = 0;
            const int64_t downloaded = in.bytesDownloaded();
            int64_t held = static_cast<int64_t>(heldSoundBytes());
            if (filePosition(AE_FILEPOS_END, end) == AE_OK)
                held = std::min(held, static_cast<int64_t>(end));
            if (endSeen > 0) held = std::min(held, static_cast<int64_t>(endSeen));
            out = static_cast<uint64_t>(std::max<int64_t>(downloaded - held, 0));
            return AE_OK;
        }
        case AE_FILEPOS_DOWNLOAD:
            out = static_cast<uint64_t>(in.bytesDownloaded());
            return AE_OK;
        case AE_FILEPOS_END:
            // The configured sound in bytes (the download buffer until the byte rate is
            // known); a shorter body is measured against itself.
            if (!in.http) return AE_ERROR_NOT_AVAILABLE;
            out = configuredSoundBytes();
            if (in.contentLength > 0) out = std::min(out, static_cast<uint64_t>(in.contentLength));
            return AE_OK;
        case AE_FILEPOS_WMA_BUFFER:
            if (!in.wma) return AE_ERROR_NOT_AVAILABLE;
            if (!in.http) {
                out = 100;
            } else {
                out =
                    in.http->ring().finished()
                        ? 100
                        : std::min<uint64_t>(heldSoundBytes() * 100 / configuredSoundBytes(), 100);
            }
            return AE_OK;
        default:
            return AE_ERROR_PARAM;
    }
}

TagBlock Stream::tags(uint32_t kind) {
    const Input& in = *input_;
    std::vector<std::string> list;
    std::string text;
    bool single = false;
    switch (kind) {
        case AE_TAG_OGG:
            if (in.oggFamily) list = timeline_->oggTags();
            break;
        case AE_TAG_HTTP:
            if (!in.icy) list = in.headerLines;
            break;
        case AE_TAG_ICY:
            if (in.icy) list = in.headerLines;
            break;
        case AE_TAG_META:
            text = timeline_->metaText();
            single = true;
            break;
        case AE_TAG_WMA:
            list = timeline_->wmaTags();
            break;
        case AE_TAG_WMA_META:
            list = timeline_->wmaMetaTags();
            break;
        default:
            return nullptr;
    }
    if (single ? text.empty() : list.empty()) return nullptr;
    std::string block;
    if (single) {
        block = std::move(text);
    } else {
        for (const std::string& entry : list) block.append(entry).push_back('\0');
    }
    block.push_back('\0');  // with c_str's own NUL this closes a list with an empty text
    return tagVersions_.keep(kind, std::move(block));
}

}  // namespace ae

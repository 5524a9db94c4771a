#include "input.h"

#include <algorithm>
#include <cmath>
#include <optional>

#include "cancel.h"
#include "ffmpeg_libs.h"
#include "http_source.h"
#include "tags.h"

namespace ae {

namespace {

// The download buffer stays within these, whatever the byte rate.
constexpr size_t kMinRingBytes = 2048;
constexpr size_t kMaxRingBytes = 8 << 20;
// The download buffer keeps at least what it holds, rounded up to this.
constexpr size_t kRingGranule = 1024;
// The byte rate is trusted once this much sound was decoded.
constexpr int64_t kMinMeasuredMicros = 250'000;

}  // namespace

Input::~Input() {
    abort();
    join();
    if (dec) ff::api().avcodec_free_context(&dec);
    if (fmt) ff::api().avformat_close_input(&fmt);  // custom I/O is not closed by this
    if (avio) {
        ff::api().av_freep(&avio->buffer);
        ff::api().avio_context_free(&avio);
    }
}

void Input::abort() {
    aborted = true;
    if (http) http->abort();
}

void Input::join() {
    if (http) http->join();
}

int64_t Input::bytesRead() const {
    return http ? http->ring().totalRead() : consumed.load();
}

int64_t Input::bytesDownloaded() const {
    return http ? http->ring().totalWritten() : consumed.load();
}

double Input::measuredByteRate() const {
    const int64_t micros = audioMicros.load();
    if (micros < kMinMeasuredMicros) return 0;
    return static_cast<double>(audioBytes.load()) * 1e6 / static_cast<double>(micros);
}

void Input::sizeDownloadBuffer(double byteRate, uint32_t ms) {
    if (!http || !(byteRate > 0)) return;
    auto bytes = static_cast<size_t>(std::llround(byteRate * ms / 1000));
    bytes = std::clamp(bytes, kMinRingBytes, kMaxRingBytes);
    soundBufferBytes = bytes;
    http->ring().setCapacity(bytes, kRingGranule);
}

std::vector<std::string> Input::comments() const {
    std::vector<std::string> list = dictToList(fmt->streams[streamIndex]->metadata);
    if (list.empty()) list = dictToList(fmt->metadata);
    return list;
}

int Input::readPacket(void* opaque, uint8_t* buf, int size) {
    auto* self = static_cast<Input*>(opaque);
    std::optional<Clock::time_point> deadline;
    if (self->probeDeadline != Clock::time_point{}) deadline = self->probeDeadline;
    long n = self->http->ring().read(buf, static_cast<size_t>(size), deadline);
    if (n > 0) return static_cast<int>(n);
    if (n == 0) return AVERROR_EOF;
    return self->http->ring().aborted() ? AVERROR_EXIT : AVERROR(ETIMEDOUT);
}

int Input::interrupted(void* opaque) {
    auto* self = static_cast<Input*>(opaque);
    if (self->aborted) return 1;
    if (self->cancel && self->cancel->cancelled()) return 1;
    return self->probeDeadline != Clock::time_point{} && Clock::now() > self->probeDeadline;
}

}  // namespace ae

#include "input.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <optional>

#include "ascii_text.h"
#include "asf_header.h"
#include "cancel.h"
#include "ffmpeg_libs.h"
#include "http_source.h"
#include "playlist.h"
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

// An encrypted HLS segment's address as FFmpeg names it: "crypto+" or "crypto:" before it.
std::string_view withoutCrypto(std::string_view url) {
    for (std::string_view prefix : {"crypto+", "crypto:"})
        if (url.starts_with(prefix)) return url.substr(prefix.size());
    return url;
}

// FFmpeg takes http_proxy for every scheme and no other variable; our own download (libcurl)
// takes the one for the address's scheme, all_proxy, and no_proxy. FFmpeg is handed ours for
// each http(s) address it opens ("": none, which keeps it from http_proxy). Null when ours is a
// kind FFmpeg cannot tunnel through (it knows http:// proxies only): better no connection
// than one around the proxy.
std::optional<std::string> ffmpegProxy(std::string_view url) {
    std::string proxy = environmentProxy(url);
    if (proxy.empty()) return proxy;
    const size_t scheme = proxy.find("://");
    if (scheme == std::string::npos) return "http://" + proxy;  // libcurl's default kind
    if (toLower(std::string_view(proxy).substr(0, scheme)) != "http") return std::nullopt;
    return proxy.replace(0, scheme, "http");
}

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
    soundByteRate = byteRate;
    http->ring().setCapacity(bytes, kRingGranule);
}

std::vector<std::string> Input::comments() const {
    std::vector<std::string> list = dictToList(fmt->streams[streamIndex]->metadata);
    if (list.empty()) list = dictToList(fmt->metadata);
    return list;
}

int Input::readPacket(void* opaque, uint8_t* buf, int size) {
    auto* self = static_cast<Input*>(opaque);
    if (self->asfPrograms) return self->readAsf(buf, size);
    std::optional<Clock::time_point> deadline;
    if (self->probeDeadline != Clock::time_point{}) deadline = self->probeDeadline;
    long n = self->http->ring().read(buf, static_cast<size_t>(size), deadline);
    self->given_ += std::max(n, 0L);
    if (n > 0) self->capture(buf, static_cast<size_t>(n));
    if (n > 0) return static_cast<int>(n);
    if (n == 0) return AVERROR_EOF;
    return self->http->ring().aborted() ? AVERROR_EXIT : AVERROR(ETIMEDOUT);
}

// Like readPacket, but ends the demuxer's data where a new ASF header begins (a Windows Media
// server's next program), keeping that header for the next demuxer.
int Input::readAsf(uint8_t* buf, int size) {
    static const std::string kHeaderGuid(
        "\x30\x26\xB2\x75\x8E\x66\xCF\x11\xA6\xD9\x00\xAA\x00\x62\xCE\x6C", 16);
    if (asfHeaderNext_) return AVERROR_EOF;
    std::optional<Clock::time_point> deadline;
    if (probeDeadline != Clock::time_point{}) deadline = probeDeadline;
    bool end = false;
    while (!end && asfCarry_.size() < kHeaderGuid.size()) {
        uint8_t chunk[4096];
        long n = http->ring().read(chunk, sizeof chunk, deadline);
        if (n < 0) {
            if (asfCarry_.empty())
                return http->ring().aborted() ? AVERROR_EXIT : AVERROR(ETIMEDOUT);
            break;
        }
        end = n == 0;
        asfCarry_.append(reinterpret_cast<const char*>(chunk), static_cast<size_t>(n));
    }
    if (asfCarry_.empty()) return AVERROR_EOF;
    // The header at the front of a demuxer's data is that demuxer's own.
    const size_t header = asfCarry_.find(kHeaderGuid, given_ == demuxerBase_ ? 1 : 0);
    if (header == 0) {
        asfHeaderNext_ = true;
        return AVERROR_EOF;
    }
    size_t n = asfCarry_.size();
    if (header != std::string::npos)
        n = header;
    else if (!end && n >= kHeaderGuid.size())
        n -= kHeaderGuid.size() - 1;  // a header may begin in what is still to come
    n = std::min(n, static_cast<size_t>(size));
    std::memcpy(buf, asfCarry_.data(), n);
    capture(buf, n);
    asfCarry_.erase(0, n);
    given_ += static_cast<int64_t>(n);
    return static_cast<int>(n);
}

bool Input::nextProgram() {
    uint8_t skipped[4096];
    while (!asfHeaderNext_ && !aborted) {
        if (readAsf(skipped, sizeof skipped) <= 0) break;
    }
    return asfHeaderNext_ && !aborted;
}

void Input::capture(const uint8_t* data, size_t len) {
    // A header's sub-objects are small; more than this is not read.
    constexpr uint64_t kMaxHeaderBytes = 1 << 20;
    if (!capturing_) return;
    header_.append(reinterpret_cast<const char*>(data), len);
    if (header_.size() < 24) return;
    const auto size = asfHeaderSize(header_);
    if (!size) {
        capturing_ = false;
        header_.clear();
    } else if (header_.size() >= std::min(*size, kMaxHeaderBytes)) {
        capturing_ = false;
        header_.resize(std::min(*size, kMaxHeaderBytes));
    }
}

void Input::startProgram() {
    header_.clear();
    capturing_ = true;
    asfHeaderNext_ = false;
    demuxerBase_ = given_;
}

int Input::openVerified(AVFormatContext* s, AVIOContext** pb, const char* url, int flags,
                        AVDictionary** options) {
    auto* self = static_cast<Input*>(s->opaque);
    AVDictionary* own = nullptr;
    AVDictionary** dict = options ? options : &own;
    ff::api().av_dict_set(dict, "tls_verify", "1", 0);
    if (!self->certificates.empty())
        ff::api().av_dict_set(dict, "ca_file", self->certificates.c_str(), 0);
    int rc = 0;
    if (const std::string_view target = withoutCrypto(url); schemeOf(target) == Scheme::Http) {
        if (const std::optional<std::string> proxy = ffmpegProxy(target))
            ff::api().av_dict_set(dict, "http_proxy", proxy->c_str(), 0);
        else
            rc = AVERROR(ECONNREFUSED);
    }
    if (rc == 0) rc = self->ffmpegOpen(s, pb, url, flags, dict);
    ff::api().av_dict_free(&own);
    int none = 0;
    if (rc < 0) self->openFailure.compare_exchange_strong(none, rc);
    return rc;
}

int Input::interrupted(void* opaque) {
    auto* self = static_cast<Input*>(opaque);
    if (self->aborted) return 1;
    if (self->cancel && self->cancel->cancelled()) return 1;
    return self->probeDeadline != Clock::time_point{} && Clock::now() > self->probeDeadline;
}

}  // namespace ae

#include "input.h"

#include <optional>

#include "cancel.h"
#include "ffmpeg_libs.h"
#include "http_source.h"
#include "tags.h"

namespace ae {

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

int Input::openVerified(AVFormatContext* s, AVIOContext** pb, const char* url, int flags,
                        AVDictionary** options) {
    auto* self = static_cast<Input*>(s->opaque);
    AVDictionary* own = nullptr;
    AVDictionary** dict = options ? options : &own;
    ff::api().av_dict_set(dict, "tls_verify", "1", 0);
    if (!self->certificates.empty())
        ff::api().av_dict_set(dict, "ca_file", self->certificates.c_str(), 0);
    const int rc = self->ffmpegOpen(s, pb, url, flags, dict);
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

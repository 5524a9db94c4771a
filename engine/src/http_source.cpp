#include "http_source.h"

#include <curl/curl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cassert>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "ascii_text.h"
#include "audioengine.h"
#include "icy_splitter.h"

namespace ae {

namespace {

// libcurl's global state, set up once before the first use of either entry below.
void initCurl() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// The longest a transfer waits for its sockets before curl looks at its timers again.
constexpr int kPollMs = 1000;

// The last step of the TCP handshake travels with the request instead of ahead of it. A
// server that reads a new connection once as soon as it is accepted (Icecast does, and then
// sleeps up to 100 ms before it looks again) finds the request already there.
int sendHandshakeAckWithRequest(void*, curl_socket_t fd, curlsocktype purpose) {
    // On a client socket this option holds back the handshake's final ACK for the first data
    // (at most about 200 ms). Where it is refused the connection is made the usual way.
    const int seconds = 1;
    if (purpose == CURLSOCKTYPE_IPCXN)
        (void)::setsockopt(fd, IPPROTO_TCP, TCP_DEFER_ACCEPT, &seconds, sizeof seconds);
    return CURL_SOCKOPT_OK;
}

}  // namespace

std::string trustedCertificatesFile() {
    if (const char* file = std::getenv("SSL_CERT_FILE"); file && *file) return file;
    initCurl();
    std::string out;
    if (CURL* curl = curl_easy_init()) {
        char* file = nullptr;
        if (curl_easy_getinfo(curl, CURLINFO_CAINFO, &file) == CURLE_OK && file) out = file;
        curl_easy_cleanup(curl);
    }
    return out;
}

int curlErrorToAe(int curlCode) {
    switch (static_cast<CURLcode>(curlCode)) {
        case CURLE_OK:
            return AE_OK;
        case CURLE_URL_MALFORMAT:
            return AE_ERROR_URL;
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY:
        case CURLE_COULDNT_CONNECT:
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SEND_ERROR:
        case CURLE_RECV_ERROR:
            return AE_ERROR_CONNECT;
        case CURLE_OPERATION_TIMEDOUT:
            return AE_ERROR_TIMEOUT;
        case CURLE_HTTP_RETURNED_ERROR:
            return AE_ERROR_HTTP;
        case CURLE_OUT_OF_MEMORY:
            return AE_ERROR_MEMORY;
        default:
            return AE_ERROR_PROTOCOL;
    }
}

HttpSource::HttpSource(std::string url, HttpOptions options)
    : url_(std::move(url)), options_(std::move(options)), ring_(options_.ringCapacity) {
    initCurl();
}

HttpSource::~HttpSource() {
    abort();
    join();
}

void HttpSource::join() {
    if (!thread_.joinable()) return;
    // Joining from the thread itself would free what it still runs on.
    assert(thread_.get_id() != std::this_thread::get_id());
    thread_.join();
}

void HttpSource::start() {
    started_ = std::chrono::steady_clock::now();
    thread_ = std::thread([this] { run(); });
}

void HttpSource::abort() {
    abort_ = true;
    ring_.abort();
    std::lock_guard lock(mtx_);
    changed_.notify_all();
    // Wakes the transfer's poll at once; otherwise a silent server's transfer would notice only
    // at curl's next progress call.
    if (multi_) curl_multi_wakeup(static_cast<CURLM*>(multi_));
}

int HttpSource::waitHeaders() {
    std::unique_lock lock(mtx_);
    // The download thread enforces the time-out; the extra margin only guards against a hang.
    auto deadline =
        started_ + std::chrono::milliseconds(options_.timeoutMs) + std::chrono::seconds(5);
    bool settled = changed_.wait_until(
        lock, deadline, [&] { return headersDone_ || headersError_ != 0 || abort_; });
    if (headersDone_) return AE_OK;
    if (headersError_ != 0) return headersError_;
    if (abort_) return AE_ERROR_ABORTED;
    return settled ? AE_ERROR_UNKNOWN : AE_ERROR_TIMEOUT;
}

void HttpSource::headersFailed(int error) {
    std::lock_guard lock(mtx_);
    if (!headersDone_ && headersError_ == 0) headersError_ = error;
    changed_.notify_all();
}

bool HttpSource::icyAnswer() const {
    return !lines_.empty() && lines_.front().starts_with("ICY");
}

std::string HttpSource::header(std::string_view name) const {
    std::string wanted = toLower(name);
    for (size_t i = 1; i < lines_.size(); ++i) {
        std::string_view line = lines_[i];
        size_t colon = line.find(':');
        if (colon == std::string_view::npos) continue;
        if (toLower(trim(line.substr(0, colon))) == wanted)
            return std::string(trim(line.substr(colon + 1)));
    }
    return {};
}

int64_t HttpSource::contentLength() const {
    std::string value = header("content-length");
    if (value.empty() || value.size() > 18) return -1;
    int64_t n = 0;
    for (char c : value) {
        if (c < '0' || c > '9') return -1;
        n = n * 10 + (c - '0');
    }
    return n;
}

size_t HttpSource::onHeaderLine(const char* data, size_t len) {
    headerBytes_ += len;
    if (headerBytes_ > kMaxHeaderBytes) {
        stop_ = Stop::TooLarge;
        return 0;  // curl fails the transfer
    }
    std::string_view line(data, len);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
    bool statusLine = line.starts_with("HTTP/") || line.starts_with("ICY ");
    if (statusLine) {
        // A new answer (after a redirect or an interim 1xx): its headers replace the old ones.
        lines_.clear();
        headerBytes_ = len;
    }
    if (!line.empty()) {
        lines_.emplace_back(line);
        return len;
    }
    // The blank line ends one answer's headers.
    CURL* curl = static_cast<CURL*>(curlHandle_);
    long code = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &code);
    if (code >= 100 && code < 200) return len;
    if (code >= 300 && code < 400 && !header("location").empty()) return len;  // curl follows it
    if (code < 200 || code >= 300) {
        headersFailed(AE_ERROR_HTTP);
        return 0;
    }
    char* effective = nullptr;
    curl_easy_getinfo(curl, CURLINFO_EFFECTIVE_URL, &effective);
    effectiveUrl_ = effective ? effective : url_;
    uint32_t metaint = 0;
    std::string value = header("icy-metaint");
    if (!value.empty()) metaint = IcySplitter::parseMetaint(value).value_or(0);
    splitter_ = std::make_unique<IcySplitter>(metaint);
    {
        std::lock_guard lock(mtx_);
        headersDone_ = true;
        changed_.notify_all();
    }
    return len;
}

size_t HttpSource::onBody(const char* data, size_t len) {
    if (!splitter_) return 0;  // body without a completed header block
    bool ok = splitter_->feed(
        reinterpret_cast<const uint8_t*>(data), len,
        [this](const uint8_t* audio, size_t n) { return ring_.write(audio, n); },
        [this](std::string_view text, uint64_t offset) {
            if (onMeta_) onMeta_(text, offset);
        });
    if (!ok) {
        stop_ = Stop::Aborted;
        return 0;
    }
    return len;
}

int HttpSource::onProgress() {
    if (abort_) {
        stop_ = Stop::Aborted;
        return 1;
    }
    bool waiting;
    {
        std::lock_guard lock(mtx_);
        waiting = !headersDone_;
    }
    // A server that accepts and never answers: curl's connect time-out does not cover it.
    if (waiting && std::chrono::steady_clock::now() - started_ >
                       std::chrono::milliseconds(options_.timeoutMs)) {
        stop_ = Stop::Timeout;
        return 1;
    }
    return 0;
}

int HttpSource::perform(void* easy) {
    CURL* curl = static_cast<CURL*>(easy);
    CURLM* multi = curl_multi_init();
    if (!multi) return CURLE_OUT_OF_MEMORY;
    curl_multi_add_handle(multi, curl);
    {
        std::lock_guard lock(mtx_);
        multi_ = multi;
    }
    CURLcode rc = CURLE_OK;
    for (;;) {
        int running = 0;
        CURLMcode mc = curl_multi_perform(multi, &running);
        if (mc != CURLM_OK) {
            rc = CURLE_RECV_ERROR;
            break;
        }
        if (running == 0) {
            int left = 0;
            CURLMsg* msg = curl_multi_info_read(multi, &left);
            rc = (msg && msg->msg == CURLMSG_DONE) ? msg->data.result : CURLE_RECV_ERROR;
            break;
        }
        if (abort_) {
            stop_ = Stop::Aborted;
            rc = CURLE_ABORTED_BY_CALLBACK;
            break;
        }
        if (curl_multi_poll(multi, nullptr, 0, kPollMs, nullptr) != CURLM_OK) {
            rc = CURLE_RECV_ERROR;
            break;
        }
    }
    {
        std::lock_guard lock(mtx_);
        multi_ = nullptr;
    }
    curl_multi_remove_handle(multi, curl);
    curl_multi_cleanup(multi);
    return rc;
}

void HttpSource::run() {
    CURL* curl = curl_easy_init();
    curlHandle_ = curl;
    curl_slist* aliases = curl_slist_append(nullptr, "ICY 200 OK");
    curl_slist* request = curl_slist_append(nullptr, "Icy-MetaData: 1");

    curl_easy_setopt(curl, CURLOPT_URL, url_.c_str());
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl, CURLOPT_MAXREDIRS, kMaxRedirects);
    curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1);
    curl_easy_setopt(curl, CURLOPT_HTTP200ALIASES, aliases);
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, request);
    if (!options_.agent.empty()) curl_easy_setopt(curl, CURLOPT_USERAGENT, options_.agent.c_str());
    const std::string certificates = trustedCertificatesFile();
    if (!certificates.empty()) curl_easy_setopt(curl, CURLOPT_CAINFO, certificates.c_str());
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(options_.timeoutMs));
    curl_easy_setopt(curl, CURLOPT_FAILONERROR, 1L);
    curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, 16384L);
    curl_easy_setopt(
        curl, CURLOPT_HEADERFUNCTION, +[](char* d, size_t s, size_t n, void* p) {
            return static_cast<HttpSource*>(p)->onHeaderLine(d, s * n);
        });
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(
        curl, CURLOPT_WRITEFUNCTION, +[](char* d, size_t s, size_t n, void* p) {
            return static_cast<HttpSource*>(p)->onBody(d, s * n);
        });
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(
        curl, CURLOPT_XFERINFOFUNCTION,
        +[](void* p, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
            return static_cast<HttpSource*>(p)->onProgress();
        });
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, this);
    curl_easy_setopt(curl, CURLOPT_SOCKOPTFUNCTION, &sendHandshakeAckWithRequest);

    auto rc = static_cast<CURLcode>(perform(curl));
    int error = AE_OK;
    if (rc != CURLE_OK) {
        switch (stop_.load()) {
            case Stop::Aborted:
                error = AE_ERROR_ABORTED;
                break;
            case Stop::Timeout:
                error = AE_ERROR_TIMEOUT;
                break;
            case Stop::TooLarge:
                error = AE_ERROR_PROTOCOL;
                break;
            case Stop::None:
                error = curlErrorToAe(rc);
                break;
        }
    }
    {
        std::lock_guard lock(mtx_);
        if (!headersDone_ && headersError_ == 0)
            headersError_ = error != AE_OK ? error : AE_ERROR_PROTOCOL;
        changed_.notify_all();
    }
    ring_.finish();
    curl_easy_cleanup(curl);
    curl_slist_free_all(aliases);
    curl_slist_free_all(request);
}

}  // namespace ae

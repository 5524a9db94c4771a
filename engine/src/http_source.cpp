#include "http_source.h"

#include <curl/curl.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>
#include <cassert>
#include <cstdlib>
#include <cstring>
#include <iterator>
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
// Waits before each new connection to a lost live stream, the last one repeated: soon after a
// short break, and about once a second while a source is away.
constexpr std::chrono::milliseconds kReconnectDelays[] = {std::chrono::milliseconds(250),
                                                          std::chrono::milliseconds(500),
                                                          std::chrono::milliseconds(1000)};
// A live stream lost for longer than this has ended (a source gone for good).
constexpr auto kReconnectWindow = std::chrono::seconds(15);
// A new connection that played this long has brought the stream back.
constexpr auto kSteadyPlay = std::chrono::seconds(5);
// A live stream that sent nothing for this long has stalled. Ogg pages come about once a
// second, so this leaves room for a late one.
constexpr auto kStallLimit = std::chrono::seconds(3);
// Icecast's answer for a mount whose source has left: the source may come back.
constexpr long kMissingMount = 404;

// Header lines of a live radio stream: SHOUTcast's and Icecast's own.
bool namesLiveStream(const std::vector<std::string>& lines) {
    if (!lines.empty() && lines.front().starts_with("ICY")) return true;
    for (size_t i = 1; i < lines.size(); ++i) {
        const std::string name = toLower(lines[i].substr(0, 4));
        if (name == "icy-" || name == "ice-") return true;
    }
    return false;
}

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

// A variable's value; libcurl treats a set but empty variable as unset.
std::string_view environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

// The host of an address: no user, port or IPv6 brackets, no closing dot.
std::string_view hostOf(std::string_view url) {
    const size_t scheme = url.find("://");
    std::string_view authority = url.substr(scheme == std::string_view::npos ? 0 : scheme + 3);
    authority = authority.substr(0, authority.find_first_of("/?#"));
    if (size_t at = authority.rfind('@'); at != std::string_view::npos)
        authority.remove_prefix(at + 1);
    std::string_view host;
    if (authority.starts_with('[')) {
        host = authority.substr(1, authority.find(']') - 1);
    } else {
        host = authority.substr(0, authority.find(':'));
    }
    if (host.ends_with('.')) host.remove_suffix(1);
    return host;
}

// Whether `address` (16 bytes for IPv6, else 4) lies in the network `entry` ("addr[/bits]").
bool inNetwork(const unsigned char* address, int family, std::string_view entry) {
    const size_t slash = entry.find('/');
    const std::string network(entry.substr(0, slash));
    const int width = family == AF_INET6 ? 128 : 32;
    int bits = width;
    if (slash != std::string_view::npos) {
        bits = std::atoi(std::string(entry.substr(slash + 1)).c_str());
        if (bits <= 0 || bits > width) bits = width;
    }
    unsigned char net[16];
    if (inet_pton(family, network.c_str(), net) != 1) return false;
    for (int i = 0; i < bits; ++i) {
        const unsigned char mask = static_cast<unsigned char>(0x80 >> (i % 8));
        if ((address[i / 8] & mask) != (net[i / 8] & mask)) return false;
    }
    return true;
}

bool bypassesProxy(std::string_view host, std::string_view list) {
    if (list.empty()) return false;
    if (list == "*") return true;
    const std::string hostText(host);
    unsigned char address[16];
    int family = 0;
    if (inet_pton(AF_INET, hostText.c_str(), address) == 1)
        family = AF_INET;
    else if (inet_pton(AF_INET6, hostText.c_str(), address) == 1)
        family = AF_INET6;
    const std::string name = toLower(host);
    constexpr std::string_view kSeparators = ", \t";
    for (size_t pos = list.find_first_not_of(kSeparators); pos != std::string_view::npos;
         pos = list.find_first_not_of(kSeparators, pos)) {
        const size_t end = std::min(list.find_first_of(kSeparators, pos), list.size());
        std::string_view entry = list.substr(pos, end - pos);
        pos = end;
        if (family != 0) {
            if (inNetwork(address, family, entry)) return true;
            continue;
        }
        if (entry.starts_with('.')) entry.remove_prefix(1);
        const std::string domain = toLower(entry);
        if (domain.empty() || domain.size() > name.size()) continue;
        if (name == domain ||
            (name.ends_with(domain) && name[name.size() - domain.size() - 1] == '.'))
            return true;
    }
    return false;
}

}  // namespace

std::string environmentProxy(std::string_view url) {
    std::string_view noProxy = environment("no_proxy");
    if (noProxy.empty()) noProxy = environment("NO_PROXY");
    if (bypassesProxy(hostOf(url), noProxy)) return {};
    // HTTP_PROXY is never read: a web server's CGI environment sets it from a request header.
    const bool https = toLower(url.substr(0, 8)) == "https://";
    std::string_view proxy = https ? environment("https_proxy") : environment("http_proxy");
    if (proxy.empty() && https) proxy = environment("HTTPS_PROXY");
    if (proxy.empty()) proxy = environment("all_proxy");
    if (proxy.empty()) proxy = environment("ALL_PROXY");
    return std::string(proxy);
}

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

bool HttpSource::settled() {
    std::lock_guard lock(mtx_);
    return headersDone_ || headersError_ != 0;
}

void HttpSource::headersFailed(int error) {
    {
        std::lock_guard lock(mtx_);
        if (headersDone_ || headersError_ != 0) return;
        headersError_ = error;
        changed_.notify_all();
    }
    if (onSettled_) onSettled_();
}

bool HttpSource::icyAnswer() const {
    return !lines_.empty() && lines_.front().starts_with("ICY");
}

namespace {

// The first value of a header in an answer's lines, trimmed; "" when absent.
std::string headerIn(const std::vector<std::string>& lines, std::string_view name) {
    std::string wanted = toLower(name);
    for (size_t i = 1; i < lines.size(); ++i) {
        std::string_view line = lines[i];
        size_t colon = line.find(':');
        if (colon == std::string_view::npos) continue;
        if (toLower(trim(line.substr(0, colon))) == wanted)
            return std::string(trim(line.substr(colon + 1)));
    }
    return {};
}

}  // namespace

std::string HttpSource::header(std::string_view name) const {
    return headerIn(lines_, name);
}

namespace {

// An answer's body length; -1 when it declares none (or no number).
int64_t lengthIn(const std::vector<std::string>& lines) {
    std::string value = headerIn(lines, "content-length");
    if (value.empty() || value.size() > 18) return -1;
    int64_t n = 0;
    for (char c : value) {
        if (c < '0' || c > '9') return -1;
        n = n * 10 + (c - '0');
    }
    return n;
}

}  // namespace

int64_t HttpSource::contentLength() const {
    return lengthIn(lines_);
}

size_t HttpSource::onHeaderLine(const char* data, size_t len) {
    headerBytes_ += len;
    if (headerBytes_ > kMaxHeaderBytes) {
        stop_ = Stop::TooLarge;
        return 0;  // curl fails the transfer
    }
    // Once the first answer is published, a reconnect's answer is kept apart from it.
    const bool first = answers_ == 0;
    std::vector<std::string>& lines = first ? lines_ : answerLines_;
    std::string_view line(data, len);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
    bool statusLine = line.starts_with("HTTP/") || line.starts_with("ICY ");
    if (statusLine) {
        // A new answer (after a redirect or an interim 1xx): its headers replace the old ones.
        lines.clear();
        headerBytes_ = len;
    }
    if (!line.empty()) {
        lines.emplace_back(line);
        return len;
    }
    // The blank line ends one answer's headers.
    CURL* curl = static_cast<CURL*>(curlHandle_);
    long code = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &code);
    answerCode_ = code;
    if (code >= 100 && code < 200) return len;
    if (code >= 300 && code < 400 && !headerIn(lines, "location").empty())
        return len;  // curl follows it
    if (code < 200 || code >= 300) {
        headersFailed(AE_ERROR_HTTP);
        return 0;
    }
    // Only a live stream is asked for again, and only while the server still sends one (not,
    // say, a page saying that the station is off the air).
    const bool live = namesLiveStream(lines);
    bodyLength_ = lengthIn(lines);
    if (first) {
        char* effective = nullptr;
        curl_easy_getinfo(curl, CURLINFO_EFFECTIVE_URL, &effective);
        effectiveUrl_ = effective ? effective : url_;
        live_ = live;
    } else if (!live) {
        live_ = false;
        return 0;
    }
    uint32_t metaint = 0;
    std::string value = headerIn(lines, "icy-metaint");
    if (!value.empty()) metaint = IcySplitter::parseMetaint(value).value_or(0);
    splitter_ = std::make_unique<IcySplitter>(metaint);
    audioBase_ = static_cast<uint64_t>(ring_.totalWritten());
    answered_ = true;
    lastBody_ = Clock::now();
    ++answers_;
    bool settling = false;  // trailers end with a blank line too
    if (first) {
        std::lock_guard lock(mtx_);
        settling = !headersDone_ && headersError_ == 0;
        headersDone_ = true;
        changed_.notify_all();
    }
    if (settling && onSettled_) onSettled_();
    return len;
}

size_t HttpSource::onBody(const char* data, size_t len) {
    if (!splitter_) return 0;  // body without a completed header block
    bool ok = splitter_->feed(
        reinterpret_cast<const uint8_t*>(data), len,
        [this](const uint8_t* audio, size_t n) { return ring_.write(audio, n); },
        [this](std::string_view text, uint64_t offset) {
            if (onMeta_) onMeta_(text, audioBase_ + offset);
        });
    if (!ok) {
        stop_ = Stop::Aborted;
        return 0;
    }
    bodyBytes_ += static_cast<int64_t>(len);
    // After the ring took it: a full ring (a listener who paused) is no stall of the server.
    lastBody_ = Clock::now();
    return len;
}

int HttpSource::onProgress() {
    if (abort_) {
        stop_ = Stop::Aborted;
        return 1;
    }
    const auto now = Clock::now();
    // A server that accepts and never answers: curl's connect time-out does not cover it.
    if (!answered_ && now - connectionStarted_ > std::chrono::milliseconds(options_.timeoutMs)) {
        stop_ = Stop::Timeout;
        return 1;
    }
    // A live stream whose server stopped sending is asked for again rather than waited on.
    if (answered_ && reconnect_ && live_ && now - lastBody_ > kStallLimit) {
        stop_ = Stop::Stalled;
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
    int error = transfer();
    headersFailed(error != AE_OK ? error : AE_ERROR_PROTOCOL);  // no-op once answered
    // A live stream's lost connection is made again while the listener hears the buffer out.
    auto lostAt = Clock::now();
    size_t attempt = 0;
    while (mayReconnect(error) && Clock::now() - lostAt < kReconnectWindow) {
        constexpr size_t kSteps = std::size(kReconnectDelays);
        if (!pause(kReconnectDelays[std::min(attempt, kSteps - 1)])) break;
        const int64_t before = ring_.totalWritten();
        error = transfer();
        if (ring_.totalWritten() > before && Clock::now() - connectionStarted_ >= kSteadyPlay) {
            // It played again for a while: the next loss starts the back-off afresh. A server
            // that sends a little and closes each time goes on counting towards the end.
            lostAt = Clock::now();
            attempt = 0;
        } else {
            ++attempt;
        }
    }
    ring_.finish();
}

bool HttpSource::mayReconnect(int error) const {
    if (!reconnect_ || !live_ || abort_) return false;
    // A body that came whole has ended; one cut short of its declared length has not.
    if (error == AE_OK && bodyLength_ >= 0 && bodyBytes_ >= bodyLength_) return false;
    // An error answer ends the stream, but for a mount that is missing while its source is away.
    if (answerCode_ >= 400) return answerCode_ == kMissingMount;
    switch (error) {
        case AE_ERROR_HTTP:
        case AE_ERROR_URL:
        case AE_ERROR_MEMORY:
        case AE_ERROR_ABORTED:
            return false;
        default:
            return stop_ != Stop::TooLarge;
    }
}

bool HttpSource::pause(std::chrono::milliseconds delay) {
    std::unique_lock lock(mtx_);
    return !changed_.wait_for(lock, delay, [&] { return abort_.load(); });
}

int HttpSource::transfer() {
    stop_ = Stop::None;
    answered_ = false;
    answerCode_ = 0;
    bodyLength_ = -1;
    bodyBytes_ = 0;
    headerBytes_ = 0;
    connectionStarted_ = Clock::now();
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
    // A proxy's answer to the tunnel's CONNECT is not the server's.
    curl_easy_setopt(curl, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
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
            case Stop::Stalled:
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
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &answerCode_);
    curl_easy_cleanup(curl);
    curl_slist_free_all(aliases);
    curl_slist_free_all(request);
    return error;
}

}  // namespace ae

// One HTTP(S) download on a thread of its own (libcurl), feeding a bounded ByteRing with the
// audio bytes of the answer. In-stream metadata is cut out by an IcySplitter and reported with
// its audio byte offset.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "byte_ring.h"

namespace ae {

class IcySplitter;

struct HttpOptions {
    std::string agent;
    uint32_t timeoutMs = 5000;
    size_t ringCapacity = 80000;
};

class HttpSource {
  public:
    // Largest header block of one answer we keep; more fails with AE_ERROR_PROTOCOL.
    static constexpr size_t kMaxHeaderBytes = 64 * 1024;
    static constexpr long kMaxRedirects = 5;

    using MetaFn = std::function<void(std::string_view text, uint64_t audioOffset)>;

    HttpSource(std::string url, HttpOptions options);
    ~HttpSource();  // abort(), then joins the thread
    HttpSource(const HttpSource&) = delete;
    HttpSource& operator=(const HttpSource&) = delete;

    // Runs on the download thread; set it before start().
    void onMeta(MetaFn fn) { onMeta_ = std::move(fn); }
    // Runs once on the download thread when waitHeaders() stops waiting: the final answer's
    // headers are in or the download failed. Set it before start().
    void onSettled(std::function<void()> fn) { onSettled_ = std::move(fn); }

    void start();
    // Waits until the final answer's headers are in (AE_OK) or the download failed (its error).
    int waitHeaders();
    // Whether waitHeaders() would return at once.
    bool settled();
    // From now on a live stream (an ICY answer, or icy- or ice- headers) whose connection ends
    // before its declared length, if any, or stalls is asked for again at the same address,
    // after a short back-off, and the new answer's body follows the old one's in the ring. The
    // ring ends when a server answers with an error (other than a missing mount) or no live
    // stream, or the stream stays lost too long.
    void reconnectWhenLost() { reconnect_ = true; }
    // Answers whose body has gone into the ring so far: 1 until a reconnect is answered.
    uint32_t answers() const { return answers_; }
    void abort();
    void join();  // after abort(): waits for the download thread; never on that thread

    ByteRing& ring() { return ring_; }
    // Valid once waitHeaders() returned AE_OK.
    const std::vector<std::string>& headerLines() const { return lines_; }
    bool icyAnswer() const;
    std::string header(std::string_view name) const;  // first value, trimmed; "" when absent
    int64_t contentLength() const;                    // -1 when absent
    const std::string& effectiveUrl() const { return effectiveUrl_; }

  private:
    enum class Stop { None, Aborted, Timeout, TooLarge, Stalled };
    using Clock = std::chrono::steady_clock;

    void run();
    // One connection to the address: AE_OK once its body ended, else its error.
    int transfer();
    // Whether the ended connection is made again: a live stream, after a failure that may pass.
    bool mayReconnect(int error) const;
    // Waits `delay`; false when aborted meanwhile.
    bool pause(std::chrono::milliseconds delay);
    // Runs the transfer on a multi handle that abort() can wake; returns its CURLcode.
    int perform(void* easy);
    size_t onHeaderLine(const char* data, size_t len);
    size_t onBody(const char* data, size_t len);
    int onProgress();
    void headersFailed(int error);

    const std::string url_;
    const HttpOptions options_;
    ByteRing ring_;
    MetaFn onMeta_;
    std::function<void()> onSettled_;
    std::thread thread_;
    std::atomic<bool> abort_{false};
    std::chrono::steady_clock::time_point started_;

    // Download thread only; lines_ and effectiveUrl_ are read-only once headersDone_ is published.
    void* curlHandle_ = nullptr;
    std::vector<std::string> lines_;
    size_t headerBytes_ = 0;
    std::string effectiveUrl_;
    std::unique_ptr<IcySplitter> splitter_;
    std::atomic<Stop> stop_{Stop::None};
    std::atomic<bool> reconnect_{false};
    std::atomic<uint32_t> answers_{0};

    // Download thread only: the connection under way.
    bool live_ = false;      // the first answer is a live stream, which may be asked for again
    bool answered_ = false;  // this connection's answer is in, its body flowing
    long answerCode_ = 0;    // the status of this connection's last answer
    int64_t bodyLength_ = -1, bodyBytes_ = 0;  // its declared body length (-1: none), received
    uint64_t audioBase_ = 0;                   // audio bytes of earlier connections
    std::vector<std::string> answerLines_;  // a reconnect's answer (lines_ stays the first one's)
    Clock::time_point connectionStarted_, lastBody_;

    std::mutex mtx_;  // guards the four below
    std::condition_variable changed_;
    bool headersDone_ = false;
    int headersError_ = 0;
    void* multi_ = nullptr;  // the transfer's curl multi handle while it runs, for abort()
};

// The file of trusted certificates that every https connection verifies its peer against:
// $SSL_CERT_FILE when set (OpenSSL's own override of the system's store), else libcurl's
// system store. Empty when neither names one.
std::string trustedCertificatesFile();

// The proxy libcurl takes from the environment for an http or https address, as written there;
// empty for none. The scheme's own variable (https_proxy, HTTPS_PROXY; for http only
// http_proxy), else all_proxy or ALL_PROXY; none when no_proxy or NO_PROXY names the host (a
// name, a domain, or an IP address with an optional prefix length), or is "*".
std::string environmentProxy(std::string_view url);

// Maps an AE error for a failed curl transfer; exposed for tests.
int curlErrorToAe(int curlCode);

}  // namespace ae

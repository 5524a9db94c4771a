// Shared helpers for the engine tests: a scripted HTTP server on 127.0.0.1, test media made
// with ffmpeg, and a fixture that runs the engine against a private PulseAudio server.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "audioengine.h"
#include "fixtures.h"

namespace enginetest {

// A TCP server on 127.0.0.1 that runs a scripted behaviour for every connection.
class ScriptServer {
  public:
    // Runs once the request head has been read. The connection's socket is shut down after
    // the handler returns; `stopping` turns true when the server shuts down.
    using Handler =
        std::function<void(int fd, const std::string& request, const std::atomic<bool>& stopping)>;

    explicit ScriptServer(Handler handler);
    ~ScriptServer();
    int port() const { return port_; }
    std::string url(const std::string& path) const;
    int connections() const { return connections_; }
    // The last request's head (request line and headers).
    std::string lastRequest() const;

    // Helpers for handlers.
    static bool sendAll(int fd, const std::string& data);
    static bool sendAll(int fd, const void* data, size_t len);
    // Sleeps up to ms, returns false early when the server stops.
    static bool pause(const std::atomic<bool>& stopping, int ms);

  private:
    void acceptLoop();
    std::string readRequest(int fd);  // up to the blank line

    Handler handler_;
    int listenFd_ = -1;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<int> connections_{0};
    std::thread acceptThread_;
    mutable std::mutex mtx_;  // guards the two below
    std::vector<std::pair<std::thread, int>> clients_;
    std::string lastRequest_;
};

// Media files made once per test program with ffmpeg (a 440 Hz tone).
struct Media {
    std::string mp3;     // 128 kbps, 44100 Hz stereo, 8 s
    std::string mp3Low;  // the same at 32 kbps
    std::string aac;     // ADTS
    std::string ogg;     // Vorbis
    std::string wma;     // WMA v2 in ASF, titled "WMA Title" by "Someone"
};
const Media& media();
std::string fileBytes(const std::string& path);

// Windows Media headers as servers send them; no tool writes script commands.
struct AsfCommand {
    uint32_t timeMs;  // preroll included
    uint16_t type;    // index into the object's types
    std::u16string text;
};
// A Script Command Object naming `types` and holding `commands`.
std::string asfScriptCommands(const std::vector<std::u16string>& types,
                              const std::vector<AsfCommand>& commands);
// An ASF file with `object` added at its header's end, the header's size and count mended.
std::string withHeaderObject(std::string asf, const std::string& object);
// The preroll an ASF file's header declares, in ms.
uint64_t asfPrerollMs(const std::string& asf);
// `value` as `bytes` little-endian bytes, as ASF stores its numbers.
std::string littleEndian(uint64_t value, int bytes);

// An answer head: status line and headers, closed by the blank line.
std::string httpHead(const std::string& status, const std::vector<std::string>& headers);

// Interleaves ICY metadata into audio bytes every `metaint` bytes; titles[i] goes into the
// i-th block (later blocks are empty).
std::string withIcyMetadata(const std::string& audio, size_t metaint,
                            const std::vector<std::string>& titles);

// Three https servers on 127.0.0.1 serving the files of one folder: one whose certificate a
// local certificate authority signed for 127.0.0.1, one with a self-signed certificate and
// one whose certificate the authority signed for another host name. The authority's
// certificate is caFile(); certificates and keys are made with openssl when it starts.
// Sets (or with null unsets) an environment variable for the scope.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const char* value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
    const char* name_;
    std::optional<std::string> old_;
};

class TlsSites {
  public:
    enum Site { Trusted, SelfSigned, WrongHost };
    bool start();
    const std::string& error() const { return error_; }
    std::string caFile() const { return dir_.file("ca.pem"); }
    std::string folder() const { return dir_.file("www"); }
    std::string url(Site site, const std::string& path) const;

  private:
    fx::TempDir dir_{"engine-tls"};
    fx::ChildProcess server_;
    int ports_[3] = {};
    std::string error_;
};

// Runs every test with a private PulseAudio server and an initialised engine configured as
// the player does (timeout shortened so failure tests stay quick).
class EngineTest : public ::testing::Test {
  protected:
    static constexpr uint32_t kTimeoutMs = 3000;
    void SetUp() override;
    void TearDown() override;

    // Lists of a NUL-separated tag block.
    static std::vector<std::string> tagList(const char* tags);
    static bool hasEntry(const char* tags, const std::string& prefix);
    // Polls until pred is true or timeout passes.
    static bool waitFor(const std::function<bool()>& pred,
                        std::chrono::milliseconds timeout = std::chrono::seconds(30));
    // The player's buffering loop: fill percentage until it reaches 76 (or fails).
    static int bufferUntil76(AE_HANDLE h,
                             std::chrono::milliseconds timeout = std::chrono::seconds(40));
    // Watches the fill for `span` from now: the highest percentage seen, or -1 when the end
    // position was missing meanwhile. The end may move while the byte rate is measured.
    static int highestFill(AE_HANDLE h, std::chrono::milliseconds span);

    std::unique_ptr<fx::PulseServer> pulse_;
    fx::SoundServer soundServer_ = fx::SoundServer::PulseAudio;  // which one SetUp starts
};

}  // namespace enginetest

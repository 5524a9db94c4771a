#include "engine_test_support.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>

namespace enginetest {

ScriptServer::ScriptServer(Handler handler) : handler_(std::move(handler)) {
    listenFd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listenFd_, 16) != 0) {
        ADD_FAILURE() << "cannot listen: " << std::strerror(errno);
        return;
    }
    socklen_t len = sizeof addr;
    ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    acceptThread_ = std::thread([this] { acceptLoop(); });
}

ScriptServer::~ScriptServer() {
    stopping_ = true;
    if (acceptThread_.joinable()) acceptThread_.join();
    std::vector<std::pair<std::thread, int>> clients;
    {
        std::lock_guard lock(mtx_);
        clients.swap(clients_);
    }
    for (auto& [thread, fd] : clients) ::shutdown(fd, SHUT_RDWR);
    for (auto& [thread, fd] : clients) {
        thread.join();
        ::close(fd);
    }
    if (listenFd_ >= 0) ::close(listenFd_);
}

std::string ScriptServer::url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::string ScriptServer::lastRequest() const {
    std::lock_guard lock(mtx_);
    return lastRequest_;
}

void ScriptServer::acceptLoop() {
    while (!stopping_) {
        pollfd p{listenFd_, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) continue;
        int fd = ::accept(listenFd_, nullptr, nullptr);
        if (fd < 0) continue;
        ++connections_;
        std::lock_guard lock(mtx_);
        clients_.emplace_back(std::thread([this, fd] {
                                  std::string request = readRequest(fd);
                                  handler_(fd, request, stopping_);
                                  ::shutdown(fd, SHUT_RDWR);
                              }),
                              fd);
    }
}

std::string ScriptServer::readRequest(int fd) {
    std::string request;
    char c;
    while (request.size() < 16384 && request.find("\r\n\r\n") == std::string::npos) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0) {
            if (stopping_) break;
            continue;
        }
        if (::recv(fd, &c, 1, 0) != 1) break;
        request.push_back(c);
    }
    std::lock_guard lock(mtx_);
    lastRequest_ = request;
    return request;
}

bool ScriptServer::sendAll(int fd, const void* data, size_t len) {
    const char* p = static_cast<const char*>(data);
    while (len > 0) {
        ssize_t n = ::send(fd, p, len, MSG_NOSIGNAL);
        if (n <= 0) return false;
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

bool ScriptServer::sendAll(int fd, const std::string& data) {
    return sendAll(fd, data.data(), data.size());
}

bool ScriptServer::pause(const std::atomic<bool>& stopping, int ms) {
    for (int waited = 0; waited < ms; waited += 10) {
        if (stopping) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return !stopping;
}

std::string fileBytes(const std::string& path) {
    return fx::readFile(path);
}

const Media& media() {
    static fx::TempDir dir("engine-media");
    static Media m = [] {
        Media out{dir.file("tone.mp3"), dir.file("low.mp3"), dir.file("tone.aac"),
                  dir.file("tone.ogg"), dir.file("tone.wma")};
        auto make = [](const std::vector<std::string>& codec, const std::string& path) {
            std::vector<std::string> argv = {
                "ffmpeg", "-nostdin", "-loglevel",
                "error",  "-y",       "-f",
                "lavfi",  "-i",       "sine=frequency=440:sample_rate=44100:duration=8",
                "-ac",    "2"};
            argv.insert(argv.end(), codec.begin(), codec.end());
            argv.push_back(path);
            fx::ChildProcess p;
            if (!p.start(argv) || p.wait(std::chrono::seconds(60)) != 0)
                ADD_FAILURE() << "ffmpeg failed for " << path << ": " << p.stderrText();
        };
        make({"-c:a", "libmp3lame", "-b:a", "128k", "-write_xing", "0", "-id3v2_version", "0", "-f",
              "mp3"},
             out.mp3);
        make({"-c:a", "libmp3lame", "-b:a", "32k", "-write_xing", "0", "-id3v2_version", "0", "-f",
              "mp3"},
             out.mp3Low);
        make({"-c:a", "aac", "-b:a", "64k", "-f", "adts"}, out.aac);
        make({"-c:a", "libvorbis", "-b:a", "96k", "-f", "ogg"}, out.ogg);
        make({"-c:a", "wmav2", "-b:a", "64k", "-metadata", "title=WMA Title", "-metadata",
              "author=Someone", "-f", "asf"},
             out.wma);
        return out;
    }();
    return m;
}

std::string littleEndian(uint64_t value, int bytes) {
    std::string out;
    for (int i = 0; i < bytes; ++i) out += static_cast<char>(value >> (8 * i));
    return out;
}

namespace {

uint64_t readLittleEndian(const std::string& data, size_t at, int bytes) {
    uint64_t v = 0;
    for (int i = 0; i < bytes; ++i) v |= uint64_t{static_cast<uint8_t>(data[at + i])} << (8 * i);
    return v;
}

// Length-prefixed UTF-16LE with its NUL, as script commands store their texts.
std::string utf16Counted(const std::u16string& text) {
    std::string out = littleEndian(text.size() + 1, 2);
    for (char16_t c : text + u'\0') out += littleEndian(c, 2);
    return out;
}

}  // namespace

std::string asfScriptCommands(const std::vector<std::u16string>& types,
                              const std::vector<AsfCommand>& commands) {
    std::string body =
        std::string(16, '\0') + littleEndian(commands.size(), 2) + littleEndian(types.size(), 2);
    for (const auto& type : types) body += utf16Counted(type);
    for (const auto& c : commands)
        body += littleEndian(c.timeMs, 4) + littleEndian(c.type, 2) + utf16Counted(c.text);
    return std::string("\x30\x1A\xFB\x1E\x62\x0B\xD0\x11\xA3\x9B\x00\xA0\xC9\x03\x48\xF6", 16) +
           littleEndian(24 + body.size(), 8) + body;
}

std::string withHeaderObject(std::string asf, const std::string& object) {
    const uint64_t headerSize = readLittleEndian(asf, 16, 8);
    asf.insert(headerSize, object);
    asf.replace(16, 8, littleEndian(headerSize + object.size(), 8));
    asf.replace(24, 4, littleEndian(readLittleEndian(asf, 24, 4) + 1, 4));
    return asf;
}

uint64_t asfPrerollMs(const std::string& asf) {
    const std::string fileProperties(
        "\xA1\xDC\xAB\x8C\x47\xA9\xCF\x11\x8E\xE4\x00\xC0\x0C\x20\x53\x65", 16);
    const size_t props = asf.find(fileProperties);
    EXPECT_LT(props, readLittleEndian(asf, 16, 8));
    return props == std::string::npos ? 0 : readLittleEndian(asf, props + 24 + 56, 8);
}

std::string httpHead(const std::string& status, const std::vector<std::string>& headers) {
    std::string head = status + "\r\n";
    for (const auto& h : headers) head += h + "\r\n";
    return head + "\r\n";
}

std::string withIcyMetadata(const std::string& audio, size_t metaint,
                            const std::vector<std::string>& titles) {
    std::string out;
    size_t block = 0;
    for (size_t pos = 0; pos < audio.size(); pos += metaint) {
        out += audio.substr(pos, metaint);
        if (pos + metaint > audio.size()) break;
        std::string text = block < titles.size() ? titles[block] : "";
        size_t units = (text.size() + 15) / 16;
        text.resize(units * 16, '\0');
        out.push_back(static_cast<char>(units));
        out += text;
        ++block;
    }
    return out;
}

namespace {

// Serves a folder over https on one port per certificate; prints the ports once listening.
constexpr const char* kTlsServerScript = R"(
import functools, http.server, ssl, sys, threading
class Quiet(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass
ports = []
for cert, key in zip(sys.argv[2::2], sys.argv[3::2]):
    handler = functools.partial(Quiet, directory=sys.argv[1])
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    server.socket = context.wrap_socket(server.socket, server_side=True)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    ports.append(str(server.server_address[1]))
print("ports", " ".join(ports), flush=True)
threading.Event().wait()
)";

bool runTool(const std::vector<std::string>& argv, std::string& error) {
    fx::ChildProcess p;
    if (p.start(argv) && p.wait(std::chrono::seconds(60)) == 0) return true;
    error = argv[0] + " failed: " + p.stderrText();
    return false;
}

}  // namespace

ScopedEnv::ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    value ? ::setenv(name, value, 1) : ::unsetenv(name);
}

ScopedEnv::~ScopedEnv() {
    old_ ? ::setenv(name_, old_->c_str(), 1) : ::unsetenv(name_);
}

bool TlsSites::start() {
    const std::string d = dir_.path() + "/";
    const std::string days = "2";
    auto key = [&](const std::string& name) {
        return runTool({"openssl", "genrsa", "-out", d + name + ".key", "2048"}, error_);
    };
    // Signed by the local authority for the names in `altNames`.
    auto signedCert = [&](const std::string& name, const std::string& altNames) {
        fx::writeFile(d + name + ".ext", "subjectAltName=" + altNames + "\n");
        return key(name) &&
               runTool({"openssl", "req", "-new", "-key", d + name + ".key", "-out",
                        d + name + ".csr", "-subj", "/CN=" + name},
                       error_) &&
               runTool({"openssl", "x509", "-req", "-in", d + name + ".csr", "-CA", d + "ca.pem",
                        "-CAkey", d + "ca.key", "-CAcreateserial", "-days", days, "-extfile",
                        d + name + ".ext", "-out", d + name + ".pem"},
                       error_);
    };
    auto selfSigned = [&](const std::string& name, const std::string& altNames) {
        return key(name) &&
               runTool({"openssl", "req", "-x509", "-new", "-key", d + name + ".key", "-subj",
                        "/CN=" + name, "-addext", "subjectAltName=" + altNames, "-days", days,
                        "-out", d + name + ".pem"},
                       error_);
    };
    if (!selfSigned("ca", "DNS:ca.invalid") || !signedCert("trusted", "IP:127.0.0.1") ||
        !selfSigned("self", "IP:127.0.0.1") || !signedCert("wrong", "DNS:wrong.invalid"))
        return false;
    std::filesystem::create_directory(folder());
    fx::writeFile(d + "server.py", kTlsServerScript);
    if (!server_.start({"python3", d + "server.py", folder(), d + "trusted.pem", d + "trusted.key",
                        d + "self.pem", d + "self.key", d + "wrong.pem", d + "wrong.key"})) {
        error_ = "cannot start python3";
        return false;
    }
    if (!fx::waitUntil([&] { return server_.stdoutText().find('\n') != std::string::npos; })) {
        error_ = "https servers did not start: " + server_.stderrText();
        return false;
    }
    std::istringstream line(server_.stdoutText());
    std::string word;
    line >> word >> ports_[Trusted] >> ports_[SelfSigned] >> ports_[WrongHost];
    return ports_[WrongHost] > 0;
}

std::string TlsSites::url(Site site, const std::string& path) const {
    return "https://127.0.0.1:" + std::to_string(ports_[site]) + path;
}

void EngineTest::SetUp() {
    pulse_ = std::make_unique<fx::PulseServer>();
    ASSERT_TRUE(pulse_->start(soundServer_)) << pulse_->error();
    ASSERT_EQ(AE_GetVersion() >> 16, AE_API_VERSION);
    ASSERT_TRUE(AE_Init(-1, 44100, 0, nullptr, nullptr)) << AE_ErrorGetCode();
    AE_PluginLoad("aewma", 1);
    AE_PluginLoad("aeaac", 1);
    AE_SetConfig(AE_CONFIG_NET_PLAYLIST, 1);
    AE_SetConfig(AE_CONFIG_BUFFER, 500);
    AE_SetConfig(AE_CONFIG_NET_BUFFER, 2000);
    AE_SetConfig(AE_CONFIG_NET_PREBUF, 100);
    AE_SetConfig(AE_CONFIG_NET_TIMEOUT, kTimeoutMs);
    AE_SetConfig(AE_CONFIG_UPDATETHREADS, 4);
    AE_SetConfigPtr(AE_CONFIG_NET_AGENT, "VELMORA");
}

void EngineTest::TearDown() {
    AE_Free();
    pulse_.reset();
}

std::vector<std::string> EngineTest::tagList(const char* tags) {
    std::vector<std::string> out;
    while (tags && *tags) {
        out.emplace_back(tags);
        tags += out.back().size() + 1;
    }
    return out;
}

bool EngineTest::hasEntry(const char* tags, const std::string& prefix) {
    for (const auto& e : tagList(tags))
        if (e.rfind(prefix, 0) == 0) return true;
    return false;
}

bool EngineTest::waitFor(const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
    return fx::waitUntil(pred, timeout, std::chrono::milliseconds(10));
}

int EngineTest::bufferUntil76(AE_HANDLE h, std::chrono::milliseconds timeout) {
    int percent = -1;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        auto end = static_cast<int64_t>(AE_StreamGetFilePosition(h, AE_FILEPOS_END));
        if (end <= 0) return -1;
        auto down = static_cast<int64_t>(AE_StreamGetFilePosition(h, AE_FILEPOS_DOWNLOAD));
        auto cur = static_cast<int64_t>(AE_StreamGetFilePosition(h, AE_FILEPOS_CURRENT));
        percent = static_cast<int>((down - cur) * 100 / end);
        if (percent >= 76) return percent;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return percent;
}

int EngineTest::highestFill(AE_HANDLE h, std::chrono::milliseconds span) {
    int highest = 0;
    auto until = std::chrono::steady_clock::now() + span;
    while (std::chrono::steady_clock::now() < until) {
        // In the player's order: end, downloaded, current.
        const uint64_t end = AE_StreamGetFilePosition(h, AE_FILEPOS_END);
        if (end == 0 || end == ~uint64_t{0}) return -1;
        auto down = static_cast<int64_t>(AE_StreamGetFilePosition(h, AE_FILEPOS_DOWNLOAD));
        auto cur = static_cast<int64_t>(AE_StreamGetFilePosition(h, AE_FILEPOS_CURRENT));
        highest =
            std::max(highest, static_cast<int>((down - cur) * 100 / static_cast<int64_t>(end)));
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return highest;
}

}  // namespace enginetest

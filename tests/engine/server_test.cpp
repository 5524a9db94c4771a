// The engine against our own misbehaving servers on 127.0.0.1: every case ends in a clean
// error or a stream that ends, within the configured time-out.
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cstring>
#include <map>
#include <optional>
#include <mutex>
#include <random>
#include <sstream>

#include "engine_test_support.h"

namespace enginetest {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

using ServerTest = EngineTest;

// Sends `head`, then `body`, then closes.
ScriptServer::Handler answer(std::string head, std::string body = "") {
    return [head = std::move(head), body = std::move(body)](int fd, const std::string&,
                                                            const std::atomic<bool>&) {
        ScriptServer::sendAll(fd, head);
        ScriptServer::sendAll(fd, body);
    };
}

struct Created {
    AE_HANDLE handle;
    int error;
    double seconds;
};

Created create(const std::string& url, uint32_t flags = 0x940000, AE_DOWNLOADPROC proc = nullptr,
               void* user = nullptr) {
    auto t0 = Clock::now();
    AE_HANDLE h = AE_StreamCreateURL(url.c_str(), 0, flags, proc, user);
    int error = AE_ErrorGetCode();
    return {h, error, std::chrono::duration<double>(Clock::now() - t0).count()};
}

std::string mp3Head(const std::vector<std::string>& extra = {}) {
    std::vector<std::string> headers = {"Content-Type: audio/mpeg", "icy-name:Test Radio"};
    headers.insert(headers.end(), extra.begin(), extra.end());
    return httpHead("HTTP/1.0 200 OK", headers);
}

// A proxy that tunnels every CONNECT to `port` on 127.0.0.1, whatever address it names.
[[maybe_unused]] ScriptServer::Handler tunnelTo(int port) {
    return [port](int fd, const std::string& request, const std::atomic<bool>& stopping) {
        if (!request.starts_with("CONNECT ")) return;
        int site = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(port));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(site, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
            ScriptServer::sendAll(fd, "HTTP/1.1 200 Connection established\r\n\r\n")) {
            pollfd ends[2] = {{fd, POLLIN, 0}, {site, POLLIN, 0}};
            char buf[16384];
            while (!stopping) {
                if (::poll(ends, 2, 100) <= 0) continue;
                int from = (ends[0].revents != 0) ? 0 : 1;
                ssize_t n = ::recv(ends[from].fd, buf, sizeof buf, 0);
                if (n <= 0 || !ScriptServer::sendAll(ends[1 - from].fd, buf, size_t(n))) break;
            }
        }
        ::close(site);
    };
}

TEST_F(ServerTest, RefusedUnknownSchemesAndErrorAnswersFailCleanly) {
    Created refused = create("http://127.0.0.1:" + std::to_string(fx::freePort()) + "/x");
    EXPECT_EQ(refused.handle, 0u);
    EXPECT_EQ(refused.error, AE_ERROR_CONNECT);
    Created refusedMms = create("mmsh://127.0.0.1:" + std::to_string(fx::freePort()) + "/x");
    EXPECT_EQ(refusedMms.handle, 0u);
    EXPECT_NE(refusedMms.error, AE_OK);

    for (const char* url : {"", "file:///etc/passwd", "ftp://127.0.0.1/x", "garbage", "http://"}) {
        Created c = create(url);
        EXPECT_EQ(c.handle, 0u) << url;
        EXPECT_EQ(c.error, AE_ERROR_URL) << url;
    }
    EXPECT_EQ(AE_StreamCreateURL(nullptr, 0, 0, nullptr, nullptr), 0u);

    for (const char* status : {"HTTP/1.0 404 Not Found", "HTTP/1.1 500 Internal Server Error"}) {
        ScriptServer server(answer(httpHead(status, {"Content-Length: 0"})));
        Created c = create(server.url("/x"));
        EXPECT_EQ(c.handle, 0u) << status;
        EXPECT_EQ(c.error, AE_ERROR_HTTP) << status;
    }
    // Only "ICY 200 OK" is a SHOUTcast success; libcurl cannot read other ICY answers.
    ScriptServer icyError(answer(httpHead("ICY 401 Service Unavailable", {})));
    Created icy = create(icyError.url("/x"));
    EXPECT_EQ(icy.handle, 0u);
    EXPECT_EQ(icy.error, AE_ERROR_PROTOCOL);
}

TEST_F(ServerTest, SilentServerTimesOutAndRedirectLoopStops) {
    ScriptServer silent([](int, const std::string&, const std::atomic<bool>& stopping) {
        ScriptServer::pause(stopping, 60000);
    });
    Created c = create(silent.url("/x"));
    EXPECT_EQ(c.handle, 0u);
    EXPECT_EQ(c.error, AE_ERROR_TIMEOUT);
    EXPECT_GE(c.seconds, kTimeoutMs / 1000.0 - 0.2);
    EXPECT_LT(c.seconds, kTimeoutMs / 1000.0 + 3);

    ScriptServer* self = nullptr;
    ScriptServer loop([&self](int fd, const std::string&, const std::atomic<bool>&) {
        ScriptServer::sendAll(fd,
                              httpHead("HTTP/1.1 302 Found",
                                       {"Location: " + self->url("/again"), "Content-Length: 0"}));
    });
    self = &loop;
    Created r = create(loop.url("/start"));
    EXPECT_EQ(r.handle, 0u);
    EXPECT_EQ(r.error, AE_ERROR_PROTOCOL);
    EXPECT_LE(loop.connections(), 7);
}

TEST_F(ServerTest, OversizedAndEndlessHeadersAreRejected) {
    // Many short header lines adding up to more than 64 KiB.
    ScriptServer many([](int fd, const std::string&, const std::atomic<bool>& stopping) {
        ScriptServer::sendAll(fd, "HTTP/1.0 200 OK\r\nContent-Type: audio/mpeg\r\n");
        for (int i = 0; i < 100000 && !stopping; ++i) {
            if (!ScriptServer::sendAll(fd, "X-Pad-" + std::to_string(i) + ": 0123456789abcdef\r\n"))
                return;
        }
    });
    Created c = create(many.url("/x"));
    EXPECT_EQ(c.handle, 0u);
    EXPECT_EQ(c.error, AE_ERROR_PROTOCOL);

    // One header line that never ends.
    ScriptServer endless([](int fd, const std::string&, const std::atomic<bool>& stopping) {
        ScriptServer::sendAll(fd, "HTTP/1.0 200 OK\r\nX-Endless: ");
        std::string chunk(4096, 'a');
        while (!stopping && ScriptServer::sendAll(fd, chunk)) {
        }
    });
    Created e = create(endless.url("/x"));
    EXPECT_EQ(e.handle, 0u);
    EXPECT_NE(e.error, AE_OK);
    EXPECT_LT(e.seconds, kTimeoutMs / 1000.0 + 3);
}

TEST_F(ServerTest, BadBodiesFailWithinTheTimeOut) {
    // Closes right after the headers.
    ScriptServer empty(answer(mp3Head()));
    Created c = create(empty.url("/x"));
    EXPECT_EQ(c.handle, 0u);
    EXPECT_EQ(c.error, AE_ERROR_FORMAT);

    // Random bytes without end.
    ScriptServer noise([](int fd, const std::string&, const std::atomic<bool>& stopping) {
        ScriptServer::sendAll(fd, mp3Head());
        std::mt19937 rng(1);
        std::string chunk(4096, '\0');
        while (!stopping) {
            for (char& ch : chunk) ch = static_cast<char>(rng());
            if (!ScriptServer::sendAll(fd, chunk)) return;
        }
    });
    Created n = create(noise.url("/x"));
    EXPECT_EQ(n.handle, 0u);
    EXPECT_NE(n.error, AE_OK);
    EXPECT_LT(n.seconds, kTimeoutMs / 1000.0 + 3);

    // A slow trickle: one byte of audio every 50 ms.
    std::string mp3 = fileBytes(media().mp3);
    ScriptServer trickle([mp3](int fd, const std::string&, const std::atomic<bool>& stopping) {
        ScriptServer::sendAll(fd, mp3Head());
        for (char ch : mp3) {
            if (!ScriptServer::pause(stopping, 50) || !ScriptServer::sendAll(fd, &ch, 1)) return;
        }
    });
    Created t = create(trickle.url("/x"));
    EXPECT_EQ(t.handle, 0u);
    EXPECT_EQ(t.error, AE_ERROR_TIMEOUT);
    EXPECT_LT(t.seconds, kTimeoutMs / 1000.0 + 3);

    // Every MP3 frame cut short after its header and side information, which now says that
    // its data begins far back in frames that do not hold it: the frames parse, but nothing in
    // them decodes.
    std::string cut;
    for (size_t pos = 0; pos + 4 <= mp3.size();) {
        const auto* h = reinterpret_cast<const uint8_t*>(mp3.data() + pos);
        if (h[0] != 0xFF || (h[1] & 0xE0) != 0xE0) {
            ++pos;
            continue;
        }
        cut.append(mp3, pos, 40);
        cut[cut.size() - 36] = '\xFF';  // main_data_begin: the side information's first 9 bits
        cut[cut.size() - 35] = static_cast<char>(cut[cut.size() - 35] | 0x80);
        pos += 144 * 128000 / 44100 + ((h[2] >> 1) & 1);  // 128 kbps at 44100 Hz
    }
    ScriptServer truncated([cut](int fd, const std::string&, const std::atomic<bool>& stopping) {
        ScriptServer::sendAll(fd, mp3Head());
        while (ScriptServer::pause(stopping, 100) && ScriptServer::sendAll(fd, cut)) {
        }
    });
    Created f = create(truncated.url("/x"));
    EXPECT_EQ(f.handle, 0u);
    EXPECT_EQ(f.error, AE_ERROR_FORMAT);
    EXPECT_LT(f.seconds, kTimeoutMs / 1000.0 + 3);
    if (f.handle) AE_StreamFree(f.handle);
}

TEST_F(ServerTest, FillAndStartAreMeasuredInSoundUnlessTheBodyIsShorter) {
    std::string mp3 = fileBytes(media().mp3);
    // A live stream that announces a body far longer than any buffer.
    ScriptServer live([mp3](int fd, const std::string&, const std::atomic<bool>& stopping) {
        ScriptServer::sendAll(fd, mp3Head({"Content-Length: 1000000000000"}));
        ScriptServer::sendAll(fd, mp3);
        ScriptServer::pause(stopping, 60000);
    });
    Created c = create(live.url("/live"));
    ASSERT_NE(c.handle, 0u) << c.error;
    EXPECT_LE(AE_StreamGetFilePosition(c.handle, AE_FILEPOS_END), 80000u + 4096u);
    EXPECT_GE(bufferUntil76(c.handle, 15s), 76);
    AE_StreamFree(c.handle);

    // A little over the configured 2 s of sound, then nothing: what the decoder has already
    // taken counts as much as what waits in the download buffer, so playback starts.
    ScriptServer held([mp3](int fd, const std::string&, const std::atomic<bool>& stopping) {
        ScriptServer::sendAll(fd, mp3Head({"Content-Length: 1000000000000"}));
        ScriptServer::sendAll(fd, mp3.substr(0, 34000));  // 2.1 s at 128 kbps
        ScriptServer::pause(stopping, 60000);
    });
    Created h = create(held.url("/held"));
    ASSERT_NE(h.handle, 0u) << h.error;
    EXPECT_GE(bufferUntil76(h.handle, 15s), 76);
    EXPECT_LE(highestFill(h.handle, 300ms), 100);
    ASSERT_TRUE(AE_ChannelPlay(h.handle, 0));
    EXPECT_TRUE(waitFor([&] { return AE_ChannelIsActive(h.handle) == AE_ACTIVE_PLAYING; }, 15s));
    AE_StreamFree(h.handle);

    const std::string body = mp3.substr(0, 24000);
    ScriptServer small(answer(mp3Head({"Content-Length: " + std::to_string(body.size())}), body));
    Created s = create(small.url("/short"));
    ASSERT_NE(s.handle, 0u) << s.error;
    EXPECT_EQ(AE_StreamGetFilePosition(s.handle, AE_FILEPOS_END), body.size());
    AE_StreamFree(s.handle);
}

TEST_F(ServerTest, HttpsTrustsOnlyWhatTheCertificateStoreVouchesFor) {
    TlsSites tls;
    ASSERT_TRUE(tls.start()) << tls.error();
    const std::string www = tls.folder() + "/";
    fx::writeFile(www + "tone.mp3", fileBytes(media().mp3));
    fx::ChildProcess hls;
    ASSERT_TRUE(hls.start(fx::hlsToneArgs(440, 6, www + "list.m3u8", www + "seg%d.ts")));
    ASSERT_EQ(hls.wait(60s), 0) << hls.stderrText();
    // The engine takes the store from where OpenSSL looks first.
    ASSERT_EQ(::setenv("SSL_CERT_FILE", tls.caFile().c_str(), 1), 0);

    // Our own download (a plain stream, an HLS playlist) and FFmpeg's (the HLS segments).
    Created mp3 = create(tls.url(TlsSites::Trusted, "/tone.mp3"));
    EXPECT_NE(mp3.handle, 0u) << mp3.error;
    AE_StreamFree(mp3.handle);
    Created list = create(tls.url(TlsSites::Trusted, "/list.m3u8"));
    EXPECT_NE(list.handle, 0u) << list.error;
    AE_CHANNELINFO info{};
    EXPECT_TRUE(AE_ChannelGetInfo(list.handle, &info));
    EXPECT_EQ(info.ctype, AE_CTYPE_STREAM_AAC);
    // No buffering wait comes before the format is read here: the measured rate must be there.
    float kbps = 0;
    EXPECT_TRUE(AE_ChannelGetAttribute(list.handle, AE_ATTRIB_BITRATE, &kbps));
    EXPECT_NEAR(kbps, 64, 8);
    AE_StreamFree(list.handle);

    // FFmpeg's requests (the HLS segments) take the proxy our own download takes for https:
    // the address's own port is closed, so only the proxy reaches the site.
    {
        ScopedEnv noProxy("no_proxy", nullptr), noProxyUpper("NO_PROXY", nullptr),
            httpProxy("http_proxy", nullptr);
        // FFmpeg 5.1's tunnel through an http proxy never frees what it parsed from the proxy's
        // answer (a few bytes each time): the leak report would fail the test under ASan.
#ifndef __SANITIZE_ADDRESS__
        const std::string trusted = tls.url(TlsSites::Trusted, "");
        ScriptServer proxy(tunnelTo(std::stoi(trusted.substr(trusted.rfind(':') + 1))));
        const std::string behind = "https://127.0.0.1:" + std::to_string(fx::freePort());
        for (const char* variable : {"https_proxy", "all_proxy"}) {
            SCOPED_TRACE(variable);
            ScopedEnv set(variable, proxy.url("").c_str());
            Created proxied = create(behind + "/list.m3u8");
            EXPECT_NE(proxied.handle, 0u) << proxied.error;
            AE_StreamFree(proxied.handle);
        }
#endif
        // http_proxy is for http only, and no_proxy is honoured.
        {
            ScopedEnv onlyHttp("http_proxy", "http://127.0.0.1:1");
            Created direct = create(tls.url(TlsSites::Trusted, "/list.m3u8"));
            EXPECT_NE(direct.handle, 0u) << direct.error;
            AE_StreamFree(direct.handle);
        }
        {
            ScopedEnv dead("https_proxy", "127.0.0.1:1"),
                except("no_proxy", "example.org,127.0.0.0/8");
            Created direct = create(tls.url(TlsSites::Trusted, "/list.m3u8"));
            EXPECT_NE(direct.handle, 0u) << direct.error;
            AE_StreamFree(direct.handle);
        }
    }

    const std::string playlist = fileBytes(www + "list.m3u8");
    for (auto site : {TlsSites::SelfSigned, TlsSites::WrongHost}) {
        SCOPED_TRACE(tls.url(site, "/"));
        Created direct = create(tls.url(site, "/tone.mp3"));
        EXPECT_EQ(direct.handle, 0u);
        EXPECT_EQ(direct.error, AE_ERROR_CONNECT);
        // A trusted playlist whose segments are on the untrusted site.
        std::string elsewhere;
        std::istringstream lines(playlist);
        for (std::string line; std::getline(lines, line);)
            elsewhere += (line.starts_with("seg") ? tls.url(site, "/" + line) : line) + "\n";
        const std::string name = "elsewhere" + std::to_string(site) + ".m3u8";
        fx::writeFile(www + name, elsewhere);
        Created segments = create(tls.url(TlsSites::Trusted, "/" + name));
        EXPECT_EQ(segments.handle, 0u);
        EXPECT_EQ(segments.error, AE_ERROR_CONNECT);
        if (segments.handle) AE_StreamFree(segments.handle);
    }
    ::unsetenv("SSL_CERT_FILE");
}

TEST_F(ServerTest, BadMetaintValuesPlayAsPlainAudio) {
    std::string mp3 = fileBytes(media().mp3);
    for (const char* metaint : {"0", "-16000", "99999999999", "banana"}) {
        ScriptServer server(answer(mp3Head({std::string("icy-metaint:") + metaint}), mp3));
        Created c = create(server.url("/x"), 0);
        ASSERT_NE(c.handle, 0u) << metaint << " error " << c.error;
        AE_CHANNELINFO info{};
        ASSERT_TRUE(AE_ChannelGetInfo(c.handle, &info));
        EXPECT_EQ(info.ctype, AE_CTYPE_STREAM_MP3);
        EXPECT_EQ(AE_ChannelGetTags(c.handle, AE_TAG_META), nullptr);
        EXPECT_TRUE(AE_StreamFree(c.handle));
    }
}

TEST_F(ServerTest, StreamCutInsideAMetadataBlockPlaysAndEnds) {
    const size_t metaint = 8000;
    std::string mp3 = fileBytes(media().mp3).substr(0, 16000 * 3);
    std::string body =
        withIcyMetadata(mp3, metaint, {"StreamTitle='Cut';", "StreamTitle='Never complete';"});
    // Close in the middle of the second metadata block.
    body.resize(2 * metaint + 1 + 32 + metaint + 5);
    ScriptServer server(answer(
        mp3Head({"icy-metaint:8000", "Content-Length: " + std::to_string(body.size())}), body));
    Created c = create(server.url("/cut"));
    ASSERT_NE(c.handle, 0u) << c.error;
    ASSERT_TRUE(AE_ChannelPlay(c.handle, 0));
    ASSERT_TRUE(waitFor(
        [&] { return !AE_StreamFree(c.handle) && AE_ErrorGetCode() == AE_ERROR_HANDLE; }, 20s));
}

void CollectHeaders(const void* buffer, uint32_t length, void* user) {
    auto* blocks = static_cast<std::vector<std::string>*>(user);
    if (length == 0 && buffer) {
        std::string block;
        for (const char* p = static_cast<const char*>(buffer); *p; p += std::strlen(p) + 1)
            block += std::string(p) + "|";
        blocks->push_back(block);
    }
}

TEST_F(ServerTest, HttpAnswerGivesHeadersFormatAndPositions) {
    std::string mp3 = fileBytes(media().mp3);
    ScriptServer server(answer(mp3Head({"icy-br:128"}), mp3));
    std::vector<std::string> blocks;
    Created c = create(server.url("/live"), 0x940000, CollectHeaders, &blocks);
    ASSERT_NE(c.handle, 0u) << c.error;
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(blocks[0],
              "HTTP/1.0 200 OK|Content-Type: audio/mpeg|icy-name:Test Radio|icy-br:128|");

    std::string request = server.lastRequest();
    EXPECT_NE(request.find("User-Agent: VELMORA\r\n"), std::string::npos) << request;
    EXPECT_NE(request.find("Icy-MetaData: 1\r\n"), std::string::npos) << request;

    const char* http = AE_ChannelGetTags(c.handle, AE_TAG_HTTP);
    EXPECT_EQ(tagList(http),
              (std::vector<std::string>{"HTTP/1.0 200 OK", "Content-Type: audio/mpeg",
                                        "icy-name:Test Radio", "icy-br:128"}));
    EXPECT_EQ(AE_ChannelGetTags(c.handle, AE_TAG_ICY), nullptr);
    EXPECT_EQ(AE_ErrorGetCode(), AE_ERROR_NOT_AVAILABLE);
    EXPECT_EQ(AE_ChannelGetTags(c.handle, AE_TAG_OGG), nullptr);
    EXPECT_EQ(AE_ChannelGetTags(c.handle, AE_TAG_WMA), nullptr);

    AE_CHANNELINFO info{};
    ASSERT_TRUE(AE_ChannelGetInfo(c.handle, &info));
    EXPECT_EQ(info.freq, 44100u);
    EXPECT_EQ(info.chans, 2u);
    EXPECT_EQ(info.ctype, AE_CTYPE_STREAM_MP3);
    EXPECT_EQ(info.flags, 0x940000u);
    EXPECT_STREQ(info.filename, server.url("/live").c_str());
    EXPECT_EQ(AE_ChannelSeconds2Bytes(c.handle, 0.001), 176u);  // 44 frames x 2 ch x 2 bytes
    EXPECT_EQ(AE_ChannelSeconds2Bytes(c.handle, 1.0), 176400u);
    float kbps = 0;
    ASSERT_TRUE(AE_ChannelGetAttribute(c.handle, AE_ATTRIB_BITRATE, &kbps));
    EXPECT_EQ(kbps, 128.0f);

    // 2 s of a 128 kbps stream, or what arrived while probing; the whole file arrives quickly.
    uint64_t end = AE_StreamGetFilePosition(c.handle, AE_FILEPOS_END);
    EXPECT_GE(end, 32000u);
    EXPECT_LE(end, 80000u + 4096u);
    int fill = highestFill(c.handle, std::chrono::milliseconds(300));
    EXPECT_GE(fill, 0) << "no end position";
    EXPECT_LE(fill, 100);
    EXPECT_GE(bufferUntil76(c.handle), 76);
    EXPECT_EQ(AE_StreamGetFilePosition(c.handle, AE_FILEPOS_WMA_BUFFER), ~uint64_t{0});
    EXPECT_EQ(AE_StreamGetFilePosition(c.handle, 7), ~uint64_t{0});
    EXPECT_EQ(AE_ChannelIsActive(c.handle), AE_ACTIVE_STOPPED);  // not played yet
    EXPECT_EQ(AE_ChannelGetLevel(c.handle), 0xFFFFFFFFu);

    EXPECT_TRUE(AE_StreamFree(c.handle));
    EXPECT_FALSE(AE_StreamFree(c.handle));
    EXPECT_EQ(AE_ErrorGetCode(), AE_ERROR_HANDLE);
    EXPECT_EQ(AE_StreamGetFilePosition(c.handle, AE_FILEPOS_END), ~uint64_t{0});
    EXPECT_EQ(AE_ChannelGetTags(c.handle, AE_TAG_HTTP), nullptr);
    EXPECT_EQ(AE_ChannelIsActive(c.handle), AE_ACTIVE_STOPPED);
}

TEST_F(ServerTest, ShoutcastAnswerGoesUnderIcyWithMetadata) {
    std::string mp3 = fileBytes(media().mp3);
    std::string body = withIcyMetadata(mp3, 8192, {"StreamTitle='First Song';StreamUrl='';"});
    ScriptServer server(answer(httpHead("ICY 200 OK", {"icy-name:Shout Radio", "icy-metaint:8192",
                                                       "content-type:audio/mpeg"}),
                               body));
    Created c = create(server.url("/;"));
    ASSERT_NE(c.handle, 0u) << c.error;
    EXPECT_EQ(AE_ChannelGetTags(c.handle, AE_TAG_HTTP), nullptr);
    auto icy = tagList(AE_ChannelGetTags(c.handle, AE_TAG_ICY));
    ASSERT_FALSE(icy.empty());
    EXPECT_EQ(icy[0], "ICY 200 OK");
    EXPECT_TRUE(hasEntry(AE_ChannelGetTags(c.handle, AE_TAG_ICY), "icy-name:Shout Radio"));
    // Before playback the title is the one downloaded so far.
    ASSERT_TRUE(waitFor([&] { return AE_ChannelGetTags(c.handle, AE_TAG_META) != nullptr; }, 10s));
    EXPECT_STREQ(AE_ChannelGetTags(c.handle, AE_TAG_META),
                 "StreamTitle='First Song';StreamUrl='';");
    // The metadata never reaches the decoder: all audio bytes are the file's.
    ASSERT_TRUE(waitFor(
        [&] { return AE_StreamGetFilePosition(c.handle, AE_FILEPOS_DOWNLOAD) >= 32000u; }, 10s));
    EXPECT_TRUE(AE_StreamFree(c.handle));
}

// A .pls naming each of `entries` in turn.
std::string plsNaming(const std::vector<std::string>& entries) {
    std::string pls = "[playlist]\nNumberOfEntries=" + std::to_string(entries.size()) + "\n";
    for (size_t i = 0; i < entries.size(); ++i)
        pls += "File" + std::to_string(i + 1) + "=" + entries[i] + "\n";
    return pls;
}

TEST_F(ServerTest, PlaylistAnswersResolveToTheirStream) {
    std::string mp3 = fileBytes(media().mp3);
    ScriptServer* self = nullptr;
    std::mutex mtx;  // guards asked and hungUp
    std::map<std::string, int> asked;
    int hungUp = 0;  // mirrors that never answered and whose connection the engine closed
    ScriptServer server([&self, &mp3, &mtx, &asked, &hungUp](int fd, const std::string& request,
                                                             const std::atomic<bool>& stopping) {
        std::string path = request.substr(4, request.find(' ', 4) - 4);
        {
            std::lock_guard lock(mtx);
            ++asked[path];
        }
        const std::string plsHead = httpHead("HTTP/1.0 200 OK", {"Content-Type: audio/x-scpls"});
        if (path.starts_with("/silent")) {
            // Accepts and never answers, until the engine gives up on it.
            char byte;
            while (ScriptServer::pause(stopping, 20)) {
                if (::recv(fd, &byte, 1, MSG_DONTWAIT) == 0) {
                    std::lock_guard lock(mtx);
                    ++hungUp;
                    return;
                }
            }
        } else if (path == "/mirrors.pls") {
            ScriptServer::sendAll(fd, plsHead + plsNaming({"silent1", "silent2", "stream.mp3"}));
        } else if (path == "/self.pls") {
            ScriptServer::sendAll(fd,
                                  plsHead + plsNaming(std::vector<std::string>(64, "self.pls")));
        } else if (path == "/fan.pls" || path.starts_with("/fan/")) {
            // 64 playlists, each naming 64 addresses that are missing: 4,160 addresses in all.
            std::vector<std::string> entries;
            for (int i = 0; i < 64; ++i)
                entries.push_back(path == "/fan.pls" ? "fan/" + std::to_string(i) + ".pls"
                                                     : path + "-" + std::to_string(i) + ".mp3");
            ScriptServer::sendAll(fd, path.ends_with(".mp3")
                                          ? httpHead("HTTP/1.0 404 Not Found", {})
                                          : plsHead + plsNaming(entries));
        } else if (path == "/list.pls") {
            ScriptServer::sendAll(
                fd, httpHead("HTTP/1.0 200 OK", {"Content-Type: audio/x-scpls"}) +
                        "[playlist]\nNumberOfEntries=2\nFile1=http://127.0.0.1:1/dead\n"
                        "File2=stream.mp3\n");
        } else if (path == "/list.asx") {
            ScriptServer::sendAll(
                fd, httpHead("HTTP/1.0 200 OK", {"Content-Type: video/x-ms-asf"}) +
                        "<asx version=\"3.0\"><entry><ref href=\"" + self->url("/stream.mp3") +
                        "\"/></entry></asx>");
        } else if (path == "/self.m3u") {
            ScriptServer::sendAll(
                fd, httpHead("HTTP/1.0 200 OK", {"Content-Type: audio/x-mpegurl"}) + "self.m3u\n");
        } else if (path == "/stream.mp3") {
            ScriptServer::sendAll(fd, mp3Head() + mp3);
        } else {
            ScriptServer::sendAll(fd, httpHead("HTTP/1.0 404 Not Found", {}));
        }
    });
    self = &server;
    for (const char* list : {"/list.pls", "/list.asx"}) {
        Created c = create(server.url(list));
        ASSERT_NE(c.handle, 0u) << list << " error " << c.error;
        AE_CHANNELINFO info{};
        ASSERT_TRUE(AE_ChannelGetInfo(c.handle, &info));
        EXPECT_EQ(info.ctype, AE_CTYPE_STREAM_MP3);
        EXPECT_TRUE(hasEntry(AE_ChannelGetTags(c.handle, AE_TAG_HTTP), "Content-Type: audio/mpeg"));
        AE_StreamFree(c.handle);
    }
    // Mirrors that accept and never answer hold up the next only for a share of the time-out
    // (here far beyond the wait), and are closed once it plays.
    {
        AE_SetConfig(AE_CONFIG_NET_TIMEOUT, 120000);
        std::atomic<bool> done{false};
        Created c{};
        std::thread creator([&] {
            c = create(server.url("/mirrors.pls"));
            done = true;
        });
        EXPECT_TRUE(waitFor([&] { return done.load(); }, 40s));
        AE_StreamCreateAbort();
        creator.join();
        AE_SetConfig(AE_CONFIG_NET_TIMEOUT, kTimeoutMs);
        ASSERT_NE(c.handle, 0u) << c.error;
        AE_CHANNELINFO info{};
        ASSERT_TRUE(AE_ChannelGetInfo(c.handle, &info));
        EXPECT_EQ(info.ctype, AE_CTYPE_STREAM_MP3);
        EXPECT_TRUE(waitFor(
            [&] {
                std::lock_guard lock(mtx);
                return hungUp == 2;
            },
            10s));
        AE_StreamFree(c.handle);
        std::lock_guard lock(mtx);
        EXPECT_EQ(asked["/silent1"], 1);
        EXPECT_EQ(asked["/silent2"], 1);
    }

    // A playlist naming itself is not asked for again.
    Created loop = create(server.url("/self.m3u"));
    EXPECT_EQ(loop.handle, 0u);
    EXPECT_EQ(loop.error, AE_ERROR_PLAYLIST);

    // One creation asks for each address once and for at most 64 addresses in all.
    Created selfList = create(server.url("/self.pls"));
    EXPECT_EQ(selfList.error, AE_ERROR_PLAYLIST);
    Created fan = create(server.url("/fan.pls"));
    EXPECT_EQ(fan.error, AE_ERROR_PLAYLIST);
    {
        std::lock_guard lock(mtx);
        EXPECT_EQ(asked["/self.pls"], 1);
        int fanRequests = 0;
        for (const auto& [path, count] : asked) {
            if (!path.starts_with("/fan")) continue;
            EXPECT_EQ(count, 1) << path;
            fanRequests += count;
        }
        EXPECT_LE(fanRequests, 64);
        EXPECT_GE(fanRequests, 64) << "the bound, not a failure, ended the creation";
    }

    // Without playlist resolution the answer is just not audio.
    AE_SetConfig(AE_CONFIG_NET_PLAYLIST, 0);
    Created plain = create(server.url("/list.pls"));
    EXPECT_EQ(plain.handle, 0u);
    EXPECT_EQ(plain.error, AE_ERROR_FORMAT);
}

// AAC sent as MP3 (which format each kind of bytes is taken for is checked without a server)
// is opened, named and played as what it is; AAC and Windows Media open only with their own
// plugins.
TEST_F(ServerTest, MislabelledAacPlaysAsAacAndFamiliesNeedTheirPlugins) {
    std::string aac = fileBytes(media().aac);
    ScriptServer server(answer(httpHead("HTTP/1.0 200 OK", {"Content-Type: audio/mpeg"}), aac));
    ScriptServer wma(answer(httpHead("HTTP/1.0 200 OK", {"Content-Type: video/x-ms-asf"}),
                            fileBytes(media().wma)));
    Created with = create(server.url("/x"));
    ASSERT_NE(with.handle, 0u) << with.error;
    AE_CHANNELINFO info{};
    ASSERT_TRUE(AE_ChannelGetInfo(with.handle, &info));
    EXPECT_EQ(info.ctype, AE_CTYPE_STREAM_AAC);
    EXPECT_NE(info.plugin, 0u);
    ASSERT_TRUE(AE_ChannelPlay(with.handle, 0));
    EXPECT_TRUE(waitFor([&] { return AE_ChannelIsActive(with.handle) == AE_ACTIVE_PLAYING; }, 15s));
    AE_StreamFree(with.handle);

    AE_Free();
    ASSERT_TRUE(AE_Init(-1, 44100, 0, nullptr, nullptr));
    Created without = create(server.url("/x"));
    EXPECT_EQ(without.handle, 0u);
    EXPECT_EQ(without.error, AE_ERROR_CODEC);
    EXPECT_EQ(AE_PluginLoad("nosuch", 1), 0u);
    EXPECT_EQ(AE_ErrorGetCode(), AE_ERROR_PLUGIN);
    ASSERT_NE(AE_PluginLoad("aeaac", 1), 0u);  // but not aewma
    Created wmaWithout = create(wma.url("/a.wma"));
    EXPECT_EQ(wmaWithout.handle, 0u);
    EXPECT_EQ(wmaWithout.error, AE_ERROR_CODEC);
}

// A live stream (the server names itself a radio) that stalls is asked for again by itself;
// an error answer to that ends it.
TEST_F(ServerTest, StalledLiveStreamIsAskedForAgainUntilRefused) {
    std::string mp3 = fileBytes(media().mp3);
    std::atomic<int> asked{0};
    ScriptServer server([&mp3, &asked](int fd, const std::string&,
                                       const std::atomic<bool>& stopping) {
        if (++asked > 1) {
            ScriptServer::sendAll(fd, httpHead("HTTP/1.0 403 Forbidden", {"Content-Length: 0"}));
            return;
        }
        ScriptServer::sendAll(fd, mp3Head() + mp3.substr(0, 16000 * 4));  // 4 s, then nothing
        ScriptServer::pause(stopping, 60000);
    });
    Created c = create(server.url("/live"));
    ASSERT_NE(c.handle, 0u) << c.error;
    ASSERT_TRUE(AE_ChannelPlay(c.handle, 0));
    EXPECT_TRUE(waitFor([&] { return server.connections() >= 2; }, 30s));
    ASSERT_TRUE(waitFor([&] { return AE_ChannelIsActive(c.handle) == AE_ACTIVE_STOPPED; }, 30s));
    EXPECT_EQ(server.connections(), 2);
    ASSERT_TRUE(waitFor(
        [&] { return !AE_StreamFree(c.handle) && AE_ErrorGetCode() == AE_ERROR_HANDLE; }, 5s));
}

TEST_F(ServerTest, WindowsMediaStreamHasHeaderTagsAndBufferFill) {
    std::string wma = fileBytes(media().wma);
    ScriptServer server(answer(httpHead("HTTP/1.0 200 OK", {"Content-Type: video/x-ms-asf"}), wma));
    Created c = create(server.url("/a.wma"));
    ASSERT_NE(c.handle, 0u) << c.error;
    AE_CHANNELINFO info{};
    ASSERT_TRUE(AE_ChannelGetInfo(c.handle, &info));
    EXPECT_EQ(info.ctype, AE_CTYPE_STREAM_WMA);
    EXPECT_EQ(info.freq, 44100u);
    const char* tags = AE_ChannelGetTags(c.handle, AE_TAG_WMA);
    EXPECT_TRUE(hasEntry(tags, "title=WMA Title")) << testing::PrintToString(tagList(tags));
    EXPECT_TRUE(hasEntry(tags, "author=Someone")) << testing::PrintToString(tagList(tags));
    EXPECT_EQ(AE_ChannelGetTags(c.handle, AE_TAG_WMA_META), nullptr);
    // The whole file arrives: the buffer is full.
    EXPECT_TRUE(waitFor(
        [&] { return AE_StreamGetFilePosition(c.handle, AE_FILEPOS_WMA_BUFFER) >= 76; }, 10s));
    EXPECT_LE(AE_StreamGetFilePosition(c.handle, AE_FILEPOS_WMA_BUFFER), 100u);
    EXPECT_NE(
        AE_ChannelSetSync(
            c.handle, AE_SYNC_WMA_CHANGE, 0, [](AE_SYNC, AE_HANDLE, uint32_t, void*) {}, nullptr),
        0u);
    EXPECT_NE(
        AE_ChannelSetSync(
            c.handle, AE_SYNC_WMA_META, 0, [](AE_SYNC, AE_HANDLE, uint32_t, void*) {}, nullptr),
        0u);
    EXPECT_TRUE(AE_StreamFree(c.handle));
}

TEST_F(ServerTest, FreeDuringBlockedCreateAbortsIt) {
    // Over our own download and over FFmpeg's mms protocols alike.
    for (const char* scheme : {"http", "mms"}) {
        SCOPED_TRACE(scheme);
        ScriptServer silent([](int, const std::string&, const std::atomic<bool>& stopping) {
            ScriptServer::pause(stopping, 60000);
        });
        AE_SetConfig(AE_CONFIG_NET_TIMEOUT, 30000);
        std::atomic<bool> done{false};
        Created result{};
        std::thread creator([&] {
            result = create(std::string(scheme) + "://127.0.0.1:" + std::to_string(silent.port()) +
                            "/x");
            done = true;
        });
        ASSERT_TRUE(waitFor([&] { return silent.connections() > 0; }, 10s));
        EXPECT_TRUE(AE_Free());
        creator.join();  // returns once aborted: the connect time-out is 30 s
        EXPECT_EQ(result.handle, 0u);
        EXPECT_EQ(result.error, AE_ERROR_ABORTED);
        EXPECT_FALSE(AE_Free());
        EXPECT_EQ(AE_ErrorGetCode(), AE_ERROR_INIT);
        ASSERT_TRUE(AE_Init(-1, 44100, 0, nullptr, nullptr));
        AE_SetConfig(AE_CONFIG_NET_TIMEOUT, kTimeoutMs);
    }

    // A server that stops after its headers, or halfway through a playlist, while the answer
    // is read to see whether it is a playlist: the abort ends that wait too.
    for (const std::string& stalled :
         {httpHead("HTTP/1.0 200 OK", {"Content-Type: audio/mpeg"}),
          httpHead("HTTP/1.0 200 OK", {"Content-Type: audio/x-scpls"}) +
              "[playlist]\nNumberOfEntries=2\n"}) {
        SCOPED_TRACE(stalled);
        std::atomic<bool> sent{false};
        std::optional<ScriptServer> server(
            std::in_place, [&](int fd, const std::string&, const std::atomic<bool>& stopping) {
                ScriptServer::sendAll(fd, stalled);
                sent = true;
                ScriptServer::pause(stopping, 60000);
            });
        AE_SetConfig(AE_CONFIG_NET_TIMEOUT, 120000);
        std::atomic<bool> done{false};
        Created result{};
        std::thread creator([&, url = server->url("/x")] {
            result = create(url);
            done = true;
        });
        ASSERT_TRUE(waitFor([&] { return sent.load(); }, 10s));
        // Not a synchronisation: the abort must end the creation wherever it is. The pause only
        // makes it land inside the read of the answer, the wait this case is about.
        std::this_thread::sleep_for(300ms);
        EXPECT_TRUE(AE_StreamCreateAbort());
        EXPECT_TRUE(waitFor([&] { return done.load(); }, 10s));
        server.reset();  // ends the creation also where the abort was not honoured
        creator.join();
        EXPECT_EQ(result.handle, 0u);
        EXPECT_EQ(result.error, AE_ERROR_ABORTED);
        if (result.handle) AE_StreamFree(result.handle);
        AE_SetConfig(AE_CONFIG_NET_TIMEOUT, kTimeoutMs);
    }
}

}  // namespace
}  // namespace enginetest

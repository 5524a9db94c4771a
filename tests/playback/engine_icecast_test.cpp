// The player over the real engine, against a local Icecast station and a private sound server.
#include <gtest/gtest.h>

#include <QLabel>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <thread>
#include <vector>

#include "fixtures.h"
#include "playback/station.h"
#include "test_support.h"
#include "ui/effectlabel.h"
#include "ui/frmmain.h"

namespace {

std::string Base64(const std::string& in) {
    static const char* kAlphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    std::size_t i = 0;
    for (; i + 2 < in.size(); i += 3) {
        const uint32_t n = uint8_t(in[i]) << 16 | uint8_t(in[i + 1]) << 8 | uint8_t(in[i + 2]);
        for (int shift : {18, 12, 6, 0}) out += kAlphabet[(n >> shift) & 63];
    }
    if (i + 1 == in.size()) {
        const uint32_t n = uint8_t(in[i]) << 16;
        out += std::string{kAlphabet[n >> 18], kAlphabet[(n >> 12) & 63], '=', '='};
    } else if (i + 2 == in.size()) {
        const uint32_t n = uint8_t(in[i]) << 16 | uint8_t(in[i + 1]) << 8;
        out += std::string{kAlphabet[n >> 18], kAlphabet[(n >> 12) & 63], kAlphabet[(n >> 6) & 63],
                           '='};
    }
    return out;
}

// An MP3 source that announces its bitrate (ice-bitrate), which Icecast passes on to listeners
// as icy-br. ffmpeg encodes a tone in real time into a file; a thread sends what it has written
// to the mount.
class BitrateSource {
  public:
    bool start(const fx::Icecast& ice, const std::string& mount, const std::string& name) {
        const std::string mp3 = dir_.file("source.mp3");
        fx::ChildProcess::Options options;
        options.stdoutPath = mp3;
        if (!ffmpeg_.start({"ffmpeg", "-hide_banner", "-loglevel", "error", "-nostdin", "-re", "-f",
                            "lavfi", "-i", "sine=frequency=440:sample_rate=44100", "-ac", "2",
                            "-c:a", "libmp3lame", "-b:a", "128k", "-f", "mp3", "-"},
                           options))
            return false;
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(uint16_t(ice.port()));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            return false;
        const std::string request = "PUT /" + mount +
                                    " HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Basic " +
                                    Base64("source:" + ice.sourcePassword()) +
                                    "\r\nContent-Type: audio/mpeg\r\nIce-Name: " + name +
                                    "\r\nIce-Public: 0\r\nIce-Bitrate: 128\r\n\r\n";
        if (!sendAll(request)) return false;
        feeder_ = std::thread([this, mp3] { feed(mp3); });
        return fx::waitUntil([&] { return ice.mountLive(mount); });
    }
    ~BitrateSource() {
        stop_ = true;
        if (feeder_.joinable()) feeder_.join();
        if (fd_ >= 0) ::close(fd_);
        ffmpeg_.stop();
    }

  private:
    bool sendAll(const std::string& bytes) {
        std::size_t sent = 0;
        while (sent < bytes.size()) {
            const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) return false;
            sent += std::size_t(n);
        }
        return true;
    }
    void feed(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        char block[4096];
        while (!stop_) {
            in.read(block, sizeof block);
            const auto count = in.gcount();
            if (count > 0) {
                if (!sendAll(std::string(block, std::size_t(count)))) return;
                continue;
            }
            in.clear();  // at the end of what ffmpeg has written so far
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }

    fx::TempDir dir_;
    fx::ChildProcess ffmpeg_;
    int fd_ = -1;
    std::atomic<bool> stop_{false};
    std::thread feeder_;
};

// Accepts connections on 127.0.0.1 and never answers; notes how many were open at once.
class SilentServer {
  public:
    SilentServer() {
        listen_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(listen_, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
            ::listen(listen_, 16) == 0 &&
            ::getsockname(listen_, reinterpret_cast<sockaddr*>(&address), &length) == 0)
            port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { acceptLoop(); });
    }
    ~SilentServer() {
        stop_ = true;
        thread_.join();
        for (int fd : clients_) ::close(fd);
        ::close(listen_);
    }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/silent"; }
    int accepted() const { return accepted_; }
    int mostOpenAtOnce() const { return mostOpen_; }

  private:
    // Whether the client has closed the connection; what it sent is read and dropped.
    static bool closedByClient(int fd) {
        char buffer[4096];
        for (;;) {
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n == 0) return true;
            if (n < 0) return errno != EAGAIN && errno != EWOULDBLOCK;
        }
    }
    void acceptLoop() {
        while (!stop_) {
            pollfd p{listen_, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0) continue;
            const int fd = ::accept(listen_, nullptr, nullptr);
            if (fd < 0) continue;
            // A client closes its socket before it opens the next: that end has arrived here.
            int open = 1;
            for (int old : clients_) open += closedByClient(old) ? 0 : 1;
            mostOpen_ = std::max(mostOpen_.load(), open);
            clients_.push_back(fd);
            ++accepted_;
        }
    }

    int listen_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> accepted_{0}, mostOpen_{0};
    std::vector<int> clients_;  // accept thread only
    std::thread thread_;
};

// The engine as the window brings it up at start.
bool StartEngine() {
    if ((AE_GetVersion() >> 16) != AE_API_VERSION) return false;
    if (!AE_Init(-1, 44100, 0, nullptr, nullptr)) return false;
    AE_PluginLoad("aewma", 1);
    AE_PluginLoad("aeaac", 1);
    AE_SetConfig(AE_CONFIG_NET_PLAYLIST, 1);
    AE_SetConfig(AE_CONFIG_BUFFER, 500);
    AE_SetConfig(AE_CONFIG_NET_BUFFER, 2000);
    AE_SetConfig(AE_CONFIG_NET_PREBUF, 100);
    AE_SetConfig(AE_CONFIG_NET_TIMEOUT, 20000);
    AE_SetConfig(AE_CONFIG_UPDATETHREADS, 4);
    AE_SetConfigPtr(AE_CONFIG_NET_AGENT, "VELMORA");
    return true;
}

std::string Tags(uint32_t kind) {
    std::string text;
    const char* list = AE_ChannelGetTags(StreamHandle.load(), kind);
    for (; list && *list; list += std::strlen(list) + 1) text += std::string(list) + " | ";
    return text;
}

TEST(PlaybackWithEngine, PlsOfIcecastMountShowsStationSongAndFormat) {
    fx::PulseServer pulse;
    ASSERT_TRUE(pulse.start()) << pulse.error();
    fx::Icecast ice;
    ASSERT_TRUE(ice.start()) << ice.error();
    BitrateSource source;
    ASSERT_TRUE(source.start(ice, "live.mp3", "Yerel Radyo"));
    ASSERT_TRUE(ice.setTitle("live.mp3", "Sanatci - Sarki"));
    fx::TempDir dir;
    fx::writePls(dir.file("station.pls"), ice.url("live.mp3"));

    StationTitle.clear();
    HomeAddress.clear();
    ASSERT_TRUE(StartEngine()) << AE_ErrorGetCode();
    {
        TfrmMain form;
        form.OpenLocation(dir.file("station.pls"));
        const bool shown = test::PumpUntil(
            [&] {
                return test::Text(form.Label4) == "Yerel Radyo" &&
                       test::Text(form.Label3) == "Sanatci - Sarki" &&
                       test::Text(form.lKbps) == "128 kbps mp3" &&
                       test::Text(form.lHz) == "44100 Hz Stereo ";
            },
            std::chrono::milliseconds(60000));
        EXPECT_TRUE(shown) << "Label4 " << test::Text(form.Label4) << ", Label3 "
                           << test::Text(form.Label3) << ", lKbps " << test::Text(form.lKbps)
                           << ", lHz " << test::Text(form.lHz) << "; headers " << Tags(3) << Tags(4)
                           << "; meta " << Tags(5);
        EXPECT_TRUE(test::PumpUntil(
            [] { return AE_ChannelIsActive(StreamHandle.load()) == AE_ACTIVE_PLAYING; }));

        // A new title on the server reaches the song line through the metadata callbacks.
        ASSERT_TRUE(ice.setTitle("live.mp3", "Yeni - Parca"));
        EXPECT_TRUE(test::PumpUntil([&] { return test::Text(form.Label3) == "Yeni - Parca"; },
                                    std::chrono::milliseconds(60000)))
            << test::Text(form.Label3);
        form.FormDestroy();
    }
    EXPECT_TRUE(test::WaitForWorkers());
}

// Each watchdog tick while a connection is still being made starts a new worker: the older
// worker's connection ends before the newer one's begins, and the older worker ends.
TEST(PlaybackWithEngine, WatchdogRestartsAbortTheConnectionStillBeingMade) {
    fx::PulseServer pulse;
    ASSERT_TRUE(pulse.start()) << pulse.error();
    SilentServer silent;
    fx::TempDir dir;
    fx::writePls(dir.file("silent.pls"), silent.url());
    ASSERT_TRUE(StartEngine()) << AE_ErrorGetCode();
    {
        TfrmMain form;
        form.OpenLocation(dir.file("silent.pls"));
        for (int tick = 1; tick <= 3; ++tick) {
            ASSERT_TRUE(test::PumpUntil([&] { return silent.accepted() == tick; }));
            if (tick < 3) form.TimerKontrolTimer();
        }
        EXPECT_EQ(silent.mostOpenAtOnce(), 1);
        EXPECT_TRUE(test::PumpUntil([] { return ConnectWorkersRunning() == 1; }));
        form.FormDestroy();
    }
    EXPECT_TRUE(test::WaitForWorkers());
}

}  // namespace

// The whole program, for real: players and couriers started as processes on a virtual X
// display with a window manager, playing from a local Icecast into a PulseAudio null sink whose
// monitor is recorded and analysed.
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "fixtures.h"

using namespace std::chrono_literals;
using fx::Millis;

namespace {

#ifndef VELMORA_E2E_TIME_SCALE
#define VELMORA_E2E_TIME_SCALE 1
#endif
constexpr int kTimeScale = VELMORA_E2E_TIME_SCALE;

constexpr double kFreqA = 440, kFreqB = 660;
constexpr Millis kPlayTimeout{40000};  // start, connect, buffer and sound
constexpr Millis kCourierExitLimit{1000 * kTimeScale};
constexpr Millis kPlayerExitLimit{1000 * kTimeScale};
constexpr Millis kWatchdogPeriod{25000};
constexpr size_t kAnalysisFrames = fx::Recorder::kRate / 2;  // the last half second
constexpr int kAudibleRms = 300;
// Client coordinates of the close button's middle.
constexpr int kCloseX = 440 + 10, kCloseY = 11 + 10;

// Runs a small X tool against the test's display; its stdout, empty when it failed.
std::string xtool(const std::vector<std::string>& argv) {
    fx::ChildProcess p;
    if (!p.start(argv) || p.wait(Millis(10000)) != 0) return "";
    return p.stdoutText();
}

std::vector<std::string> playerWindows() {
    std::istringstream in(xtool({"xdotool", "search", "--onlyvisible", "--class", "^Velmora$"}));
    std::vector<std::string> ids;
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) ids.push_back(line);
    return ids;
}

bool exists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

// A server that accepts connections and never says a word: a connection to it stays "being
// made" for as long as the client is willing to wait.
class SilentServer {
  public:
    SilentServer() {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof(a);
        if (bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0 && listen(fd_, 8) == 0 &&
            getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) == 0)
            port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] {
            while (!stop_) {
                pollfd p{fd_, POLLIN, 0};
                if (poll(&p, 1, 50) > 0) {
                    int c = accept(fd_, nullptr, nullptr);
                    if (c >= 0) {
                        clients_.push_back(c);
                        ++accepted_;
                    }
                }
            }
        });
    }
    ~SilentServer() {
        stop_ = true;
        thread_.join();
        for (int c : clients_) close(c);
        close(fd_);
    }
    int port() const { return port_; }
    int accepted() const { return accepted_; }

  private:
    int fd_ = -1, port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> accepted_{0};
    std::vector<int> clients_;
    std::thread thread_;
};

class EndToEnd : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(pulse.start()) << pulse.error();
        // The window manager now and then fails to come up on a loaded machine: one more try.
        if (!x.start(1280, 1024, /*withOpenbox=*/true)) {
            ASSERT_TRUE(x.start(1280, 1024, /*withOpenbox=*/true)) << x.error();
        }
        ASSERT_TRUE(bus.start()) << bus.error();
        ASSERT_TRUE(ice.start()) << ice.error();
        ASSERT_TRUE(ice.startSource("a.mp3", fx::Codec::Mp3, kFreqA, "Station A")) << ice.error();
        ASSERT_TRUE(ice.startSource("b.mp3", fx::Codec::Mp3, kFreqB, "Station B")) << ice.error();
        ASSERT_TRUE(rec.start(pulse));
        fx::writePls(work.file("a.pls"), ice.url("a.mp3"), "Station A");
        fx::writePls(work.file("b.pls"), ice.url("b.mp3"), "Station B");
        mkdir(runtime.c_str(), 0700);
        // The player reads its station record beside the program, so each test runs a copy
        // of its own with a record naming Station B: a start without a playlist stays local.
        std::filesystem::copy_file(VELMORA_PLAYER, player);
        writeStationRecord(work.file("velmora.dta"), "Station B", ice.url("b.mp3"));
    }

    void TearDown() override {
        for (auto& p : players) {
            if (p->running()) p->stop(Millis(2000));
            const std::string err = p->stderrText();
            for (const char* report :
                 {"ThreadSanitizer", "AddressSanitizer", "LeakSanitizer", "runtime error:"})
                EXPECT_EQ(err.find(report), std::string::npos) << err;
        }
    }

    static void writeStationRecord(const std::string& path, const std::string& title,
                                   const std::string& stream) {
        std::string rec(153, '\0');
        rec[0] = static_cast<char>(title.size());
        rec.replace(1, title.size(), title);
        rec[92] = static_cast<char>(stream.size());
        rec.replace(93, stream.size(), stream);
        fx::writeFile(path, rec);
    }

    fx::ChildProcess& start(const std::vector<std::string>& args, const std::string& cwd = "") {
        fx::ChildProcess::Options opt;
        opt.env = pulse.env();
        opt.env["DISPLAY"] = x.display();
        opt.env["DBUS_SESSION_BUS_ADDRESS"] = bus.address();
        opt.env["XDG_RUNTIME_DIR"] = runtime;
        opt.env["HOME"] = work.path();
        opt.env["VELMORA_DEBUG"] = "1";
        opt.env["TSAN_OPTIONS"] = "suppressions=" VELMORA_E2E_TSAN_SUPPRESSIONS;
        opt.unsetEnv = {"WAYLAND_DISPLAY", "QT_QPA_PLATFORM"};
        opt.cwd = cwd.empty() ? work.path() : cwd;
        std::vector<std::string> argv{player};
        argv.insert(argv.end(), args.begin(), args.end());
        players.push_back(std::make_unique<fx::ChildProcess>());
        EXPECT_TRUE(players.back()->start(argv, opt));
        return *players.back();
    }

    // Frequency of the last half second heard, 0 while it is too quiet to tell.
    double heardFrequency() const {
        auto s = rec.samplesSoFar();
        size_t frames = s.size() / 2;
        if (frames < kAnalysisFrames) return 0;
        auto a = fx::analyze(s, frames - kAnalysisFrames, frames);
        return a.rms >= kAudibleRms ? a.frequencyHz : 0;
    }
    bool hears(double hz, Millis timeout) const {
        return fx::waitUntil([&] { return std::fabs(heardFrequency() - hz) < hz * 0.03; }, timeout,
                             Millis(200));
    }

    static bool waitForWindows(size_t n) {
        return fx::waitUntil([&] { return playerWindows().size() == n; }, fx::kStartTimeout,
                             Millis(200));
    }

    // Exit status once the process has ended within `limit` of now; the time it took.
    static std::optional<int> exitWithin(fx::ChildProcess& p, Millis limit, Millis* took) {
        auto t0 = std::chrono::steady_clock::now();
        auto rc = p.wait(limit + Millis(10000));
        *took = std::chrono::duration_cast<Millis>(std::chrono::steady_clock::now() - t0);
        return rc;
    }

    fx::TempDir work{"velmora-e2e"};
    const std::string runtime = work.file("run");
    const std::string player = work.file("velmora");
    fx::PulseServer pulse;
    fx::Xvfb x;
    fx::DbusSession bus;
    fx::Icecast ice;
    fx::Recorder rec;
    std::vector<std::unique_ptr<fx::ChildProcess>> players;
};

TEST_F(EndToEnd, ASecondStartWithAPlaylistHandsItToTheRunningPlayer) {
    auto& first = start({"a.pls"});
    ASSERT_TRUE(hears(kFreqA, kPlayTimeout)) << "heard " << heardFrequency() << " Hz\n"
                                             << first.stderrText();
    ASSERT_TRUE(waitForWindows(1));
    const auto socketFile = runtime + "/Velmora";
    EXPECT_TRUE(exists(socketFile));

    // Relative to the player's folder, from elsewhere, where no b.pls is: the courier says so
    // and hands nothing over.
    fx::TempDir elsewhere;
    auto& lost = start({"b.pls"}, elsewhere.path());
    EXPECT_EQ(lost.wait(Millis(10000)), 1);
    EXPECT_NE(lost.stderrText().find("b.pls: no such file"), std::string::npos)
        << lost.stderrText();

    // Relative to the courier's folder, where the player has no such file: it is the courier's.
    fx::TempDir music;
    fx::writePls(music.file("s.pls"), ice.url("b.mp3"), "Station B");
    auto t0 = std::chrono::steady_clock::now();
    auto& courier = start({"s.pls"}, music.path());
    size_t mostWindows = 0;
    while (courier.running() && std::chrono::steady_clock::now() - t0 < kCourierExitLimit * 5)
        mostWindows = std::max(mostWindows, playerWindows().size());
    auto rc = courier.wait(Millis(10000));
    auto took = std::chrono::duration_cast<Millis>(std::chrono::steady_clock::now() - t0);
    EXPECT_EQ(rc, 0) << courier.stderrText();
    std::cout << "courier ended " << took.count() << " ms after it started\n";
    EXPECT_LE(mostWindows, 1u);
    EXPECT_EQ(playerWindows().size(), 1u);
    EXPECT_TRUE(hears(kFreqB, kPlayTimeout)) << "heard " << heardFrequency() << " Hz";

    // The same playlist again restarts the connection and still plays it.
    auto& again = start({work.file("b.pls")});
    EXPECT_EQ(again.wait(Millis(10000)), 0);
    EXPECT_TRUE(hears(kFreqB, kPlayTimeout));

    // The close button ends the player: exit 0 at once, its socket gone.
    auto windows = playerWindows();
    ASSERT_EQ(windows.size(), 1u);
    xtool({"xdotool", "mousemove", "--window", windows[0], std::to_string(kCloseX),
           std::to_string(kCloseY)});
    xtool({"xdotool", "click", "1"});
    Millis closeTook{};
    EXPECT_EQ(exitWithin(first, kPlayerExitLimit, &closeTook), 0) << first.stderrText();
    std::cout << "player ended " << closeTook.count() << " ms after the click\n";
    EXPECT_FALSE(exists(socketFile));
    EXPECT_TRUE(waitForWindows(0));
}

// Every file name of every type the menu entry claims (as the shared MIME database has them)
// is handed to the running player as a file manager would, and plays. HLS playlists point to
// a local HLS station, the others to the two Icecast mounts, so each switch is heard.
TEST_F(EndToEnd, EveryClaimedPlaylistTypePlays) {
    constexpr double kFreqHls = 550;
    fx::TempDir www{"velmora-hls"};
    fx::ChildProcess encoder, web;
    ASSERT_TRUE(encoder.start(fx::hlsToneArgs(kFreqHls, 120, www.file("vod.m3u8"))));
    ASSERT_EQ(encoder.wait(Millis(120000)), 0) << encoder.stderrText();
    const int port = fx::freePort();
    ASSERT_TRUE(web.start({"python3", "-m", "http.server", "--bind", "127.0.0.1",
                           std::to_string(port), "--directory", www.path()}));
    ASSERT_TRUE(fx::waitUntil([&] { return fx::httpGet(port, "/vod.m3u8").status == 200; }));
    const std::string hlsUrl = "http://127.0.0.1:" + std::to_string(port) + "/vod.m3u8";

    const std::string entry = fx::readFile(VELMORA_DESKTOP_ENTRY);
    const auto mimeAt = entry.find("\nMimeType=") + 10;
    std::istringstream claimed(entry.substr(mimeAt, entry.find('\n', mimeAt) - mimeAt));
    std::istringstream globs(fx::readFile("/usr/share/mime/globs2"));
    struct Kind {
        std::string type, extension;
    };
    std::vector<Kind> plain, hls;
    std::vector<std::string> types;
    for (std::string type; std::getline(claimed, type, ';');) types.push_back(type);
    ASSERT_FALSE(types.empty());
    for (std::string line; std::getline(globs, line);) {
        // weight:type:*.extension
        const auto typeAt = line.find(':') + 1, globAt = line.find(":*.", typeAt);
        if (line.starts_with("#") || globAt == std::string::npos) continue;
        const Kind kind{line.substr(typeAt, globAt - typeAt), line.substr(globAt + 2)};
        if (std::find(types.begin(), types.end(), kind.type) == types.end()) continue;
        (kind.type == "application/vnd.apple.mpegurl" ? hls : plain).push_back(kind);
    }
    // No two in a row play the same sound, and the first differs from Station A.
    std::vector<std::pair<Kind, double>> order;
    for (size_t i = 0; i < std::max(plain.size(), hls.size()); ++i) {
        if (i < plain.size()) order.push_back({plain[i], i % 2 ? kFreqA : kFreqB});
        if (i < hls.size()) order.push_back({hls[i], kFreqHls});
    }

    auto& player = start({"a.pls"});
    ASSERT_TRUE(hears(kFreqA, kPlayTimeout)) << player.stderrText();
    for (size_t i = 0; i < order.size(); ++i) {
        const auto& [kind, freq] = order[i];
        SCOPED_TRACE(kind.type + " " + kind.extension);
        const std::string url = freq == kFreqA ? ice.url("a.mp3") : ice.url("b.mp3");
        const std::string file = work.file("list" + std::to_string(i) + kind.extension);
        if (kind.type == "audio/x-scpls") {
            fx::writePls(file, url, "Station");
        } else if (kind.type == "audio/x-mpegurl") {
            fx::writeFile(file, "\xEF\xBB\xBF#EXTM3U\n#EXTINF:-1,\xC4\xB0stasyon\n" + url + "\n");
        } else if (kind.type == "application/vnd.apple.mpegurl") {
            fx::writeFile(
                file, "#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=64000,CODECS=\"mp4a.40.2\"\n" + hlsUrl +
                          "\n");
        } else if (kind.type == "audio/x-ms-asx") {
            fx::writeFile(file, "<asx version=\"3.0\"><entry><title>Station</title>\n<ref href=\"" +
                                    url + "\"/>\n</entry></asx>\n");
        } else {
            ADD_FAILURE() << "a claimed type without a sample file here";
            continue;
        }
        auto& courier = start({file});
        EXPECT_EQ(courier.wait(Millis(15000)), 0) << courier.stderrText();
        EXPECT_TRUE(hears(freq, kPlayTimeout)) << "heard " << heardFrequency() << " Hz\n"
                                               << player.stderrText();
    }
    EXPECT_GE(order.size(), 6u);  // .pls, .m3u, .m3u8, .asx, .wax at the least
}

TEST_F(EndToEnd, ASecondStartWithoutAnArgumentIsAPlayerOfItsOwn) {
    auto& first = start({"a.pls"});
    ASSERT_TRUE(waitForWindows(1));
    ASSERT_TRUE(hears(kFreqA, kPlayTimeout)) << first.stderrText();
    auto& second = start({});
    ASSERT_TRUE(waitForWindows(2)) << second.stderrText();
    // It plays its stored station (Station B) beside the first.
    EXPECT_TRUE(fx::waitUntil([&] {
        return second.stderrText().find(ice.url("b.mp3")) != std::string::npos;
    })) << second.stderrText();

    // The first one closes; the second keeps running and now takes hand-offs.
    auto windows = playerWindows();
    std::string firstWindow;
    for (const auto& w : windows)
        if (xtool({"xdotool", "getwindowpid", w}) == std::to_string(first.pid()) + "\n")
            firstWindow = w;
    ASSERT_FALSE(firstWindow.empty());
    xtool({"wmctrl", "-i", "-c", firstWindow});
    Millis took{};
    EXPECT_EQ(exitWithin(first, kPlayerExitLimit, &took), 0);
    EXPECT_TRUE(second.running());
    ASSERT_TRUE(fx::waitUntil([&] { return exists(runtime + "/Velmora"); }));
    auto& courier = start({"a.pls"});
    EXPECT_EQ(courier.wait(Millis(15000)), 0);
    EXPECT_TRUE(waitForWindows(1));
    EXPECT_TRUE(fx::waitUntil([&] {
        return second.stderrText().find(ice.url("a.mp3")) != std::string::npos;
    })) << second.stderrText();
    EXPECT_TRUE(hears(kFreqA, kPlayTimeout));
}

// Options are answered by the process itself: at once, with no window, and never handed to a
// running player as a location.
TEST_F(EndToEnd, OptionsAreAnsweredWithoutAWindowOrAHandOff) {
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string out;  // stdout starts with this
        std::string err;  // stderr starts with this
    } cases[] = {
        {{"--help"}, 0, "Usage: velmora [OPTION] [LOCATION]\n", ""},
        {{"-h"}, 0, "Usage: velmora", ""},
        {{"b.pls", "--version"}, 0, "velmora " VELMORA_VERSION "\n", ""},
        {{"-v"}, 0, "velmora " VELMORA_VERSION "\n", ""},
        {{"--bogus"}, 2, "", "velmora: unknown option --bogus\nUsage: velmora"},
        {{"b.pls", "-x"}, 2, "", "velmora: unknown option -x\nUsage: velmora"},
    };
    auto check = [&](const Case& c) {
        SCOPED_TRACE(c.args[0] + " " + (c.args.size() > 1 ? c.args[1] : ""));
        auto& p = start(c.args);
        ASSERT_EQ(p.wait(Millis(15000)), c.status) << p.stderrText();
        EXPECT_EQ(p.stdoutText().substr(0, c.out.size()), c.out);
        EXPECT_EQ(p.stderrText().substr(0, c.err.size()), c.err);
        if (c.out.empty()) {
            EXPECT_EQ(p.stdoutText(), "");
        }
        if (c.err.empty()) {
            EXPECT_EQ(p.stderrText(), "");
        }
    };
    for (const Case& c : cases) check(c);
    EXPECT_EQ(playerWindows().size(), 0u);

    // With a player running, nothing reaches it: it goes on playing its station.
    auto& first = start({"a.pls"});
    ASSERT_TRUE(hears(kFreqA, kPlayTimeout)) << first.stderrText();
    for (const Case& c : cases) check(c);
    auto& courier = start({"b.pls"});
    EXPECT_EQ(courier.wait(Millis(15000)), 0) << courier.stderrText();
    EXPECT_TRUE(hears(kFreqB, kPlayTimeout)) << first.stderrText();
    EXPECT_EQ(playerWindows().size(), 1u);
    for (const char* option : {"--help", "--version", "--bogus"})
        EXPECT_EQ(first.stderrText().find(option), std::string::npos) << first.stderrText();
}

TEST_F(EndToEnd, TheWatchdogBringsTheStationBackAfterItsSourceStops) {
    auto& p = start({"a.pls"});
    ASSERT_TRUE(hears(kFreqA, kPlayTimeout)) << p.stderrText();
    ice.stopSource("a.mp3");
    EXPECT_TRUE(
        fx::waitUntil([&] { return p.stderrText().find("Servis Yok") != std::string::npos; },
                      kWatchdogPeriod + Millis(15000), Millis(200)))
        << p.stderrText();
    EXPECT_NE(heardFrequency(), kFreqA);
    ASSERT_TRUE(ice.startSource("a.mp3", fx::Codec::Mp3, kFreqA, "Station A"));
    auto back = std::chrono::steady_clock::now();
    EXPECT_TRUE(hears(kFreqA, kWatchdogPeriod + kPlayTimeout)) << p.stderrText();
    auto took = std::chrono::duration_cast<Millis>(std::chrono::steady_clock::now() - back);
    std::cout << "sound back " << took.count() << " ms after the source\n";
    EXPECT_TRUE(p.running());
}

TEST_F(EndToEnd, ClosingWhileAConnectionHangsExitsAtOnceAndLeavesNothing) {
    SilentServer silent;
    ASSERT_GT(silent.port(), 0);
    fx::writePls(work.file("hang.pls"),
                 "http://127.0.0.1:" + std::to_string(silent.port()) + "/live", "Hanging");
    auto& p = start({"hang.pls"});
    ASSERT_TRUE(waitForWindows(1)) << p.stderrText();
    ASSERT_TRUE(fx::waitUntil([&] { return silent.accepted() > 0; }));
    auto windows = playerWindows();
    ASSERT_EQ(windows.size(), 1u);
    xtool({"wmctrl", "-i", "-c", windows[0]});
    Millis took{};
    EXPECT_EQ(exitWithin(p, kPlayerExitLimit, &took), 0) << p.stderrText();
    std::cout << "player ended " << took.count() << " ms after closing while connecting\n";
    EXPECT_FALSE(exists(runtime + "/Velmora"));
    // Nothing of it is left running (its pid is reaped, so /proc has no entry of it).
    EXPECT_FALSE(exists("/proc/" + std::to_string(p.pid()) + "/status"));
}

// A handed-over playlist that is a FIFO would block the window thread in open() until someone
// writes to it: the player must not open it, and must go on taking hand-offs.
TEST_F(EndToEnd, AFifoHandedOverNeitherBlocksThePlayerNorLosesTheNextLocation) {
    auto& first = start({"a.pls"});
    ASSERT_TRUE(hears(kFreqA, kPlayTimeout)) << first.stderrText();
    const std::string fifo = work.file("fifo.pls");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    auto& fifoCourier = start({fifo});
    fx::waitUntil([&] { return !fifoCourier.running(); }, Millis(2000));
    auto& next = start({"b.pls"});
    EXPECT_EQ(next.wait(Millis(90000)), 0) << next.stderrText() << first.stderrText();
    EXPECT_TRUE(hears(kFreqB, kPlayTimeout)) << first.stderrText();
    // Nobody holds the FIFO open for reading.
    const int writer = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
    EXPECT_LT(writer, 0) << "the player opened the FIFO";
    if (writer >= 0) close(writer);
}

}  // namespace

// recovery-run --velmora PATH [--rounds N] [--window S] [--only TEXT] [--no-mpv]
//
// Seconds from an event to sound, in the whole player (its window on a virtual display with
// openbox, a private PulseAudio null sink, a local Icecast station), with mpv beside it:
//   sound-server restart  the sound server is killed (SIGKILL) while the station plays and
//                         started again 2 s later; from the moment its socket answers
//   source outage         the station's source leaves for 10 s and returns; from the moment
//                         the mount is live again
//   dead mirrors          a station's remote .pls whose first two entries accept the
//                         connection and never answer, the third a good mount; from the
//                         player's start
//   stall then switch     the player connects to a server that stalls after its headers, and
//                         is handed the good station (a second launch; mpv: loadfile over its
//                         IPC socket); from the hand-over
// Sound is the first sample above kAudibleThreshold in the sink's monitor after the event.
// parec's first sample is not the moment it started, so every recording is pinned to the
// clock: a short loud burst is played into the sink and drained, and the end of the burst in
// the recording is the moment the drain returned. Each case runs `rounds` times per player
// (median); "never" when no sound came within the window, "exited" when the player had ended.
#include <netinet/in.h>
#include <pulse/error.h>
#include <pulse/simple.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "fixtures.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kRate = fx::Recorder::kRate;
constexpr double kToneAmplitude = 0.25;  // the station's tone peaks near 8200
constexpr int kAudibleThreshold = 1000;
// The clock burst: a square wave well above anything the station's tone reaches.
constexpr int16_t kBurstLevel = 30000;
constexpr int kBurstThreshold = 20000;
constexpr double kBurstSeconds = 0.05;
constexpr int kBurstHalfPeriodFrames = 22;         // about 1 kHz
constexpr size_t kBurstMarginFrames = kRate / 50;  // the sink's blocks blur the burst's edges
constexpr auto kServerDownFor = 2s;
constexpr auto kSourceAwayFor = 10s;
constexpr auto kStallBeforeSwitch = 3s;
constexpr double kDefaultWindowSeconds = 30;
constexpr double kGoalRestart = 2.0, kGoalOutage = 1.5, kGoalMirrors = 8.0;

double seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

// A recording of the sink's monitor whose frames are tied to the steady clock.
class Timeline {
  public:
    bool start(const fx::PulseServer& pulse) { return record(pulse) && pin(pulse); }

    // The two halves of start(): recording can begin as soon as the server answers; the
    // frames recorded before the pin are placed by it as long as the sink ran on meanwhile.
    bool record(const fx::PulseServer& pulse) {
        return rec_.start(pulse) && rec_.waitForFrames(kRate / 5);
    }
    // Plays the burst, drains it (it has then been heard) and finds its end in the recording.
    bool pin(const fx::PulseServer& pulse);

    // Waits until the recording covers `window` after `event` or holds sound after it;
    // the seconds from the event to the first sound, nullopt when none came. `bounded`
    // turns true when the recording only starts after the event and is audible from its
    // first frame: the sound may have come earlier than measured.
    std::optional<double> soundAfter(Clock::time_point event, double window, bool& bounded) {
        const double eventFrame = frameAt(event);
        const auto from = static_cast<size_t>(std::max(0.0, eventFrame));
        const auto deadline = event + std::chrono::duration_cast<Clock::duration>(
                                          std::chrono::duration<double>(window));
        std::optional<size_t> heard;
        for (;;) {
            const auto samples = rec_.samplesSoFar();
            heard = fx::firstAudibleFrame(samples, kAudibleThreshold, from);
            // The burst is not the player's sound: look past it.
            if (heard && *heard + kBurstMarginFrames >= burstStart_ && *heard < pinFrame_)
                heard = fx::firstAudibleFrame(samples, kAudibleThreshold,
                                              pinFrame_ + kBurstMarginFrames);
            if (heard || Clock::now() >= deadline) break;
            std::this_thread::sleep_for(50ms);
        }
        if (!heard) return std::nullopt;
        bounded = *heard == from && eventFrame < static_cast<double>(from);
        return (static_cast<double>(*heard) - eventFrame) / kRate;
    }

    void stop() { rec_.stop(); }

  private:
    double frameAt(Clock::time_point t) const {
        return static_cast<double>(pinFrame_) + seconds(t - pinTime_) * kRate;
    }

    fx::Recorder rec_;
    Clock::time_point pinTime_;
    size_t burstStart_ = 0;
    size_t pinFrame_ = 0;  // just past the burst
};

bool Timeline::pin(const fx::PulseServer& pulse) {
    const pa_sample_spec format{PA_SAMPLE_S16LE, kRate, 2};
    const pa_buffer_attr attr{
        static_cast<uint32_t>(-1), static_cast<uint32_t>(pa_usec_to_bytes(20000, &format)),
        static_cast<uint32_t>(-1), static_cast<uint32_t>(-1), static_cast<uint32_t>(-1)};
    int error = 0;
    pa_simple* out =
        pa_simple_new(pulse.serverAddress().c_str(), "recovery-bench", PA_STREAM_PLAYBACK,
                      fx::PulseServer::kSink, "clock burst", &format, nullptr, &attr, &error);
    if (!out) {
        std::fprintf(stderr, "clock burst: %s\n", pa_strerror(error));
        return false;
    }
    std::vector<int16_t> burst(static_cast<size_t>(kBurstSeconds * kRate) * 2);
    for (size_t f = 0; f < burst.size() / 2; ++f)
        burst[2 * f] = burst[2 * f + 1] =
            (f / kBurstHalfPeriodFrames) % 2 ? -kBurstLevel : kBurstLevel;
    const bool ok = pa_simple_write(out, burst.data(), burst.size() * 2, &error) == 0 &&
                    pa_simple_drain(out, &error) == 0;
    pinTime_ = Clock::now();
    pa_simple_free(out);
    if (!ok) {
        std::fprintf(stderr, "clock burst: %s\n", pa_strerror(error));
        return false;
    }
    const size_t recorded = rec_.framesSoFar();
    if (!rec_.waitForFrames(recorded + kRate / 2)) return false;
    const auto samples = rec_.samplesSoFar();
    auto first = fx::firstAudibleFrame(samples, kBurstThreshold);
    if (!first) {
        std::fprintf(stderr, "clock burst not found in the recording\n");
        return false;
    }
    burstStart_ = *first;
    size_t last = *first;
    for (size_t f = *first; f < samples.size() / 2 && f < last + kRate / 50; ++f)
        if (std::abs(int(samples[2 * f])) > kBurstThreshold) last = f;
    pinFrame_ = last + 1;
    return true;
}

// Listening sockets on 127.0.0.1 that complete the handshake (the kernel does) and never
// answer; or, with `headers`, answer every request with them and then send nothing.
class SilentServer {
  public:
    explicit SilentServer(std::string headers = "") : headers_(std::move(headers)) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
            ::listen(fd_, 64) == 0 &&
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
            port_ = ntohs(addr.sin_port);
        if (!headers_.empty()) thread_ = std::thread([this] { serve(); });
    }
    ~SilentServer() {
        stopping_ = true;
        ::shutdown(fd_, SHUT_RDWR);
        if (thread_.joinable()) thread_.join();
        for (int c : clients_) ::close(c);
        ::close(fd_);
    }
    std::string url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(port_) + path;
    }

  private:
    void serve() {
        while (!stopping_) {
            const int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0) return;
            char buf[4096];
            std::string request;
            ssize_t n;
            while (request.find("\r\n\r\n") == std::string::npos &&
                   (n = ::recv(c, buf, sizeof buf, 0)) > 0)
                request.append(buf, static_cast<size_t>(n));
            if (::send(c, headers_.data(), headers_.size(), MSG_NOSIGNAL) < 0) {
                // The player went away already; the socket is closed below.
            }
            clients_.push_back(c);  // held open, silent, until the server ends
        }
    }

    std::string headers_;
    int fd_ = -1;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
    std::vector<int> clients_;  // owned by thread_ until it has been joined
};

enum class Kind { Velmora, Mpv };

struct Outcome {
    std::optional<double> seconds;
    bool bounded = false;
    bool exited = false;
    bool failed = false;  // the case could not be set up (the station never played first)
};

struct Bench {
    std::string velmora;
    double window = kDefaultWindowSeconds;
    fx::PulseServer pulse;
    fx::Xvfb x;
    fx::DbusSession bus;
    fx::Icecast ice;
    fx::TempDir work{"velmora-recovery"};
};

// One player process with a private home (settings, single-instance socket).
class PlayerRun {
  public:
    PlayerRun(Bench& bench, Kind kind) : bench_(bench), kind_(kind) {
        ::mkdir(home_.file("run").c_str(), 0700);
    }
    ~PlayerRun() { process_.stop(); }

    bool start(const std::string& playlist) { return launch(process_, playlist); }

    // Hands the player another playlist: a second launch of the player, or mpv's loadfile.
    bool switchTo(const std::string& playlist) {
        if (kind_ == Kind::Velmora) {
            fx::ChildProcess second;
            return launch(second, playlist) && second.wait(fx::Millis(20000)).has_value();
        }
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        const std::string path = home_.file("mpv.sock");
        std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
        const std::string command = "{\"command\":[\"loadfile\",\"" + playlist + "\"]}\n";
        const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
                        ::send(fd, command.data(), command.size(), MSG_NOSIGNAL) ==
                            static_cast<ssize_t>(command.size());
        ::close(fd);
        return ok;
    }

    bool running() { return process_.running(); }
    std::string stderrText() const { return process_.stderrText(); }

  private:
    bool launch(fx::ChildProcess& p, const std::string& playlist) {
        fx::ChildProcess::Options options;
        options.env = bench_.pulse.env();
        options.cwd = home_.path();
        if (kind_ == Kind::Velmora) {
            options.env.insert({{"DISPLAY", bench_.x.display()},
                                {"XDG_RUNTIME_DIR", home_.file("run")},
                                {"HOME", home_.path()},
                                {"DBUS_SESSION_BUS_ADDRESS", bench_.bus.address()}});
            options.unsetEnv = {"WAYLAND_DISPLAY", "QT_QPA_PLATFORM"};
            return p.start({bench_.velmora, playlist}, options);
        }
        return p.start({"mpv", "--no-config", "--no-video", "--ao=pulse", "--really-quiet",
                        "--input-ipc-server=" + home_.file("mpv.sock"), playlist},
                       options);
    }

    Bench& bench_;
    Kind kind_;
    fx::TempDir home_{"velmora-recovery-home"};
    fx::ChildProcess process_;
};

Outcome setupFailed(const char* what) {
    std::fprintf(stderr, "%s\n", what);
    Outcome o;
    o.failed = true;
    return o;
}

// Starts the player on `playlist` and waits until the station is heard.
bool playing(Bench& bench, PlayerRun& player, const std::string& playlist) {
    Timeline t;
    if (!t.start(bench.pulse) || !player.start(playlist)) return false;
    bool bounded = false;
    const bool heard = t.soundAfter(Clock::now(), bench.window, bounded).has_value();
    t.stop();
    if (!heard) std::fprintf(stderr, "the station never played: %s\n", player.stderrText().c_str());
    return heard;
}

Outcome serverRestart(Bench& bench, Kind kind, const std::string& good) {
    Outcome o;
    PlayerRun player(bench, kind);
    if (!playing(bench, player, good)) return setupFailed("the station did not play first");
    if (!bench.pulse.killServer()) return setupFailed("cannot kill the sound server");
    std::this_thread::sleep_for(kServerDownFor);
    // Recording starts as soon as the new server answers (its null sink comes up with it),
    // before the fixture has started its keep-alive stream: the player may be heard first.
    // A fresh null sink renders its first block 2 s ahead, whatever latency its streams ask
    // for: nothing reaches its monitor (nor would the player be heard) before then, which no
    // real device does. A stream of silence of our own and a suspend and resume of the sink
    // make it render in short blocks from the start.
    Clock::time_point answered{};
    Timeline t;
    fx::ChildProcess keepAlive;
    bool recording = false;
    const bool restarted = bench.pulse.restartServer([&] {
        answered = Clock::now();
        fx::ChildProcess::Options options;
        options.env = bench.pulse.env();
        const std::string sink = fx::PulseServer::kSink;
        recording =
            keepAlive.start({"pacat", "--latency-msec=20", "-d", sink, "/dev/zero"}, options) &&
            fx::waitUntil(
                [&] {
                    auto inputs = bench.pulse.pactl({"list", "short", "sink-inputs"});
                    return inputs && !inputs->empty();
                },
                fx::kStartTimeout, 5ms) &&
            bench.pulse.pactl({"suspend-sink", sink, "1"}) &&
            bench.pulse.pactl({"suspend-sink", sink, "0"}) && t.record(bench.pulse);
    });
    if (!restarted) return setupFailed(("sound server restart: " + bench.pulse.error()).c_str());
    if (!(recording || t.record(bench.pulse)))
        return setupFailed("cannot record after the restart");
    if (!t.pin(bench.pulse)) return setupFailed("cannot pin the recording after the restart");
    o.seconds = t.soundAfter(answered, bench.window, o.bounded);
    o.exited = !player.running();
    return o;
}

Outcome sourceOutage(Bench& bench, Kind kind, const std::string& pls, const std::string& mount) {
    Outcome o;
    PlayerRun player(bench, kind);
    if (!bench.ice.mountLive(mount) &&
        !bench.ice.startSource(mount, fx::Codec::Mp3, 440, "Outage", kToneAmplitude))
        return setupFailed("the outage mount did not start");
    if (!playing(bench, player, pls)) return setupFailed("the station did not play first");
    Timeline t;
    if (!t.start(bench.pulse)) return setupFailed("cannot record");
    bench.ice.stopSource(mount);
    std::this_thread::sleep_for(kSourceAwayFor);
    if (!bench.ice.startSource(mount, fx::Codec::Mp3, 440, "Outage", kToneAmplitude))
        return setupFailed("the source did not return");
    o.seconds = t.soundAfter(Clock::now(), bench.window, o.bounded);
    o.exited = !player.running();
    return o;
}

Outcome deadMirrors(Bench& bench, Kind kind, const std::string& pls) {
    Outcome o;
    PlayerRun player(bench, kind);
    Timeline t;
    if (!t.start(bench.pulse)) return setupFailed("cannot record");
    const auto event = Clock::now();
    if (!player.start(pls)) return setupFailed("cannot start the player");
    o.seconds = t.soundAfter(event, bench.window, o.bounded);
    o.exited = !player.running();
    return o;
}

Outcome stallThenSwitch(Bench& bench, Kind kind, const std::string& stallPls,
                        const std::string& good) {
    Outcome o;
    PlayerRun player(bench, kind);
    Timeline t;
    if (!t.start(bench.pulse) || !player.start(stallPls))
        return setupFailed("cannot record or start the player");
    std::this_thread::sleep_for(kStallBeforeSwitch);
    const auto event = Clock::now();
    if (!player.switchTo(good)) return setupFailed("cannot hand over the playlist");
    o.seconds = t.soundAfter(event, bench.window, o.bounded);
    o.exited = !player.running();
    return o;
}

std::string describe(const std::vector<Outcome>& runs) {
    std::vector<double> heard;
    bool bounded = false, exited = false, failed = false;
    for (const Outcome& o : runs) {
        if (o.seconds) heard.push_back(*o.seconds);
        bounded = bounded || (o.seconds && o.bounded);
        exited = exited || o.exited;
        failed = failed || o.failed;
    }
    char text[64];
    if (failed && heard.empty()) return "setup failed";
    if (heard.size() * 2 <= runs.size()) return exited ? "never (exited)" : "never";
    std::sort(heard.begin(), heard.end());
    std::snprintf(text, sizeof text, "%s%.2f", bounded ? "<=" : "", heard[heard.size() / 2]);
    std::string s = text;
    if (heard.size() < runs.size())
        s += " (" + std::to_string(heard.size()) + "/" + std::to_string(runs.size()) + ")";
    return s;
}

void writePlaylist(const std::string& path, const std::vector<std::string>& urls) {
    std::string text = "[playlist]\nNumberOfEntries=" + std::to_string(urls.size()) + "\n";
    for (size_t i = 0; i < urls.size(); ++i)
        text += "File" + std::to_string(i + 1) + "=" + urls[i] + "\nTitle" + std::to_string(i + 1) +
                "=Mirror " + std::to_string(i + 1) + "\nLength" + std::to_string(i + 1) + "=-1\n";
    fx::writeFile(path, text + "Version=2\n");
}

}  // namespace

int main(int argc, char** argv) {
    Bench bench;
    int rounds = 3;
    std::string only;
    bool withMpv = true;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--velmora") && i + 1 < argc)
            bench.velmora = argv[++i];
        else if (!std::strcmp(argv[i], "--rounds") && i + 1 < argc)
            rounds = std::max(1, std::atoi(argv[++i]));
        else if (!std::strcmp(argv[i], "--window") && i + 1 < argc)
            bench.window = std::max(5.0, std::atof(argv[++i]));
        else if (!std::strcmp(argv[i], "--only") && i + 1 < argc)
            only = argv[++i];
        else if (!std::strcmp(argv[i], "--no-mpv"))
            withMpv = false;
    }
    if (bench.velmora.empty() || ::access(bench.velmora.c_str(), X_OK) != 0) {
        std::fprintf(stderr,
                     "usage: recovery-run --velmora PATH [--rounds N] [--window S] [--only TEXT] "
                     "[--no-mpv]\n");
        return 2;
    }
    if (char* full = ::realpath(bench.velmora.c_str(), nullptr)) {
        bench.velmora = full;
        std::free(full);
    }
    ::signal(SIGPIPE, SIG_IGN);
    if (!bench.pulse.start() || !bench.x.start(1280, 1024, true) || !bench.bus.start() ||
        !bench.ice.start() ||
        !bench.ice.startSource("good.mp3", fx::Codec::Mp3, 440, "Good", kToneAmplitude)) {
        std::fprintf(stderr, "servers: %s%s%s%s\n", bench.pulse.error().c_str(),
                     bench.x.error().c_str(), bench.bus.error().c_str(), bench.ice.error().c_str());
        return 1;
    }
    SilentServer dead1, dead2;
    SilentServer stall("HTTP/1.0 200 OK\r\nContent-Type: audio/mpeg\r\nicy-name:Stall\r\n\r\n");
    const std::string good = bench.work.file("good.pls");
    const std::string outage = bench.work.file("outage.pls");
    // The mirrors are a station's remote .pls, which the engine resolves entry by entry; the
    // player's own playlist names only that address.
    const std::string www = bench.work.file("www");
    std::filesystem::create_directories(www);
    writePlaylist(www + "/mirrors.pls",
                  {dead1.url("/a.mp3"), dead2.url("/b.mp3"), bench.ice.url("good.mp3")});
    fx::ChildProcess web;
    const int webPort = fx::freePort();
    if (!web.start({"python3", "-m", "http.server", "--bind", "127.0.0.1", std::to_string(webPort),
                    "--directory", www}) ||
        !fx::waitUntil([&] { return fx::httpGet(webPort, "/mirrors.pls").status == 200; })) {
        std::fprintf(stderr, "cannot serve the mirrors' playlist\n");
        return 1;
    }
    const std::string mirrors = bench.work.file("mirrors.pls");
    const std::string stalled = bench.work.file("stall.pls");
    writePlaylist(good, {bench.ice.url("good.mp3")});
    writePlaylist(outage, {bench.ice.url("outage.mp3")});
    writePlaylist(mirrors, {"http://127.0.0.1:" + std::to_string(webPort) + "/mirrors.pls"});
    writePlaylist(stalled, {stall.url("/stall.mp3")});

    struct Case {
        const char* name;
        double goal;  // 0: none
        std::function<Outcome(Kind)> run;
    };
    const std::vector<Case> cases{
        {"sound-server restart", kGoalRestart,
         [&](Kind k) { return serverRestart(bench, k, good); }},
        {"source outage", kGoalOutage,
         [&](Kind k) { return sourceOutage(bench, k, outage, "outage.mp3"); }},
        {"dead mirrors", kGoalMirrors, [&](Kind k) { return deadMirrors(bench, k, mirrors); }},
        {"stall then switch", 0, [&](Kind k) { return stallThenSwitch(bench, k, stalled, good); }},
    };

    std::printf("seconds from the event to sound, median of %d, window %.0f s\n", rounds,
                bench.window);
    std::printf("| case | velmora | mpv | goal (velmora) |\n|---|---|---|---|\n");
    std::fflush(stdout);
    for (const Case& c : cases) {
        if (!only.empty() && std::string(c.name).find(only) == std::string::npos) continue;
        std::vector<Outcome> ours, theirs;
        for (int r = 0; r < rounds; ++r) {
            ours.push_back(c.run(Kind::Velmora));
            if (withMpv) theirs.push_back(c.run(Kind::Mpv));
        }
        char goal[32] = "-";
        if (c.goal > 0) {
            std::vector<double> heard;
            for (const Outcome& o : ours)
                if (o.seconds) heard.push_back(*o.seconds);
            std::sort(heard.begin(), heard.end());
            const bool met = heard.size() * 2 > ours.size() && heard[heard.size() / 2] <= c.goal;
            std::snprintf(goal, sizeof goal, "<= %.1f %s", c.goal, met ? "met" : "MISSED");
        }
        std::printf("| %s | %s | %s | %s |\n", c.name, describe(ours).c_str(),
                    withMpv ? describe(theirs).c_str() : "-", goal);
        std::fflush(stdout);
    }
    return 0;
}

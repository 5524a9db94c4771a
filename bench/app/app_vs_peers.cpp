// app-vs-peers-run --velmora PATH [--rounds N] [--seconds S] [--window S] [--steady]
//
// The whole player (its window shown on a virtual display, the meters running) against mpv
// and mpg123 on one local Icecast MP3 mount: CPU seconds, peak RSS and the time from start to
// the first audible sample. Goals: CPU and RSS no more than mpv's, first audio no later than
// mpg123's.
//
// Then the steady state, side by side with mpv in the same run: CPU and wake-ups (voluntary
// context switches of all threads) a second over a window of S seconds (--window, 10) once
// playing has settled, and for the player again after its stop button was pressed. The tone
// keeps the meters nearly still; the player also plays pink noise, whose level moves the meters
// at every tick, as music does (shown, without a goal). Goals: stopped at most 60 wake-ups a
// second and 0.3 % CPU; playing the tone at most half of mpv's CPU.
// --steady runs this part alone.
#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "fixtures.h"
#include "peers.h"

namespace {

constexpr double kToneAmplitude = 0.5;
constexpr double kDefaultWindowSeconds = 10;
constexpr auto kSettle = std::chrono::seconds(5);  // after first audio, and after stop
constexpr double kStoppedWakeupGoal = 60;
constexpr double kStoppedCpuPercentGoal = 0.3;
constexpr double kPlayingCpuShareOfMpv = 0.5;
constexpr int kAudible = 1000;
// The stop button's centre in the window.
constexpr int kStopX = 36 + 8, kStopY = 145 + 8;

// One thread's counters at one moment.
struct ThreadCounters {
    std::string name;
    uint64_t runNs = 0;     // time on a CPU
    uint64_t switches = 0;  // voluntary context switches: each is one sleep, so one wake-up
};
using ProcessCounters = std::map<std::string, ThreadCounters>;  // by thread id

std::string FirstLine(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

ProcessCounters Sample(pid_t pid) {
    ProcessCounters out;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR* dir = ::opendir(tasks.c_str());
    if (!dir) return out;
    while (dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        const std::string task = tasks + "/" + entry->d_name;
        ThreadCounters t;
        t.name = FirstLine(task + "/comm");
        std::istringstream(FirstLine(task + "/schedstat")) >> t.runNs;
        std::ifstream status(task + "/status");
        for (std::string line; std::getline(status, line);)
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0)
                t.switches = std::strtoull(line.c_str() + std::strlen("voluntary_ctxt_switches:"),
                                           nullptr, 10);
        out[entry->d_name] = t;
    }
    ::closedir(dir);
    return out;
}

struct Usage {
    double cpuPercent = 0;
    double wakeups = 0;                           // a second, all threads
    std::map<std::string, double> wakeupsByName;  // a second, by thread name
};

// Threads that began within the window count from zero; threads that ended are lost.
Usage Between(const ProcessCounters& a, const ProcessCounters& b, double seconds) {
    Usage u;
    double runNs = 0;
    for (const auto& [tid, end] : b) {
        const auto start = a.find(tid);
        const ThreadCounters begin = start == a.end() ? ThreadCounters{} : start->second;
        runNs += double(end.runNs - begin.runNs);
        const double wakeups = double(end.switches - begin.switches) / seconds;
        u.wakeups += wakeups;
        u.wakeupsByName[end.name] += wakeups;
    }
    u.cpuPercent = runNs / 1e9 / seconds * 100;
    return u;
}

Usage Measure(pid_t pid, double seconds) {
    const ProcessCounters a = Sample(pid);
    const auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const ProcessCounters b = Sample(pid);
    return Between(a, b,
                   std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
}

std::string ByThread(const Usage& u) {
    std::vector<std::pair<double, std::string>> threads;
    for (const auto& [name, w] : u.wakeupsByName)
        if (w >= 0.5) threads.emplace_back(w, name);
    std::sort(threads.rbegin(), threads.rend());
    std::string out;
    char buf[96];
    for (const auto& [w, name] : threads) {
        std::snprintf(buf, sizeof buf, "%s%s %.0f", out.empty() ? "" : ", ", name.c_str(), w);
        out += buf;
    }
    return out;
}

bool Audible(const fx::Recorder& rec, size_t fromFrame) {
    const auto samples = rec.samplesSoFar();
    return fx::firstAudibleFrame(samples, kAudible, fromFrame).has_value();
}

bool WaitAudible(const fx::Recorder& rec, size_t fromFrame) {
    return fx::waitUntil([&] { return Audible(rec, fromFrame); }, fx::kStartTimeout,
                         fx::Millis(200));
}

double Median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

struct SteadyRound {
    Usage playing, stopped, noise, mpv;
};

// Starts `player` and waits until it is heard and has settled; false (said on stderr) when it
// is not heard.
bool StartPlaying(fx::ChildProcess& p, const bench::Player& player, const fx::Recorder& rec) {
    const size_t from = rec.framesSoFar();
    if (!p.start(player.argv, player.options) || !WaitAudible(rec, from)) {
        std::fprintf(stderr, "%s: no audio; stderr: %s\n", player.name.c_str(),
                     p.stderrText().c_str());
        return false;
    }
    std::this_thread::sleep_for(kSettle);
    return true;
}

// The player on the tone: measured playing, then its stop button is pressed, and it is measured
// stopped. The player on noise, then mpv on the tone: measured playing. Empty when a step failed
// (said on stderr).
std::optional<SteadyRound> SteadyState(const bench::Player& velmora, const bench::Player& noisy,
                                       const bench::Player& mpv, const fx::PulseServer& pulse,
                                       double window) {
    SteadyRound round;
    fx::Recorder rec;
    if (!rec.start(pulse)) {
        std::fprintf(stderr, "cannot record the monitor\n");
        return std::nullopt;
    }
    {
        fx::ChildProcess p;
        if (!StartPlaying(p, velmora, rec)) return std::nullopt;
        round.playing = Measure(p.pid(), window);
        fx::ChildProcess click;
        click.start({"xdotool", "search", "--sync", "--all", "--onlyvisible", "--pid",
                     std::to_string(p.pid()), "--name", ".", "mousemove", "--window", "%1",
                     std::to_string(kStopX), std::to_string(kStopY), "click", "1"});
        click.wait(fx::Millis(20000));
        std::this_thread::sleep_for(kSettle);
        const size_t from = rec.framesSoFar();
        round.stopped = Measure(p.pid(), window);
        if (Audible(rec, from)) {
            std::fprintf(stderr, "velmora: still audible after its stop button was pressed\n");
            return std::nullopt;
        }
    }
    for (auto [player, usage] : {std::pair{&noisy, &round.noise}, std::pair{&mpv, &round.mpv}}) {
        fx::ChildProcess p;
        if (!StartPlaying(p, *player, rec)) return std::nullopt;
        *usage = Measure(p.pid(), window);
    }
    rec.stop();
    return round;
}

bool AtMost(const char* what, double value, double limit) {
    const bool met = value <= limit;
    std::printf("%-26s %8.2f  goal <= %.2f  %s\n", what, value, limit, met ? "met" : "MISSED");
    return met;
}

}  // namespace

int main(int argc, char** argv) {
    std::string velmora;
    double window = kDefaultWindowSeconds;
    bool steadyOnly = false;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--steady")) steadyOnly = true;
        if (i + 1 == argc) break;
        if (!std::strcmp(argv[i], "--velmora")) velmora = argv[i + 1];
        if (!std::strcmp(argv[i], "--window")) window = std::max(1.0, std::atof(argv[i + 1]));
    }
    if (velmora.empty() || ::access(velmora.c_str(), X_OK) != 0) {
        std::fprintf(stderr,
                     "usage: app-vs-peers-run --velmora PATH [--rounds N] [--seconds S] "
                     "[--window S] [--steady]\n");
        return 2;
    }
    // The player runs in a folder of its own, so its path must not be relative.
    if (char* full = ::realpath(velmora.c_str(), nullptr)) {
        velmora = full;
        std::free(full);
    }
    const bench::Options options = bench::parseOptions(argc, argv);

    fx::PulseServer pulse;
    fx::Xvfb x;
    fx::DbusSession bus;  // a desktop session has one; without it libdbus may try to start one
    fx::Icecast ice;
    if (!pulse.start() || !x.start() || !bus.start() || !ice.start() ||
        !ice.startSource("bench.mp3", fx::Codec::Mp3, 440, "Bench", kToneAmplitude) ||
        !ice.startSource("noise.mp3", fx::Codec::Mp3, 0, "Noise", kToneAmplitude)) {
        std::fprintf(stderr, "servers: %s%s%s%s\n", pulse.error().c_str(), x.error().c_str(),
                     bus.error().c_str(), ice.error().c_str());
        return 1;
    }
    // Icecast's burst on connect then holds a full 64 KiB for every player.
    std::this_thread::sleep_for(std::chrono::seconds(5));
    const std::string url = ice.url("bench.mp3");
    fx::TempDir work("velmora-bench");
    fx::writePls(work.file("bench.pls"), url, "Bench");
    fx::writePls(work.file("noise.pls"), ice.url("noise.mp3"), "Noise");
    const std::string runtime = work.file("run");
    ::mkdir(runtime.c_str(), 0700);

    bench::Player player{"velmora", {velmora, work.file("bench.pls")}, {}};
    player.options.env = {{"DISPLAY", x.display()},
                          {"XDG_RUNTIME_DIR", runtime},
                          {"HOME", work.path()},
                          {"DBUS_SESSION_BUS_ADDRESS", bus.address()}};
    player.options.unsetEnv = {"WAYLAND_DISPLAY", "QT_QPA_PLATFORM"};
    player.options.cwd = work.path();
    bench::Player noisy = player;
    noisy.argv.back() = work.file("noise.pls");
    const bench::Player mpv{
        "mpv", {"mpv", "--no-config", "--no-video", "--ao=pulse", "--really-quiet", url}, {}};
    const std::vector<bench::Player> players{
        player,
        {"mpg123", {"mpg123", "-q", "-o", "pulse", url}, {}},
        mpv,
    };
    bool ok = true;
    if (!steadyOnly) {
        auto med = bench::compare(players, pulse, options);
        const auto &v = med["velmora"], &m = med["mpv"], &g = med["mpg123"];
        ok &= bench::goal("cpu", "velmora", v.cpuSeconds, "mpv", m.cpuSeconds);
        ok &= bench::goal("peak rss", "velmora", v.rssMb, "mpv", m.rssMb);
        ok &= bench::goal("first audio", "velmora", v.firstAudioSeconds, "mpg123",
                          g.firstAudioSeconds);
    }

    std::printf("\nsteady state: %d rounds, %.0f s windows\n", options.rounds, window);
    std::printf("%-6s %-16s %8s %12s\n", "round", "player", "cpu %", "wake-ups/s");
    // Rows: the player on the tone, stopped, on noise; mpv on the tone.
    enum { kPlaying, kStopped, kNoise, kMpv, kRowCount };
    const char* const names[kRowCount] = {"velmora playing", "velmora stopped", "velmora noise",
                                          "mpv playing"};
    std::vector<double> cpu[kRowCount], wakeups[kRowCount];
    std::optional<SteadyRound> last;
    auto rowsOf = [](const SteadyRound& round) {
        return std::array<const Usage*, kRowCount>{&round.playing, &round.stopped, &round.noise,
                                                   &round.mpv};
    };
    for (int r = 0; r < options.rounds; ++r) {
        last = SteadyState(player, noisy, mpv, pulse, window);
        if (!last) return 1;
        const auto rows = rowsOf(*last);
        for (int i = 0; i < kRowCount; ++i) {
            std::printf("%-6d %-16s %8.2f %12.0f\n", r + 1, names[i], rows[i]->cpuPercent,
                        rows[i]->wakeups);
            cpu[i].push_back(rows[i]->cpuPercent);
            wakeups[i].push_back(rows[i]->wakeups);
        }
        std::fflush(stdout);
    }
    std::printf("\nmedians\n%-16s %8s %12s\n", "player", "cpu %", "wake-ups/s");
    for (int i = 0; i < kRowCount; ++i)
        std::printf("%-16s %8.2f %12.0f\n", names[i], Median(cpu[i]), Median(wakeups[i]));
    std::printf("\nwake-ups/s by thread, last round\n");
    const auto rows = rowsOf(*last);
    for (int i = 0; i < kRowCount; ++i)
        std::printf("%-16s %s\n", names[i], ByThread(*rows[i]).c_str());
    std::printf("\n");
    ok &= AtMost("stopped wake-ups/s", Median(wakeups[kStopped]), kStoppedWakeupGoal);
    ok &= AtMost("stopped cpu %", Median(cpu[kStopped]), kStoppedCpuPercentGoal);
    ok &= bench::goal("playing cpu", "velmora", Median(cpu[kPlaying]), "mpv", Median(cpu[kMpv]),
                      kPlayingCpuShareOfMpv);
    std::printf("%-12s velmora / mpv     %6.2f  (no goal: the meters move at every tick)\n",
                "noise cpu", Median(cpu[kMpv]) > 0 ? Median(cpu[kNoise]) / Median(cpu[kMpv]) : 0);
    return ok ? 0 : 3;
}

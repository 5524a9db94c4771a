// soak-run --velmora PATH [MINUTES]
//
// The whole player (its window on a virtual display, the meters running) plays one local
// Icecast MP3 mount whose song title changes every 2 s, for MINUTES (default 60). Every 10 s it
// samples the player's RSS, threads and open descriptors and prints them; at the end it prints
// the least-squares slope of each over the samples after the first 5 minutes (allocator and
// cache warm-up). Goals: RSS grows less than 1 MB per hour; threads and descriptors end no
// higher than where they stood after the warm-up.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "fixtures.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr double kToneAmplitude = 0.5;
constexpr auto kTitleInterval = std::chrono::seconds(2);
constexpr auto kSampleInterval = std::chrono::seconds(10);
constexpr double kWarmUpSeconds = 5 * 60;
constexpr double kRssGoalMbPerHour = 1.0;
constexpr int kDefaultMinutes = 60;

struct Sample {
    double seconds = 0;
    long rssKb = 0;
    long threads = 0;
    long fds = 0;
};

// VmRSS and Threads from /proc/PID/status, the entries of /proc/PID/fd.
std::optional<Sample> sampleProcess(pid_t pid) {
    Sample s;
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string key;
    while (status >> key) {
        if (key == "VmRSS:")
            status >> s.rssKb;
        else if (key == "Threads:")
            status >> s.threads;
        std::getline(status, key);
    }
    DIR* dir = ::opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (!dir || s.threads == 0) {
        if (dir) ::closedir(dir);
        return std::nullopt;
    }
    while (dirent* e = ::readdir(dir))
        if (e->d_name[0] != '.') ++s.fds;
    ::closedir(dir);
    return s;
}

// Least-squares slope of y over x.
double slope(const std::vector<double>& x, const std::vector<double>& y) {
    const double n = double(x.size());
    if (x.size() < 2) return 0;
    double sx = 0, sy = 0, sxx = 0, sxy = 0;
    for (size_t i = 0; i < x.size(); ++i) {
        sx += x[i];
        sy += y[i];
        sxx += x[i] * x[i];
        sxy += x[i] * y[i];
    }
    const double d = n * sxx - sx * sx;
    return d == 0 ? 0 : (n * sxy - sx * sy) / d;
}

// Slopes per hour and the first and last values after the warm-up; true when the goals are met.
bool summarize(const std::vector<Sample>& samples) {
    std::vector<double> t, rss, threads, fds;
    for (const Sample& s : samples) {
        if (s.seconds < kWarmUpSeconds) continue;
        t.push_back(s.seconds / 3600.0);
        rss.push_back(double(s.rssKb) / 1024.0);
        threads.push_back(double(s.threads));
        fds.push_back(double(s.fds));
    }
    if (t.size() < 2) {
        std::printf("too few samples after the %.0f s warm-up for a slope\n", kWarmUpSeconds);
        return false;
    }
    const double rssSlope = slope(t, rss);
    std::printf("after the first %.0f min (%zu samples over %.1f min):\n", kWarmUpSeconds / 60,
                t.size(), (t.back() - t.front()) * 60);
    std::printf("  rss      %7.1f -> %7.1f MB   slope %+8.3f MB/h   (goal < %.1f)\n", rss.front(),
                rss.back(), rssSlope, kRssGoalMbPerHour);
    std::printf("  threads  %7.0f -> %7.0f      slope %+8.3f /h\n", threads.front(), threads.back(),
                slope(t, threads));
    std::printf("  fds      %7.0f -> %7.0f      slope %+8.3f /h\n", fds.front(), fds.back(),
                slope(t, fds));
    const bool ok = rssSlope < kRssGoalMbPerHour && threads.back() <= threads.front() &&
                    fds.back() <= fds.front();
    std::printf("%s\n", ok ? "met" : "MISSED");
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    std::string velmora;
    int minutes = kDefaultMinutes;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--velmora") && i + 1 < argc)
            velmora = argv[++i];
        else
            minutes = std::atoi(argv[i]);
    }
    if (velmora.empty() || ::access(velmora.c_str(), X_OK) != 0 || minutes < 1) {
        std::fprintf(stderr, "usage: soak-run --velmora PATH [MINUTES]\n");
        return 2;
    }
    if (char* full = ::realpath(velmora.c_str(), nullptr)) {
        velmora = full;
        std::free(full);
    }

    fx::PulseServer pulse;
    fx::Xvfb x;
    fx::DbusSession bus;
    fx::Icecast ice;
    const std::string mount = "soak.mp3";
    if (!pulse.start() || !x.start() || !bus.start() || !ice.start() ||
        !ice.startSource(mount, fx::Codec::Mp3, 440, "Soak", kToneAmplitude)) {
        std::fprintf(stderr, "servers: %s%s%s%s\n", pulse.error().c_str(), x.error().c_str(),
                     bus.error().c_str(), ice.error().c_str());
        return 1;
    }
    fx::TempDir work("velmora-soak");
    fx::writePls(work.file("soak.pls"), ice.url(mount), "Soak");
    const std::string runtime = work.file("run");
    ::mkdir(runtime.c_str(), 0700);

    fx::ChildProcess player;
    fx::ChildProcess::Options options;
    options.env = {{"DISPLAY", x.display()},
                   {"XDG_RUNTIME_DIR", runtime},
                   {"HOME", work.path()},
                   {"DBUS_SESSION_BUS_ADDRESS", bus.address()}};
    options.unsetEnv = {"WAYLAND_DISPLAY", "QT_QPA_PLATFORM"};
    options.cwd = work.path();
    if (!player.start({velmora, work.file("soak.pls")}, options)) {
        std::fprintf(stderr, "cannot start %s\n", velmora.c_str());
        return 1;
    }

    std::printf("%d min, title every %lld s, sample every %lld s\n", minutes,
                static_cast<long long>(kTitleInterval.count()),
                static_cast<long long>(kSampleInterval.count()));
    std::printf("%8s %10s %8s %6s\n", "s", "rss KB", "threads", "fds");
    std::fflush(stdout);
    const auto start = Clock::now();
    const auto end = start + std::chrono::minutes(minutes);
    auto nextTitle = start;
    auto nextSample = start + kSampleInterval;
    long titles = 0;
    std::vector<Sample> samples;
    while (Clock::now() < end) {
        if (!player.running()) {
            std::printf("the player ended (status %d); stderr:\n%s\n",
                        player.exitStatus().value_or(-1), player.stderrText().c_str());
            return 1;
        }
        const auto now = Clock::now();
        if (now >= nextTitle) {
            ice.setTitle(mount, "Soak Artist - Song " + std::to_string(++titles));
            nextTitle += kTitleInterval;
        }
        if (now >= nextSample) {
            if (auto s = sampleProcess(player.pid())) {
                s->seconds = std::chrono::duration<double>(now - start).count();
                samples.push_back(*s);
                std::printf("%8.0f %10ld %8ld %6ld\n", s->seconds, s->rssKb, s->threads, s->fds);
                std::fflush(stdout);
            }
            nextSample += kSampleInterval;
        }
        std::this_thread::sleep_until(std::min(nextTitle, nextSample));
    }
    player.stop();
    return summarize(samples) ? 0 : 3;
}

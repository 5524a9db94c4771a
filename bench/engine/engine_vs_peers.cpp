// engine-vs-peers-run [--aeplay PATH] [--rounds N] [--seconds S]
//
// Plays one local Icecast MP3 mount with aeplay, mpg123 and mpv in turn, each for S seconds,
// into a private PulseAudio null sink, and reports per player the CPU seconds (user + system),
// the peak RSS and the time from process start to the first audible sample in the sink's
// monitor. The order of the players rotates from round to round; the summary takes medians.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "fixtures.h"

namespace {

constexpr int kAudibleThreshold = 1000;  // the source tone peaks near 16000
constexpr double kToneAmplitude = 0.5;
constexpr int kRate = 44100;

struct Player {
    std::string name;
    std::vector<std::string> argv;
};

struct Run {
    double cpuSeconds = 0;
    double rssMb = 0;
    double firstAudioSeconds = -1;  // -1: never audible
};

double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

std::string defaultAeplay() {
    char exe[PATH_MAX] = {};
    ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
    std::string path(exe, n > 0 ? static_cast<size_t>(n) : 0);
    return path.substr(0, path.rfind('/')) + "/../tools/aeplay";
}

Run measure(const Player& player, const fx::PulseServer& pulse, double seconds) {
    Run run;
    fx::Recorder rec;
    if (!rec.start(pulse)) {
        std::fprintf(stderr, "cannot record the monitor\n");
        return run;
    }
    rec.waitForFrames(kRate / 5);  // a settled timeline before the player starts
    fx::ChildProcess p;
    const size_t startFrame = rec.framesSoFar();
    if (!p.start(player.argv)) {
        std::fprintf(stderr, "cannot start %s\n", player.name.c_str());
        return run;
    }
    // Every player is stopped the same way, after the same wall time.
    if (!p.wait(fx::Millis(static_cast<long>(seconds * 1000)))) {
        p.signal(SIGTERM);
        if (!p.wait(fx::Millis(10000))) p.stop(fx::Millis(0));
    }
    auto samples = rec.stop();
    const rusage& u = p.usage();
    run.cpuSeconds = double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
                     double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
    run.rssMb = double(u.ru_maxrss) / 1024.0;
    if (auto f = fx::firstAudibleFrame(samples, kAudibleThreshold, startFrame))
        run.firstAudioSeconds = double(*f - startFrame) / kRate;
    if (run.firstAudioSeconds < 0)
        std::fprintf(stderr, "%s: no audio; stderr: %s\n", player.name.c_str(),
                     p.stderrText().c_str());
    return run;
}

const char* verdict(bool ok) {
    return ok ? "met" : "MISSED";
}

}  // namespace

int main(int argc, char** argv) {
    std::string aeplay = defaultAeplay();
    int rounds = 3;
    double seconds = 20;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--aeplay"))
            aeplay = argv[i + 1];
        else if (!std::strcmp(argv[i], "--rounds"))
            rounds = std::max(1, std::atoi(argv[i + 1]));
        else if (!std::strcmp(argv[i], "--seconds"))
            seconds = std::max(1.0, std::atof(argv[i + 1]));
    }
    if (::access(aeplay.c_str(), X_OK) != 0) {
        std::fprintf(stderr, "aeplay not found at %s (use --aeplay PATH)\n", aeplay.c_str());
        return 1;
    }

    fx::PulseServer pulse;
    if (!pulse.start()) {
        std::fprintf(stderr, "PulseAudio: %s\n", pulse.error().c_str());
        return 1;
    }
    fx::Icecast ice;
    if (!ice.start() ||
        !ice.startSource("bench.mp3", fx::Codec::Mp3, 440, "Bench", kToneAmplitude)) {
        std::fprintf(stderr, "Icecast: %s\n", ice.error().c_str());
        return 1;
    }
    // Icecast's burst on connect then holds a full 64 KiB for every player.
    std::this_thread::sleep_for(std::chrono::seconds(5));
    const std::string url = ice.url("bench.mp3");
    const std::vector<Player> players{
        {"aeplay", {aeplay, url}},
        {"mpg123", {"mpg123", "-q", "-o", "pulse", url}},
        {"mpv", {"mpv", "--no-config", "--no-video", "--ao=pulse", "--really-quiet", url}},
    };

    std::printf("%d rounds of %.0f s on a 128 kbps MP3 mount\n", rounds, seconds);
    std::printf("%-6s %-8s %10s %10s %12s\n", "round", "player", "cpu s", "rss MB",
                "first audio s");
    std::map<std::string, std::vector<Run>> runs;
    for (int r = 0; r < rounds; ++r) {
        for (size_t k = 0; k < players.size(); ++k) {
            const Player& player = players[(k + r) % players.size()];
            Run run = measure(player, pulse, seconds);
            runs[player.name].push_back(run);
            std::printf("%-6d %-8s %10.3f %10.1f %12.3f\n", r + 1, player.name.c_str(),
                        run.cpuSeconds, run.rssMb, run.firstAudioSeconds);
            std::fflush(stdout);
        }
    }

    std::map<std::string, Run> med;
    std::printf("\nmedians\n%-8s %10s %10s %12s\n", "player", "cpu s", "rss MB", "first audio s");
    for (const auto& player : players) {
        std::vector<double> cpu, rss, first;
        for (const Run& run : runs[player.name]) {
            cpu.push_back(run.cpuSeconds);
            rss.push_back(run.rssMb);
            first.push_back(run.firstAudioSeconds < 0 ? 1e9 : run.firstAudioSeconds);
        }
        med[player.name] = Run{median(cpu), median(rss), median(first)};
        std::printf("%-8s %10.3f %10.1f %12.3f\n", player.name.c_str(), med[player.name].cpuSeconds,
                    med[player.name].rssMb, med[player.name].firstAudioSeconds);
    }
    const Run& a = med["aeplay"];
    const Run& m = med["mpv"];
    const Run& g = med["mpg123"];
    std::printf("\nratios (aeplay / peer)\n");
    std::printf("cpu   / mpv    %6.2f  goal < 1     %s\n", a.cpuSeconds / m.cpuSeconds,
                verdict(a.cpuSeconds < m.cpuSeconds));
    std::printf("cpu   / mpg123 %6.2f  goal <= 1.5  %s\n", a.cpuSeconds / g.cpuSeconds,
                verdict(a.cpuSeconds <= 1.5 * g.cpuSeconds));
    std::printf("rss   / mpv    %6.2f  goal < 1     %s\n", a.rssMb / m.rssMb,
                verdict(a.rssMb < m.rssMb));
    std::printf("first / mpg123 %6.2f  goal <= 1    %s\n",
                a.firstAudioSeconds / g.firstAudioSeconds,
                verdict(a.firstAudioSeconds <= g.firstAudioSeconds));
    return 0;
}

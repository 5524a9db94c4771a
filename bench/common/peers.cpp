#include "peers.h"

#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace bench {

namespace {

constexpr int kRate = fx::Recorder::kRate;

double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

}  // namespace

Options parseOptions(int argc, char** argv) {
    Options o;
    for (int i = 1; i + 1 < argc; ++i) {
        if (!std::strcmp(argv[i], "--rounds"))
            o.rounds = std::max(1, std::atoi(argv[++i]));
        else if (!std::strcmp(argv[i], "--seconds"))
            o.seconds = std::max(1.0, std::atof(argv[++i]));
    }
    return o;
}

Run measure(const Player& player, const fx::PulseServer& pulse, const Options& options) {
    Run run;
    fx::Recorder rec;
    if (!rec.start(pulse)) {
        std::fprintf(stderr, "cannot record the monitor\n");
        return run;
    }
    rec.waitForFrames(kRate / 5);  // a settled timeline before the player starts
    fx::ChildProcess p;
    const size_t startFrame = rec.framesSoFar();
    if (!p.start(player.argv, player.options)) {
        std::fprintf(stderr, "cannot start %s\n", player.name.c_str());
        return run;
    }
    // Every player is stopped the same way, after the same wall time.
    if (!p.wait(fx::Millis(static_cast<long>(options.seconds * 1000)))) {
        p.signal(SIGTERM);
        if (!p.wait(fx::Millis(10000))) p.stop(fx::Millis(0));
    }
    auto samples = rec.stop();
    const rusage& u = p.usage();
    run.cpuSeconds = double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
                     double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
    run.rssMb = double(u.ru_maxrss) / 1024.0;
    if (auto f = fx::firstAudibleFrame(samples, options.audibleThreshold, startFrame))
        run.firstAudioSeconds = double(*f - startFrame) / kRate;
    if (run.firstAudioSeconds < 0)
        std::fprintf(stderr, "%s: no audio; stderr: %s\n", player.name.c_str(),
                     p.stderrText().c_str());
    return run;
}

std::map<std::string, Run> compare(const std::vector<Player>& players, const fx::PulseServer& pulse,
                                   const Options& options) {
    std::printf("%d rounds of %.0f s\n", options.rounds, options.seconds);
    std::printf("%-6s %-8s %10s %10s %14s\n", "round", "player", "cpu s", "rss MB",
                "first audio s");
    std::map<std::string, std::vector<Run>> runs;
    for (int r = 0; r < options.rounds; ++r) {
        for (size_t k = 0; k < players.size(); ++k) {
            const Player& player = players[(k + r) % players.size()];
            Run run = measure(player, pulse, options);
            runs[player.name].push_back(run);
            std::printf("%-6d %-8s %10.3f %10.1f %14.3f\n", r + 1, player.name.c_str(),
                        run.cpuSeconds, run.rssMb, run.firstAudioSeconds);
            std::fflush(stdout);
        }
    }
    std::map<std::string, Run> med;
    std::printf("\nmedians\n%-8s %10s %10s %14s\n", "player", "cpu s", "rss MB", "first audio s");
    for (const auto& player : players) {
        std::vector<double> cpu, rss, first;
        for (const Run& run : runs[player.name]) {
            cpu.push_back(run.cpuSeconds);
            rss.push_back(run.rssMb);
            first.push_back(run.firstAudioSeconds < 0 ? 1e9 : run.firstAudioSeconds);
        }
        Run& m = med[player.name];
        m = Run{median(cpu), median(rss), median(first)};
        std::printf("%-8s %10.3f %10.1f %14.3f\n", player.name.c_str(), m.cpuSeconds, m.rssMb,
                    m.firstAudioSeconds);
    }
    std::printf("\n");
    return med;
}

bool goal(const char* what, const std::string& name, double value, const std::string& peer,
          double peerValue, double limit) {
    const bool met = value <= limit * peerValue;
    std::printf("%-12s %s / %-7s %6.2f  goal <= %.2f  %s\n", what, name.c_str(), peer.c_str(),
                peerValue > 0 ? value / peerValue : 0.0, limit, met ? "met" : "MISSED");
    return met;
}

}  // namespace bench

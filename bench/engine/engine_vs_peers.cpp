// engine-vs-peers-run [--aeplay PATH] [--rounds N] [--seconds S]
//
// Plays one local Icecast MP3 mount with aeplay, mpg123 and mpv in turn, each for S seconds,
// into a private PulseAudio null sink, and reports per player the CPU seconds (user + system),
// the peak RSS and the time from process start to the first audible sample in the sink's
// monitor. The order of the players rotates from round to round; the summary takes medians.
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "fixtures.h"
#include "peers.h"

namespace {

constexpr double kToneAmplitude = 0.5;

std::string defaultAeplay() {
    char exe[PATH_MAX] = {};
    ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
    std::string path(exe, n > 0 ? static_cast<size_t>(n) : 0);
    return path.substr(0, path.rfind('/')) + "/../tools/aeplay";
}

const char* verdict(bool ok) {
    return ok ? "met" : "MISSED";
}

}  // namespace

int main(int argc, char** argv) {
    std::string aeplay = defaultAeplay();
    for (int i = 1; i + 1 < argc; ++i)
        if (!std::strcmp(argv[i], "--aeplay")) aeplay = argv[++i];
    const bench::Options options = bench::parseOptions(argc, argv);
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
    const std::vector<bench::Player> players{
        {"aeplay", {aeplay, url}, {}},
        {"mpg123", {"mpg123", "-q", "-o", "pulse", url}, {}},
        {"mpv", {"mpv", "--no-config", "--no-video", "--ao=pulse", "--really-quiet", url}, {}},
    };

    std::printf("128 kbps MP3 mount\n");
    auto med = bench::compare(players, pulse, options);
    const bench::Run& a = med["aeplay"];
    const bench::Run& m = med["mpv"];
    const bench::Run& g = med["mpg123"];
    std::printf("ratios (aeplay / peer)\n");
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

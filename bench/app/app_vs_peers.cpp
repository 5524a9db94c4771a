// app-vs-peers-run --velmora PATH [--rounds N] [--seconds S]
//
// The whole player (its window shown on a virtual display, the meters running) against mpv
// and mpg123 on one local Icecast MP3 mount: CPU seconds, peak RSS and the time from start to
// the first audible sample. Goals: CPU and RSS no more than mpv's, first audio no later than
// mpg123's.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "fixtures.h"
#include "peers.h"

namespace {

constexpr double kToneAmplitude = 0.5;

}  // namespace

int main(int argc, char** argv) {
    std::string velmora;
    for (int i = 1; i + 1 < argc; ++i)
        if (!std::strcmp(argv[i], "--velmora")) velmora = argv[i + 1];
    if (velmora.empty() || ::access(velmora.c_str(), X_OK) != 0) {
        std::fprintf(stderr, "usage: app-vs-peers-run --velmora PATH [--rounds N] [--seconds S]\n");
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
        !ice.startSource("bench.mp3", fx::Codec::Mp3, 440, "Bench", kToneAmplitude)) {
        std::fprintf(stderr, "servers: %s%s%s%s\n", pulse.error().c_str(), x.error().c_str(),
                     bus.error().c_str(), ice.error().c_str());
        return 1;
    }
    // Icecast's burst on connect then holds a full 64 KiB for every player.
    std::this_thread::sleep_for(std::chrono::seconds(5));
    const std::string url = ice.url("bench.mp3");
    fx::TempDir work("velmora-bench");
    fx::writePls(work.file("bench.pls"), url, "Bench");
    const std::string runtime = work.file("run");
    ::mkdir(runtime.c_str(), 0700);

    bench::Player player{"velmora", {velmora, work.file("bench.pls")}, {}};
    player.options.env = {{"DISPLAY", x.display()},
                          {"XDG_RUNTIME_DIR", runtime},
                          {"HOME", work.path()},
                          {"DBUS_SESSION_BUS_ADDRESS", bus.address()}};
    player.options.unsetEnv = {"WAYLAND_DISPLAY", "QT_QPA_PLATFORM"};
    player.options.cwd = work.path();
    const std::vector<bench::Player> players{
        player,
        {"mpg123", {"mpg123", "-q", "-o", "pulse", url}, {}},
        {"mpv", {"mpv", "--no-config", "--no-video", "--ao=pulse", "--really-quiet", url}, {}},
    };
    auto med = bench::compare(players, pulse, options);
    const auto &v = med["velmora"], &m = med["mpv"], &g = med["mpg123"];
    bool ok = bench::goal("cpu", "velmora", v.cpuSeconds, "mpv", m.cpuSeconds);
    ok &= bench::goal("peak rss", "velmora", v.rssMb, "mpv", m.rssMb);
    ok &= bench::goal("first audio", "velmora", v.firstAudioSeconds, "mpg123", g.firstAudioSeconds);
    return ok ? 0 : 3;
}

// engine-vs-peers-run [--aeplay PATH] [--rounds N] [--seconds S] [--format-seconds S]
//                     [--formats-only]
//
// Plays one local Icecast MP3 mount with aeplay, mpg123 and mpv in turn, each for S seconds,
// into a private PulseAudio null sink, and reports per player the CPU seconds (user + system),
// the peak RSS and the time from process start to the first audible sample in the sink's
// monitor. The order of the players rotates from round to round; the summary takes medians.
// Then a table per format (MP3 128k and 32k, AAC 64k, Ogg Vorbis 96k, Opus 64k, Ogg FLAC,
// HLS AAC), each fed once with a steady tone and once with pink noise, aeplay against mpv,
// with the bitrate aeplay reports.
#include <unistd.h>

#include <algorithm>

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
// A second aeplay column runs with this network buffer instead of the player's 2000 ms, to
// tell the time the engine takes to start from the time the buffer takes to fill.
constexpr const char* kSmallBufferMs = "500";

std::string defaultAeplay() {
    char exe[PATH_MAX] = {};
    ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
    std::string path(exe, n > 0 ? static_cast<size_t>(n) : 0);
    return path.substr(0, path.rfind('/')) + "/../tools/aeplay";
}

const char* verdict(bool ok) {
    return ok ? "met" : "MISSED";
}

struct Format {
    const char* name;
    fx::Codec codec;
    bool hls;
};

const Format kFormats[] = {
    {"MP3 128k", fx::Codec::Mp3, false},   {"MP3 32k", fx::Codec::Mp3Low, false},
    {"AAC 64k", fx::Codec::Aac, false},    {"Vorbis 96k", fx::Codec::Ogg, false},
    {"Opus 64k", fx::Codec::Opus, false},  {"Ogg FLAC", fx::Codec::OggFlac, false},
    {"HLS AAC 64k", fx::Codec::Aac, true},
};

// A live HLS station: ffmpeg writes 1 s segments of AAC into a folder that a local HTTP
// server serves.
class HlsStation {
  public:
    bool start(bool noise) {
        const std::string graph =
            (noise ? std::string("anoisesrc=color=pink:sample_rate=44100:amplitude=0.5")
                   : std::string("sine=frequency=440:sample_rate=44100,volume=4")) +
            ",pan=stereo|c0=c0|c1=c0";
        port_ = fx::freePort();
        if (!encoder_.start({"ffmpeg",
                             "-hide_banner",
                             "-loglevel",
                             "error",
                             "-nostdin",
                             "-re",
                             "-f",
                             "lavfi",
                             "-i",
                             graph,
                             "-c:a",
                             "aac",
                             "-b:a",
                             "64k",
                             "-f",
                             "hls",
                             "-hls_time",
                             "1",
                             "-hls_list_size",
                             "6",
                             "-hls_flags",
                             "delete_segments",
                             dir_.file("live.m3u8")}))
            return false;
        if (!server_.start({"python3", "-m", "http.server", "--bind", "127.0.0.1",
                            std::to_string(port_), "--directory", dir_.path()}))
            return false;
        return fx::waitUntil(
            [&] { return fx::httpGet(port_, "/live.m3u8").body.find(".ts") != std::string::npos; },
            fx::Millis(20000));
    }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/live.m3u8"; }

  private:
    fx::TempDir dir_{"bench-hls"};
    fx::ChildProcess encoder_, server_;
    int port_ = 0;
};

// The bitrate aeplay prints for the stream ("format: ..., N kbps"), or "-".
std::string aeplayKbps(const std::string& aeplay, const std::string& url) {
    fx::ChildProcess p;
    if (!p.start({aeplay, url, "4"}) || !p.wait(fx::Millis(30000))) return "-";
    const std::string out = p.stdoutText();
    const size_t line = out.find("format:");
    if (line == std::string::npos) return "-";
    const size_t end = out.find('\n', line);
    const size_t comma = out.rfind(", ", end);
    if (comma == std::string::npos || comma < line || out.find("kbps", comma) > end) return "-";
    return out.substr(comma + 2, out.find(" kbps", comma) - comma - 2);
}

void formatTable(const std::string& aeplay, const fx::PulseServer& pulse, fx::Icecast& ice,
                 const bench::Options& options, const std::string& only) {
    struct Row {
        std::string format, signal, kbps;
        bench::Run a, small, m;
    };
    std::vector<Row> rows;
    for (const Format& f : kFormats) {
        if (!only.empty() && std::string(f.name).find(only) == std::string::npos) continue;
        for (bool noise : {false, true}) {
            Row row{f.name, noise ? "pink noise" : "tone", "-", {}, {}, {}};
            std::printf("== %s, %s\n", f.name, row.signal.c_str());
            const std::string mount = "fmt";
            std::unique_ptr<HlsStation> hls;
            std::string url;
            if (f.hls) {
                hls = std::make_unique<HlsStation>();
                if (!hls->start(noise)) {
                    std::fprintf(stderr, "HLS station did not start\n");
                    continue;
                }
                url = hls->url();
            } else {
                if (!ice.startSource(mount, f.codec, noise ? 0 : 440, "Bench", kToneAmplitude)) {
                    std::fprintf(stderr, "Icecast: %s\n", ice.error().c_str());
                    continue;
                }
                url = ice.url(mount);
            }
            // Icecast's burst fills (and the HLS list holds several segments) before anyone
            // connects.
            std::this_thread::sleep_for(std::chrono::seconds(5));
            row.kbps = aeplayKbps(aeplay, url);
            const std::vector<bench::Player> players{
                {"aeplay", {aeplay, url}, {}},
                {"aeplay-small", {aeplay, "--net-buffer", kSmallBufferMs, url}, {}},
                {"mpv",
                 {"mpv", "--no-config", "--no-video", "--ao=pulse", "--really-quiet", url},
                 {}},
            };
            auto med = bench::compare(players, pulse, options);
            row.a = med["aeplay"];
            row.small = med["aeplay-small"];
            row.m = med["mpv"];
            rows.push_back(row);
            if (!f.hls) ice.stopSource(mount);
        }
    }
    std::printf("per format: medians of %d rounds of %.0f s\n", options.rounds, options.seconds);
    std::printf(
        "| format | signal | aeplay kbps | first audio s aeplay / mpv | with a %s ms buffer "
        "| cpu s aeplay / mpv | peak RSS MB aeplay / mpv |\n|---|---|---|---|---|---|---|\n",
        kSmallBufferMs);
    int firstMet = 0, cpuMet = 0, rssMet = 0;
    for (const Row& r : rows) {
        std::printf("| %s | %s | %s | %.2f / %.2f | %.2f | %.2f / %.2f | %.1f / %.1f |\n",
                    r.format.c_str(), r.signal.c_str(), r.kbps.c_str(), r.a.firstAudioSeconds,
                    r.m.firstAudioSeconds, r.small.firstAudioSeconds, r.a.cpuSeconds,
                    r.m.cpuSeconds, r.a.rssMb, r.m.rssMb);
        firstMet += r.a.firstAudioSeconds <= r.m.firstAudioSeconds;
        cpuMet += r.a.cpuSeconds < r.m.cpuSeconds;
        rssMet += r.a.rssMb < r.m.rssMb;
    }
    const auto n = static_cast<int>(rows.size());
    std::printf("first audio no later than mpv: %d of %d rows  %s\n", firstMet, n,
                verdict(firstMet == n));
    std::printf("cpu below mpv: %d of %d rows  %s\n", cpuMet, n, verdict(cpuMet == n));
    std::printf("peak RSS below mpv: %d of %d rows  %s\n", rssMet, n, verdict(rssMet == n));
}

}  // namespace

int main(int argc, char** argv) {
    std::string aeplay = defaultAeplay();
    bool formatsOnly = false;
    std::string only;  // rows whose format name contains this text; empty: every row
    double formatSeconds = 8;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--formats-only")) formatsOnly = true;
        if (i + 1 < argc && !std::strcmp(argv[i], "--aeplay")) aeplay = argv[++i];
        if (i + 1 < argc && !std::strcmp(argv[i], "--only")) only = argv[++i];
        if (i + 1 < argc && !std::strcmp(argv[i], "--format-seconds"))
            formatSeconds = std::max(2.0, std::atof(argv[++i]));
    }
    const bench::Options options = bench::parseOptions(argc, argv);
    bench::Options formatOptions = options;
    formatOptions.seconds = formatSeconds;
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
    if (!ice.start()) {
        std::fprintf(stderr, "Icecast: %s\n", ice.error().c_str());
        return 1;
    }
    if (formatsOnly) {
        formatTable(aeplay, pulse, ice, formatOptions, only);
        return 0;
    }
    if (!ice.startSource("bench.mp3", fx::Codec::Mp3, 440, "Bench", kToneAmplitude)) {
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
    ice.stopSource("bench.mp3");
    std::printf("\n");
    formatTable(aeplay, pulse, ice, formatOptions, only);
    return 0;
}

// The real player on a local station, driven by playerctl on a private session bus: status,
// titles, stop and play heard on the sound server's null sink, and the volume slider.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QUrl>

#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "fixtures.h"
#include "mpris_test_support.h"

using namespace mprist;

namespace {

constexpr int kRate = fx::Recorder::kRate;
constexpr int kSilentPeak = 64;                         // the keep-alive stream is digital silence
constexpr int kAudiblePeak = 1000;                      // the source's sine peaks near 4096
constexpr double kFullScaleRms = 2000;                  // its rms at full volume: near 2900
constexpr std::chrono::milliseconds kStartWait{60000};  // connect + buffer on a loaded machine

// Peak and rms of the last `ms` milliseconds recorded.
fx::Analysis recent(const fx::Recorder& recorder, int ms) {
    const std::vector<int16_t> samples = recorder.samplesSoFar();
    const size_t frames = samples.size() / 2;
    const size_t span = size_t(kRate) * ms / 1000;
    return fx::analyze(samples, frames > span ? frames - span : 0, frames);
}

// Waits for pred while the player runs; false at once when the player has ended.
bool whilePlaying(fx::ChildProcess& player, const std::function<bool()>& pred,
                  std::chrono::milliseconds timeout = kWait) {
    return waitFor([&] { return !player.running() || pred(); }, timeout) && player.running();
}

bool playerctlSays(fx::ChildProcess& player, const QStringList& args, const QString& expected,
                   std::chrono::milliseconds timeout = kWait) {
    return whilePlaying(
        player,
        [&] {
            const ProcessResult r = playerctl(args);
            return r.exitCode == 0 && r.out == expected;
        },
        timeout);
}

#ifdef VELMORA_PROGRAM
// Starts the real player on `location` with its log on, in a private runtime folder (no other
// player's instance lock or hand-off socket is seen) and home under `home`.
bool startPlayer(fx::ChildProcess& player, const fx::PulseServer& pulse, const fx::TempDir& home,
                 const std::string& location) {
    const std::string runtime = home.file("runtime");
    if (mkdir(runtime.c_str(), 0700) != 0) return false;
    fx::ChildProcess::Options options;
    options.env = pulse.env();
    options.env["XDG_RUNTIME_DIR"] = runtime;
    options.env["HOME"] = home.path();
    options.env["VELMORA_DEBUG"] = "1";
    return player.start({VELMORA_PROGRAM, location}, options);
}
#endif

}  // namespace

TEST(MprisEndToEnd, PlayerctlDrivesTheRealPlayer) {
#ifndef VELMORA_PROGRAM
    GTEST_SKIP() << "the program is not built";
#else
    fx::PulseServer pulse;
    ASSERT_TRUE(pulse.start()) << pulse.error();
    fx::Icecast ice;
    ASSERT_TRUE(ice.start()) << ice.error();
    ASSERT_TRUE(ice.startSource("a.mp3", fx::Codec::Mp3, 440, "Station A"));
    fx::Xvfb x;
    ASSERT_TRUE(x.start()) << x.error();
    fx::Recorder recorder;
    ASSERT_TRUE(recorder.start(pulse));

    fx::TempDir home("mpris-e2e");
    const std::string playlist = home.file("station.pls");
    fx::writePls(playlist, ice.url("a.mp3"), "Station A");
    fx::ChildProcess player;
    ASSERT_TRUE(startPlayer(player, pulse, home, playlist));
    const auto log = [&] { return "player's log:\n" + player.stderrText() + player.stdoutText(); };

    ASSERT_TRUE(playerctlSays(player, {"status"}, "Playing", kStartWait)) << log();
    ASSERT_TRUE(whilePlaying(player, [&] { return recent(recorder, 300).peak > kAudiblePeak; }))
        << log();
    EXPECT_TRUE(playerctlSays(player, {"metadata", "album"}, "Station A")) << log();
    // The art is the program's icon as a picture file.
    const QUrl art(playerctl({"metadata", "mpris:artUrl"}).out);
    EXPECT_TRUE(art.isLocalFile()) << art.toString().toStdString();
    QFile picture(art.toLocalFile());
    ASSERT_TRUE(picture.open(QIODevice::ReadOnly)) << art.toString().toStdString();
    EXPECT_EQ(picture.read(8), QByteArray("\x89PNG\r\n\x1a\n", 8));

    // A title update on the server reaches the bus once it is heard.
    // The song is parted into artist and title, and sent whole however long it is.
    ASSERT_TRUE(ice.setTitle("a.mp3", "Artist - First Song"));
    EXPECT_TRUE(playerctlSays(player, {"metadata", "title"}, "First Song", kStartWait)) << log();
    EXPECT_TRUE(playerctlSays(player, {"metadata", "artist"}, "Artist")) << log();
    const QString longTitle = "Second Song, the extended version recorded live in Istanbul 1998";
    ASSERT_TRUE(ice.setTitle("a.mp3", "Artist - " + longTitle.toStdString()));
    EXPECT_TRUE(playerctlSays(player, {"metadata", "title"}, longTitle, kStartWait)) << log();
    // A title holding terminal control sequences reaches the log escaped, never raw.
    ASSERT_TRUE(ice.setTitle("a.mp3", "Evil \x1b]0;owned\x07\x1b[2J Song"));
    EXPECT_TRUE(fx::waitUntil(
        [&] {
            return player.stderrText().find("Evil \\x1b]0;owned\\x07\\x1b[2J Song") !=
                   std::string::npos;
        },
        kStartWait))
        << log();
    EXPECT_EQ(player.stderrText().find('\x1b'), std::string::npos);

    // Stop silences the sink and keeps it silent (the watchdog is off after a stop).
    ASSERT_EQ(playerctl({"stop"}).exitCode, 0);
    EXPECT_TRUE(playerctlSays(player, {"status"}, "Stopped")) << log();
    ASSERT_TRUE(whilePlaying(player, [&] { return recent(recorder, 300).peak < kSilentPeak; }))
        << log();
    const size_t silentFrom = recorder.framesSoFar();
    ASSERT_TRUE(recorder.waitForFrames(silentFrom + kRate * 2));
    EXPECT_LT(recent(recorder, 2000).peak, kSilentPeak);

    // Play reconnects and the sound comes back.
    ASSERT_EQ(playerctl({"play"}).exitCode, 0);
    EXPECT_TRUE(playerctlSays(player, {"status"}, "Playing", kStartWait)) << log();
    EXPECT_TRUE(whilePlaying(
        player, [&] { return recent(recorder, 300).peak > kAudiblePeak; }, kStartWait))
        << log();

    // The volume moves the slider, and the engine follows it: full volume first (the sound
    // server may keep an earlier level), then 0.3.
    const auto volumeIs = [&](double volume) {
        return whilePlaying(player, [&] { return playerctl({"volume"}).out.toDouble() == volume; });
    };
    ASSERT_EQ(playerctl({"volume", "1"}).exitCode, 0);
    ASSERT_TRUE(volumeIs(1.0)) << log();
    ASSERT_TRUE(whilePlaying(player, [&] { return recent(recorder, 300).rms > kFullScaleRms; }))
        << "rms " << recent(recorder, 300).rms;
    const double loud = recent(recorder, 300).rms;
    ASSERT_EQ(playerctl({"volume", "0.3"}).exitCode, 0);
    EXPECT_TRUE(volumeIs(0.3)) << log();
    EXPECT_TRUE(whilePlaying(player,
                             [&] {
                                 const fx::Analysis now = recent(recorder, 300);
                                 return now.rms < loud * 0.5 && now.peak > kSilentPeak;
                             }))
        << "rms at full volume " << loud << ", now " << recent(recorder, 300).rms;

    // Quit closes the window as the close button does, and the program ends normally.
    BusClient client;
    EXPECT_TRUE(client.call(QString::fromUtf8(mpris::kServiceName), "Quit", {},
                            QString::fromUtf8(mpris::kRootInterface)));
    const auto status = player.wait(kStartWait);
    ASSERT_TRUE(status.has_value()) << "still running after Quit";
    EXPECT_EQ(*status, 0) << log();
#endif
}

// An error box (here for a playlist name that is a unix socket, which cannot be read) runs an
// event loop of its own: Quit closes it and ends the program all the same.
TEST(MprisEndToEnd, QuitEndsThePlayerWhileAnErrorBoxIsUp) {
#ifndef VELMORA_PROGRAM
    GTEST_SKIP() << "the program is not built";
#else
    fx::PulseServer pulse;
    ASSERT_TRUE(pulse.start()) << pulse.error();
    fx::Xvfb x;
    ASSERT_TRUE(x.start()) << x.error();
    fx::TempDir home("mpris-e2e");
    const std::string playlist = home.file("socket.pls");
    const int listener = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    playlist.copy(address.sun_path, sizeof(address.sun_path) - 1);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    fx::ChildProcess player;
    ASSERT_TRUE(startPlayer(player, pulse, home, playlist));
    const auto log = [&] { return "player's log:\n" + player.stderrText(); };
    ASSERT_TRUE(whilePlaying(
        player, [&] { return player.stderrText().find("error box:") != std::string::npos; },
        kStartWait))
        << log();

    BusClient client;
    ASSERT_TRUE(whilePlaying(player, [&] {
        return client.call(QString::fromUtf8(mpris::kServiceName), "Quit", {},
                           QString::fromUtf8(mpris::kRootInterface));
    })) << log();
    const auto status = player.wait(kStartWait);
    ASSERT_TRUE(status.has_value()) << "still running after Quit; " << log();
    EXPECT_EQ(*status, 0) << log();
    close(listener);
#endif
}

// The media controls against a scripted player: on a private bus through Qt D-Bus and the real
// playerctl, and without any bus.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDBusObjectPath>
#include <QDir>
#include <QFile>
#include <QUrl>

#include <array>
#include <cmath>
#include <limits>
#include <memory>

#include "app/mpris.h"
#include "fixtures.h"
#include "mpris_test_support.h"

using namespace mprist;

namespace {

const QString kService = QString::fromUtf8(mpris::kServiceName);
const QString kRoot = QString::fromUtf8(mpris::kRootInterface);
const QString kPlayer = QString::fromUtf8(mpris::kPlayerInterface);

QString trackId(const QVariantMap& metadata) {
    return metadata.value(QStringLiteral("mpris:trackid")).value<QDBusObjectPath>().path();
}

void touch(const QString& path) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
}

}  // namespace

// ---- pieces without a bus ----

TEST(MprisVolume, MapsZeroToOneOntoTheSliderWithHalvesToEven) {
    EXPECT_EQ(mpris::volumeToPercent(0.3), 30);
    EXPECT_EQ(mpris::volumeToPercent(0.37), 37);
    EXPECT_EQ(mpris::volumeToPercent(0.125), 12);
    EXPECT_EQ(mpris::volumeToPercent(0.375), 38);
    EXPECT_EQ(mpris::volumeToPercent(0.0), 0);
    EXPECT_EQ(mpris::volumeToPercent(1.0), 100);
    // Out of range and nonsense are clamped, never passed on to the slider.
    EXPECT_EQ(mpris::volumeToPercent(-0.5), 0);
    EXPECT_EQ(mpris::volumeToPercent(1.7), 100);
    EXPECT_EQ(mpris::volumeToPercent(std::numeric_limits<double>::quiet_NaN()), 0);
    EXPECT_EQ(mpris::volumeToPercent(std::numeric_limits<double>::infinity()), 100);
}

TEST(MprisMetadata, TitleFallsBackToTheStationAndEmptyFieldsAreLeftOut) {
    const mpris::TrackInfo withSong{"Artist - Song", " Station A ", "http://h/a.mp3"};
    QVariantMap map = mpris::buildMetadata(withSong, "/org/velmora/track/3", "file:///i.png");
    EXPECT_EQ(trackId(map), "/org/velmora/track/3");
    EXPECT_EQ(map.value("xesam:title").toString(), "Song");
    EXPECT_EQ(map.value("xesam:artist").toStringList(), QStringList{"Artist"});
    EXPECT_EQ(map.value("xesam:album").toString(), "Station A");
    EXPECT_EQ(map.value("xesam:url").toString(), "http://h/a.mp3");
    EXPECT_EQ(map.value("mpris:artUrl").toString(), "file:///i.png");

    map = mpris::buildMetadata({"", " Station A", ""}, "/org/velmora/track/4", "");
    EXPECT_EQ(map.value("xesam:title").toString(), "Station A");
    EXPECT_FALSE(map.contains("xesam:artist"));
    EXPECT_FALSE(map.contains("xesam:url"));
    EXPECT_FALSE(map.contains("mpris:artUrl"));

    map = mpris::buildMetadata({}, "/org/velmora/track/5", "");
    EXPECT_EQ(map.keys(), QStringList{"mpris:trackid"});
}

// Only a text with an artist before and a title after " - " is parted; names are trimmed.
TEST(MprisMetadata, SongPartsIntoArtistAndTitle) {
    const auto parts = [](const QString& song) {
        const mpris::SongParts p = mpris::splitSong(song);
        return QStringList{p.artist, p.title};
    };
    EXPECT_EQ(parts(" Artist  -  A - B "), (QStringList{"Artist", "A - B"}));
    EXPECT_EQ(parts("Jazz-Funk Hour"), (QStringList{"", "Jazz-Funk Hour"}));
    EXPECT_EQ(parts(" - Title"), (QStringList{"", "- Title"}));
    EXPECT_EQ(parts("Artist - "), (QStringList{"", "Artist -"}));
    EXPECT_EQ(parts("  "), (QStringList{"", ""}));
}

TEST(MprisIcon, FoundBesideTheProgramOrInTheInstalledShareFolder) {
    fx::TempDir dir("mpris-icon");
    const QString root = QString::fromStdString(dir.path());
    const QString bin = root + "/bin";
    QDir().mkpath(bin);
    EXPECT_EQ(mpris::findIconFile(bin), "");

    const QString installed = root + "/share/icons/hicolor/48x48/apps/velmora.png";
    touch(installed);
    EXPECT_EQ(mpris::findIconFile(bin), QFileInfo(installed).canonicalFilePath());

    // One beside the program wins over the installed one.
    touch(bin + "/velmora.png");
    EXPECT_EQ(mpris::findIconFile(bin), QFileInfo(bin + "/velmora.png").canonicalFilePath());

    // A folder of that name is no icon.
    fx::TempDir otherDir("mpris-icon");
    const QString other = QString::fromStdString(otherDir.path());
    QDir().mkpath(other + "/velmora.png");
    EXPECT_EQ(mpris::findIconFile(other), "");
}

// ---- on the private bus ----

class MprisBus : public ::testing::Test {
  protected:
    void SetUp() override {
        mpris_ = std::make_unique<Mpris>(port_);
        ASSERT_TRUE(mpris_->registered());
        ASSERT_EQ(mpris_->serviceName(), kService);
    }

    FakePort port_;
    std::unique_ptr<Mpris> mpris_;
    BusClient client_;
};

TEST_F(MprisBus, RootInterfaceDescribesThePlayerAndRaisesAndQuits) {
    EXPECT_EQ(client_.get(kService, kRoot, "Identity").toString(), "VARNO ZIVAV");
    EXPECT_EQ(client_.get(kService, kRoot, "DesktopEntry").toString(), "velmora");
    EXPECT_TRUE(client_.get(kService, kRoot, "CanRaise").toBool());
    EXPECT_TRUE(client_.get(kService, kRoot, "CanQuit").toBool());
    const QVariant hasTrackList = client_.get(kService, kRoot, "HasTrackList");
    ASSERT_TRUE(hasTrackList.isValid());
    EXPECT_FALSE(hasTrackList.toBool());
    EXPECT_TRUE(client_.get(kService, kRoot, "SupportedUriSchemes").isValid());
    EXPECT_TRUE(client_.get(kService, kRoot, "SupportedMimeTypes").isValid());

    EXPECT_TRUE(client_.call(kService, "Raise", {}, kRoot));
    EXPECT_EQ(port_.raises, 1);
    EXPECT_TRUE(client_.call(kService, "Quit", {}, kRoot));
    // Quit waits for the reply to go out before it closes the window.
    EXPECT_TRUE(waitFor([&] { return port_.quits == 1; }));
}

TEST_F(MprisBus, PlayerCapabilitiesOfALiveStream) {
    EXPECT_FALSE(client_.get(kService, kPlayer, "CanSeek").toBool());
    EXPECT_FALSE(client_.get(kService, kPlayer, "CanGoNext").toBool());
    EXPECT_FALSE(client_.get(kService, kPlayer, "CanGoPrevious").toBool());
    EXPECT_TRUE(client_.get(kService, kPlayer, "CanPlay").toBool());
    EXPECT_TRUE(client_.get(kService, kPlayer, "CanPause").toBool());
    EXPECT_TRUE(client_.get(kService, kPlayer, "CanControl").toBool());
    EXPECT_EQ(client_.get(kService, kPlayer, "Rate").toDouble(), 1.0);
    EXPECT_EQ(client_.get(kService, kPlayer, "Position").toLongLong(), 0);

    // The methods a live station cannot honour answer and change nothing.
    port_.playing = true;
    EXPECT_TRUE(client_.call(kService, "Next"));
    EXPECT_TRUE(client_.call(kService, "Previous"));
    EXPECT_TRUE(client_.call(kService, "Seek", {qlonglong(5000000)}));
    EXPECT_TRUE(
        client_.call(kService, "SetPosition",
                     {QVariant::fromValue(QDBusObjectPath("/org/velmora/track/1")), qlonglong(0)}));
    EXPECT_TRUE(client_.call(kService, "OpenUri", {QString("http://127.0.0.1:1/x.mp3")}));
    EXPECT_EQ(port_.plays + port_.stops, 0);
    EXPECT_TRUE(port_.playing);
}

TEST_F(MprisBus, PlayerctlStatusFollowsTheEngineAndChangesAreAnnounced) {
    ChangeRecorder recorder(client_.bus());
    ProcessResult r = playerctl({"status"});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_EQ(r.out, "Stopped");

    // The engine starts playing without any call through the bus: the poll notices it.
    port_.playing = true;
    ASSERT_TRUE(waitFor([&] { return recorder.last("PlaybackStatus").isValid(); }));
    EXPECT_EQ(recorder.last("PlaybackStatus").toString(), "Playing");
    r = playerctl({"status"});
    EXPECT_EQ(r.out, "Playing");

    port_.playing = false;
    mpris_->refresh();
    ASSERT_TRUE(waitFor([&] { return recorder.last("PlaybackStatus").toString() == "Stopped"; }));
    EXPECT_EQ(playerctl({"status"}).out, "Stopped");
}

TEST_F(MprisBus, PlayerctlTransportRunsThePlayButtons) {
    ASSERT_EQ(playerctl({"play"}).exitCode, 0);
    EXPECT_EQ(port_.plays, 1);
    // Play while playing leaves the stream alone rather than reconnecting.
    ASSERT_EQ(playerctl({"play"}).exitCode, 0);
    EXPECT_EQ(port_.plays, 1);

    ASSERT_EQ(playerctl({"stop"}).exitCode, 0);
    EXPECT_EQ(port_.stops, 1);
    EXPECT_FALSE(port_.playing);

    ASSERT_EQ(playerctl({"play-pause"}).exitCode, 0);
    EXPECT_EQ(port_.plays, 2);
    EXPECT_TRUE(port_.playing);
    ASSERT_EQ(playerctl({"play-pause"}).exitCode, 0);
    EXPECT_EQ(port_.stops, 2);
    EXPECT_FALSE(port_.playing);

    port_.playing = true;
    ASSERT_EQ(playerctl({"pause"}).exitCode, 0);
    EXPECT_EQ(port_.stops, 3);
    // Stop always reaches the stop button, also while still connecting.
    ASSERT_EQ(playerctl({"stop"}).exitCode, 0);
    EXPECT_EQ(port_.stops, 4);
}

TEST_F(MprisBus, VolumeReadsAndWritesTheSlider) {
    ChangeRecorder recorder(client_.bus());
    ASSERT_EQ(playerctl({"volume", "0.3"}).exitCode, 0);
    EXPECT_EQ(port_.volume, 30);
    EXPECT_DOUBLE_EQ(client_.get(kService, kPlayer, "Volume").toDouble(), 0.3);
    ASSERT_TRUE(waitFor([&] { return recorder.last("Volume").isValid(); }));
    EXPECT_DOUBLE_EQ(recorder.last("Volume").toDouble(), 0.3);

    // Out-of-range writes are clamped.
    EXPECT_TRUE(client_.set(kService, kPlayer, "Volume", 1.5));
    EXPECT_EQ(port_.volume, 100);
    EXPECT_TRUE(client_.set(kService, kPlayer, "Volume", -1.0));
    EXPECT_EQ(port_.volume, 0);

    // A slider moved in the window is announced and read back.
    port_.volume = 64;
    mpris_->refresh();
    ASSERT_TRUE(waitFor([&] { return recorder.last("Volume").toDouble() == 0.64; }));
    EXPECT_EQ(playerctl({"volume"}).out.toDouble(), 0.64);
}

TEST_F(MprisBus, MetadataFollowsTheSongWithANewTrackId) {
    ChangeRecorder recorder(client_.bus());
    QVariantMap first = toMap(client_.get(kService, kPlayer, "Metadata"));
    EXPECT_EQ(first.value("xesam:title").toString(), "Station A");
    EXPECT_EQ(first.value("xesam:album").toString(), "Station A");
    EXPECT_EQ(first.value("xesam:url").toString(), "http://127.0.0.1:8000/a.mp3");
    EXPECT_TRUE(trackId(first).startsWith(mpris::kTrackPathPrefix));
    EXPECT_EQ(playerctl({"metadata", "title"}).out, "Station A");

    port_.song = QString::fromUtf8("Ünlü - Şarkı");
    mpris_->refresh();
    ASSERT_TRUE(waitFor([&] { return recorder.last("Metadata").isValid(); }));
    const QVariantMap announced = toMap(recorder.last("Metadata"));
    EXPECT_EQ(announced.value("xesam:title").toString(), QString::fromUtf8("Şarkı"));
    EXPECT_NE(trackId(announced), trackId(first));
    EXPECT_EQ(playerctl({"metadata", "title"}).out, QString::fromUtf8("Şarkı"));
    EXPECT_EQ(playerctl({"metadata", "artist"}).out, QString::fromUtf8("Ünlü"));
    EXPECT_EQ(playerctl({"metadata", "album"}).out, "Station A");

    // Reading it again without a change keeps the track id and announces nothing new.
    const size_t count = recorder.changes.size();
    EXPECT_EQ(trackId(toMap(client_.get(kService, kPlayer, "Metadata"))), trackId(announced));
    mpris_->refresh();
    waitFor([] { return false; }, std::chrono::milliseconds(200));
    EXPECT_EQ(recorder.changes.size(), count);
}

TEST_F(MprisBus, SecondPlayerTakesTheInstanceNameAndBothGoAway) {
    FakePort other;
    const QString instance = mpris::instanceServiceName(QCoreApplication::applicationPid());
    {
        Mpris second(other);
        ASSERT_TRUE(second.registered());
        EXPECT_EQ(second.serviceName(), instance);
        EXPECT_TRUE(client_.nameHasOwner(instance));
        // Each answers for its own player.
        EXPECT_TRUE(client_.call(instance, "Play"));
        EXPECT_EQ(other.plays, 1);
        EXPECT_EQ(port_.plays, 0);
    }
    EXPECT_FALSE(client_.nameHasOwner(instance));
    mpris_.reset();
    EXPECT_FALSE(client_.nameHasOwner(kService));
}

// A player that goes away takes its object and name with it, even right after answering a call,
// so the next one gets the usual name and answers for its own port. Under ThreadSanitizer this
// also checks that nothing on Qt's D-Bus thread still touches a player being destroyed.
TEST_F(MprisBus, ReplacedPlayersLeaveNothingBehind) {
    constexpr int kRounds = 8;
    std::array<FakePort, kRounds> ports;
    std::unique_ptr<Mpris> player;  // declared after the ports it refers to
    mpris_.reset();
    for (int round = 0; round < kRounds; ++round) {
        ASSERT_FALSE(client_.nameHasOwner(kService)) << "round " << round;
        ports[round].volume = round;
        player = std::make_unique<Mpris>(ports[round]);
        ASSERT_EQ(player->serviceName(), kService) << "round " << round;
        EXPECT_DOUBLE_EQ(client_.get(kService, kPlayer, "Volume").toDouble(), round / 100.0);
        EXPECT_TRUE(client_.call(kService, "Play"));
        EXPECT_EQ(ports[round].plays, 1);
        player.reset();
    }
}

TEST(MprisNameTaken, AnotherProgramOnTheNameLeavesUsTheInstanceName) {
    BusClient squatter;
    ASSERT_TRUE(squatter.bus().registerService(kService));
    FakePort port;
    Mpris mpris(port);
    ASSERT_TRUE(mpris.registered());
    EXPECT_EQ(mpris.serviceName(), mpris::instanceServiceName(QCoreApplication::applicationPid()));
}

// ---- without a bus ----

TEST(MprisNoBus, AnAddressThatIsNotThereLeavesThePlayerAlone) {
    FakePort port;
    Mpris none(port, QString());
    EXPECT_FALSE(none.registered());
    fx::TempDir dir("mpris-nobus");
    Mpris missing(port, QString::fromStdString("unix:path=" + dir.file("no-such-bus")));
    EXPECT_FALSE(missing.registered());
    // The local calls still reach the player.
    missing.play();
    missing.setVolume(0.25);
    EXPECT_EQ(port.plays, 1);
    EXPECT_EQ(port.volume, 25);
    EXPECT_EQ(missing.playbackStatus(), "Playing");
}

// Run in a child process whose environment names no bus at all (see below).
TEST(MprisNoBus, SessionWithoutBusConstructsSilently) {
    if (qEnvironmentVariableIsEmpty(kNoBusChild)) GTEST_SKIP() << "runs in a child process";
    EXPECT_FALSE(mpris::sessionBusConfigured());
    FakePort port;
    Mpris mpris(port);
    EXPECT_FALSE(mpris.registered());
    mpris.refresh();
    mpris.stop();
    EXPECT_EQ(port.stops, 1);
}

TEST(MprisNoBus, ChildWithoutBusRunsQuietly) {
    if (!qEnvironmentVariableIsEmpty(kNoBusChild)) GTEST_SKIP() << "this is the child";
    fx::TempDir runtime("mpris-runtime");
    fx::ChildProcess child;
    fx::ChildProcess::Options options;
    options.env[kNoBusChild] = "1";
    options.env["XDG_RUNTIME_DIR"] = runtime.path();
    options.unsetEnv = {"DBUS_SESSION_BUS_ADDRESS", "DISPLAY"};
    ASSERT_TRUE(child.start({QCoreApplication::applicationFilePath().toStdString(),
                             "--gtest_filter=MprisNoBus.SessionWithoutBusConstructsSilently"},
                            options));
    const auto status = child.wait(fx::Millis(30000));
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(*status, 0) << child.stdoutText() << child.stderrText();
    EXPECT_NE(child.stdoutText().find("[  PASSED  ] 1 test"), std::string::npos)
        << child.stdoutText();
    EXPECT_EQ(child.stderrText(), "");
}

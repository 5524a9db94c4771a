// The real window and its media controls on the private bus, over the scripted engine: the
// window tells the media controls of each change as it makes it, so every change reaches the
// bus as a signal of its own, in the order the changes were made.
#include <gtest/gtest.h>

#include <QSlider>

#include "app/mpris_port.h"
#include "fake_engine.h"
#include "mpris_test_support.h"
#include "playback/station.h"
#include "playback/windowhandle.h"
#include "ui/frmmain.h"

namespace {

using namespace mprist;

void SendText(TfrmMain& window, uint32_t code, const std::string& text) {
    window.WMPlayerStatus(code, reinterpret_cast<intptr_t>(text.c_str()));
}

TEST(MprisWindow, EachChangeOfTheWindowIsAnnouncedInOrder) {
    fake::Reset();
    StationTitle.clear();
    SongTitle.clear();
    StreamAddress = "http://127.0.0.1:8000/a.mp3";
    TfrmMain window;
    window.sndBar->setValue(50);
    MediaControls controls(window);
    BusClient client;
    ChangeRecorder recorder(client.bus());
    // Let the controls settle what the bus first sees, then record from a clean slate.
    waitFor([] { return false; }, std::chrono::milliseconds(300));
    recorder.changes.clear();

    // All in one turn of the event loop: no timer can run in between, so only the window's
    // own word can part them.
    SendText(window, kStatusStationName, "Radio One");
    SendText(window, kStatusSongTitle, "Artist - First");
    window.sndBar->setValue(30);
    // Longer than the window's cut: the bus gets it whole.
    const std::string longTitle = "Second, " + std::string(60, 'x') + " Mix";
    SendText(window, kStatusSongTitle, "Artist - " + longTitle);
    window.WMPlayerStatus(kStatusBuffering, 40);  // changes nothing the bus shows

    ASSERT_TRUE(waitFor([&] { return recorder.changes.size() >= 4; }));
    waitFor([] { return false; }, std::chrono::milliseconds(300));
    ASSERT_EQ(recorder.changes.size(), 4u);
    const auto title = [&](std::size_t i) {
        return toMap(recorder.changes[i].value("Metadata")).value("xesam:title").toString();
    };
    const auto album = [&](std::size_t i) {
        return toMap(recorder.changes[i].value("Metadata")).value("xesam:album").toString();
    };
    EXPECT_EQ(recorder.changes[0].keys(), QStringList{"Metadata"});
    EXPECT_EQ(title(0), "Radio One");  // no song yet: the station stands in
    EXPECT_EQ(album(0), "Radio One");
    EXPECT_EQ(recorder.changes[1].keys(), QStringList{"Metadata"});
    EXPECT_EQ(title(1), "First");
    EXPECT_EQ(toMap(recorder.changes[1].value("Metadata")).value("xesam:artist").toStringList(),
              QStringList{"Artist"});
    EXPECT_EQ(recorder.changes[2].keys(), QStringList{"Volume"});
    EXPECT_DOUBLE_EQ(recorder.changes[2].value("Volume").toDouble(), 0.3);
    EXPECT_EQ(recorder.changes[3].keys(), QStringList{"Metadata"});
    EXPECT_EQ(title(3), QString::fromStdString(longTitle));
    EXPECT_EQ(album(3), "Radio One");
}

}  // namespace

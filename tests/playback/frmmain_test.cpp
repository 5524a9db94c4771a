// Opening a station, play, stop, the watchdog and the error box, over the scripted engine.
#include <chrono>
#include <thread>
#include <gtest/gtest.h>

#include "player_support.h"

namespace {

using test::Playable;
using test::PlayerTest;

std::string StationRecord(const std::string& title, const std::string& stream) {
    std::string bytes(153, '\0');
    bytes[0] = char(title.size());
    bytes.replace(1, title.size(), title);
    bytes[92] = char(stream.size());
    bytes.replace(93, stream.size(), stream);
    return bytes;
}

TEST_F(PlayerTest, NoLocationNoRecordPlaysBuiltInStation) {
    fake::Script(DefaultStreamAddress, Playable(3));
    form->OpenLocation("");
    EXPECT_EQ(test::Text(form->Label4), "VARNO ZIVAV");
    EXPECT_EQ(test::Text(form->Label3), "VARNO ZIVAV 96.2");
    EXPECT_EQ(HomeAddress, DefaultHomeAddress);
    EXPECT_EQ(StreamAddress, DefaultStreamAddress);
    ASSERT_TRUE(test::WaitForWorkers());
    EXPECT_EQ(StationTitle, "VARNO ZIVAV");
    EXPECT_EQ(test::Text(form->Label4), "VARNO ZIVAV");
    EXPECT_EQ(StreamHandle.load(), 3u);
    // Output stopped, current stream freed, worker started, output started again.
    const int stop = fake::FindCall("AE_Stop()");
    const int free = fake::FindCall("AE_StreamFree(0)");
    const int start = fake::FindCall("AE_Start()");
    EXPECT_GE(stop, 0);
    EXPECT_GT(free, stop);
    EXPECT_GT(start, free);
    EXPECT_EQ(fake::CountCalls("AE_StreamCreateURL(" + std::string(DefaultStreamAddress)), 1);
}

TEST_F(PlayerTest, RecordNamesTheStationAndEmptyFieldsFallBack) {
    SetStationRecordPath(dir.write("velmora.dta", StationRecord("Kayit FM", "")));
    fake::Script(DefaultStreamAddress, Playable(3));
    form->OpenLocation("");
    EXPECT_EQ(StationTitle, "Kayit FM");
    EXPECT_EQ(StreamAddress, DefaultStreamAddress);
    EXPECT_EQ(HomeAddress, DefaultHomeAddress);
    EXPECT_EQ(test::Text(form->Label4), "Kayit FM");

    SetStationRecordPath(dir.write("b.dta", StationRecord("", "http://rec/")));
    form->OpenLocation("");
    EXPECT_EQ(StreamAddress, "http://rec/");
    EXPECT_EQ(StationTitle, "VARNO ZIVAV");
}

// The box names the file, and the built-in station plays rather than nothing.
TEST_F(PlayerTest, RecordReadErrorNamesTheFileAndPlaysTheBuiltInStation) {
    const std::string record = dir.symlink("velmora.dta", "/dev/zero");
    SetStationRecordPath(record);
    QCoreApplication::setApplicationName("VARNO ZIVAV");
    fake::Script(DefaultStreamAddress, Playable(3));
    form->OpenLocation("");
    ASSERT_EQ(errorBoxes.size(), 1u);
    EXPECT_EQ(errorBoxes[0].first, "VARNO ZIVAV");
    EXPECT_NE(errorBoxes[0].second.find("\"" + record + "\""), std::string::npos)
        << errorBoxes[0].second;
    EXPECT_NE(errorBoxes[0].second.find("I/O error " + std::to_string(ENXIO)), std::string::npos);
    EXPECT_EQ(StreamAddress, DefaultStreamAddress);
    EXPECT_EQ(StationTitle, DefaultStationName);
    ASSERT_TRUE(test::WaitForWorkers());
    EXPECT_EQ(fake::CountCalls("AE_StreamCreateURL(" + std::string(DefaultStreamAddress)), 1);
}

TEST_F(PlayerTest, UnopenablePlaylistIsShownAndStartsNoWorker) {
    form->OpenLocation(dir.socket("station.m3u"));
    ASSERT_EQ(errorBoxes.size(), 1u);
    EXPECT_EQ(errorBoxes[0].second.rfind("Cannot open file \"", 0), 0u);
    EXPECT_EQ(errorBoxes[0].second.back(), '.');
    EXPECT_EQ(fake::CountCalls("AE_StreamCreateURL"), 0);
}

TEST_F(PlayerTest, ExtensionInCapitalsSelectsTheReader) {
    fake::Script("http://caps/", Playable(4));
    form->OpenLocation(dir.write("LIST.PLS", "[playlist]\nFile1=http://caps/\nTitle1=Caps\n"));
    EXPECT_EQ(StreamAddress, "http://caps/");
    ASSERT_TRUE(test::WaitForWorkers());
    EXPECT_EQ(StreamHandle.load(), 4u);
    EXPECT_EQ(test::Text(form->Label4), "Caps");
}

TEST_F(PlayerTest, AsxAndM3uLocations) {
    fake::Script("http://asx/", Playable(5));
    form->OpenLocation(dir.write("a.Asx", "<title>Asx</title>\n<ref href=\"http://asx/\"/>\n"));
    EXPECT_EQ(StationTitle, " Asx ");
    EXPECT_EQ(StreamAddress, "http://asx/");
    form->OpenLocation(dir.write("b.m3u", "#EXTINF:-1,M3u\nhttps://m3u/\n"));
    EXPECT_EQ(StationTitle, "M3u");
    EXPECT_EQ(StreamAddress, "https://m3u/");
}

TEST_F(PlayerTest, HandOffClearsTitleButKeepsHomeAddress) {
    fake::Script("http://one/", Playable(6));
    fake::Script("http://two/", Playable(7));
    openPls("http://one/", "First Title");
    HomeAddress = "http://home-kept/";
    form->WMOpenLocation(dir.write("two.pls", "File1=http://two/\n"));
    EXPECT_EQ(StationTitle, "");
    ASSERT_TRUE(test::WaitForWorkers());
    EXPECT_EQ(StationTitle, "http://home-kept/");
    EXPECT_EQ(HomeAddress, "http://home-kept/");
    EXPECT_EQ(StreamHandle.load(), 7u);
    EXPECT_FALSE(fake::IsLive(6));
}

TEST_F(PlayerTest, VolumeReadBackRoundsHalvesToEven) {
    const std::pair<float, int> cases[] = {{0.125f, 12}, {0.375f, 38}, {0.37f, 37}, {1.0f, 100},
                                           {0.0f, 0},    {0.005f, 0},  {0.875f, 88}};
    for (const auto& [volume, position] : cases) {
        fake::SetVolumeValue(volume);
        form->btnPlayClick();
        EXPECT_EQ(form->sndBar->value(), position) << volume;
        ASSERT_TRUE(test::WaitForWorkers());
    }
    fake::SetVolumeValue(0.625f);
    form->OpenLocation("");
    EXPECT_EQ(form->sndBar->value(), 62);
    EXPECT_EQ(fake::CountCalls("AE_SetVolume"), 0);  // the read-back does not set the volume
}

TEST_F(PlayerTest, StopDisablesWatchdogAndPlayReconnects) {
    fake::Script("http://s/", Playable(8));
    openPls("http://s/");
    fake::ClearCalls();
    form->btnDurClick();
    EXPECT_FALSE(form->TimerKontrol->isActive());
    form->TimerKontrol->setTimerType(Qt::PreciseTimer);  // so remainingTime() is exact below
    EXPECT_EQ(fake::Calls(), (std::vector<std::string>{"AE_Stop()"}));
    EXPECT_TRUE(fake::IsLive(8));  // not freed

    fake::Script("http://s/", Playable(9));
    form->btnPlayClick();
    EXPECT_TRUE(form->TimerKontrol->isActive());
    ASSERT_TRUE(test::WaitForWorkers());
    EXPECT_FALSE(fake::IsLive(8));  // the worker freed the previous stream
    EXPECT_EQ(StreamHandle.load(), 9u);
    EXPECT_EQ(fake::CountCalls("AE_StreamCreateURL(http://s/"), 1);

    // Play while the watchdog runs enables it without restarting its countdown.
    ASSERT_TRUE(test::PumpUntil([&] { return form->TimerKontrol->remainingTime() < 25000 - 100; }));
    form->btnPlayClick();
    EXPECT_LT(form->TimerKontrol->remainingTime(), 25000 - 100);
    ASSERT_TRUE(test::WaitForWorkers());
}

TEST_F(PlayerTest, WatchdogRestartsOnlyWhenNotPlaying) {
    EXPECT_TRUE(form->TimerKontrol->isActive());
    EXPECT_EQ(form->TimerKontrol->interval(), 25000);
    fake::Script("http://s/", Playable(10));
    openPls("http://s/");
    fake::ClearCalls();
    form->TimerKontrolTimer();
    EXPECT_TRUE(fake::Calls().empty());

    fake::SetActive(10, AE_ACTIVE_STALLED);
    fake::Script("http://s/", Playable(11));
    form->TimerKontrolTimer();
    EXPECT_EQ(test::Text(form->Label4), "Servis Yok");
    ASSERT_TRUE(test::WaitForWorkers());
    EXPECT_EQ(StreamHandle.load(), 11u);
    EXPECT_TRUE(form->TimerKontrol->isActive());
}

TEST_F(PlayerTest, WatchdogRetriesEmptyLocation) {
    form->OpenLocation("http://host/stream.mp3");
    ASSERT_TRUE(test::WaitForWorkers());
    form->TimerKontrolTimer();
    ASSERT_TRUE(test::WaitForWorkers());
    EXPECT_EQ(fake::CountCalls("AE_StreamCreateURL(,"), 2);
    EXPECT_EQ(test::Text(form->Label4), "Servis Yok");
}

TEST_F(PlayerTest, FormDestroyClosesHandleThenFreesEngine) {
    form->FormDestroy();
    EXPECT_FALSE(MainWindowHandle.isOpen());
    EXPECT_EQ(fake::CountCalls("AE_Free"), 1);
    form->FormDestroy();
    EXPECT_EQ(fake::CountCalls("AE_Free"), 1);
}

// A worker blocked in a send when the window closes returns at once, and its message is never
// handled, so closing cannot dead-lock.
TEST_F(PlayerTest, ClosingReleasesWaitingWorker) {
    auto slow = Playable(12);
    slow.block = true;
    fake::Script("http://slow/", slow);
    form->OpenLocation(dir.write("a.pls", "File1=http://slow/\n"));
    ASSERT_TRUE(test::PumpUntil([&] { return form->received.size() == 1; }));  // code 0
    ASSERT_TRUE(test::PumpUntil([] { return fake::IsBlocked("http://slow/"); }));
    fake::Release("http://slow/");
    // The worker now waits in its next send (code 2); the window does not run its events.
    const auto sent = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (MainWindowHandle.waitingCalls() == 0 && std::chrono::steady_clock::now() < sent)
        std::this_thread::yield();
    form->FormDestroy();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (ConnectWorkersRunning() != 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(ConnectWorkersRunning(), 0);
    QCoreApplication::processEvents();
    EXPECT_EQ(form->received.size(), 1u);
}

}  // namespace

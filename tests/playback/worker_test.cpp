// The connection worker and the stream tags, over the scripted engine.
#include <gtest/gtest.h>

#include "player_support.h"
#include "playback/streamtags.h"

namespace {

using test::Playable;
using test::PlayerTest;
using Codes = std::vector<uint32_t>;

TEST_F(PlayerTest, UnreachableAddressSendsConnectingThenNoService) {
    fake::Script("http://live/", Playable(5));
    openPls("http://live/");
    ASSERT_EQ(StreamHandle.load(), 5u);
    form->received.clear();
    fake::ClearCalls();

    StreamAddress = "http://unreachable/";
    form->btnPlayClick();
    ASSERT_TRUE(test::WaitForWorkers());
    EXPECT_EQ(form->codes(), (Codes{0, 1}));
    EXPECT_EQ(StreamHandle.load(), 0u);
    EXPECT_FALSE(fake::IsLive(5));  // the previous stream was freed all the same
    EXPECT_EQ(fake::CountCalls("AE_ChannelPlay"), 0);
    EXPECT_EQ(fake::CountCalls("AE_ChannelSetSync"), 0);
    EXPECT_EQ(test::Text(form->Label4), "Servis Yok");
}

TEST_F(PlayerTest, EmptyLocationFailsTheSameWay) {
    form->OpenLocation("http://host/stream");  // no playlist: no address
    ASSERT_TRUE(test::WaitForWorkers());
    EXPECT_EQ(StreamAddress, "");
    EXPECT_EQ(form->codes(), (Codes{0, 1}));
    EXPECT_NE(fake::FindCall("AE_StreamCreateURL(,0,0x940000)"), -1);
}

TEST_F(PlayerTest, BufferingGoesOnAt75AndEndsAt76) {
    auto script = Playable(7);
    script.positions[AE_FILEPOS_END] = {200};
    script.positions[AE_FILEPOS_DOWNLOAD] = {10, 150, 152, 199};
    script.positions[AE_FILEPOS_CURRENT] = {0};
    fake::Script("http://s/", script);
    openPls("http://s/");
    EXPECT_EQ(form->percentages(), (std::vector<intptr_t>{5, 75, 76}));
    EXPECT_NE(fake::FindCall("AE_ChannelPlay(7,0)"), -1);
}

TEST_F(PlayerTest, BufferAlreadyFullSendsOneMessage) {
    fake::Script("http://s/", Playable(7));
    openPls("http://s/");
    EXPECT_EQ(form->percentages(), (std::vector<intptr_t>{90}));
    const Codes codes = form->codes();
    ASSERT_GE(codes.size(), 2u);
    EXPECT_EQ(codes[0], 0u);
    EXPECT_EQ(codes[1], 2u);
}

TEST_F(PlayerTest, FailingOrZeroEndPositionSkipsBufferingAndPlays) {
    for (std::vector<uint64_t> end : {std::vector<uint64_t>{}, std::vector<uint64_t>{0}}) {
        fake::Reset();
        form->received.clear();
        auto script = Playable(8);
        script.positions[AE_FILEPOS_END] = end;
        fake::Script("http://s/", script);
        openPls("http://s/");
        EXPECT_TRUE(form->percentages().empty());
        EXPECT_NE(fake::FindCall("AE_ChannelPlay(8,0)"), -1);
    }
}

TEST_F(PlayerTest, SettledTitleFallsBackToStreamAddressConstant) {
    fake::Script("http://s/", Playable(9));
    openPls("http://s/");
    EXPECT_EQ(HomeAddress, DefaultStreamAddress);
    EXPECT_EQ(StationTitle, DefaultStreamAddress);
    EXPECT_EQ(test::Text(form->Label4), DefaultStreamAddress);
}

TEST_F(PlayerTest, PlaylistTitleStaysAndIsShown) {
    fake::Script("http://s/", Playable(9));
    openPls("http://s/", "My Radio");
    EXPECT_EQ(StationTitle, "My Radio");
    EXPECT_EQ(HomeAddress, DefaultStreamAddress);
    EXPECT_EQ(test::Text(form->Label4), "My Radio");
}

TEST_F(PlayerTest, IcyHeadersGiveNameAndFormat) {
    auto script = Playable(10);
    script.tags[AE_TAG_ICY] = fake::List({"ICY 200 OK", "icy-name:Radio One", "icy-br:128"});
    script.tags[AE_TAG_META] = "StreamTitle='Artist - Song';StreamUrl='';";
    fake::Script("http://s/", script);
    openPls("http://s/");
    EXPECT_EQ(form->texts(3), (std::vector<std::string>{"Radio One"}));
    EXPECT_EQ(test::Text(form->Label4), "Radio One");
    EXPECT_EQ(test::Text(form->Label3), "Artist - Song");
    EXPECT_EQ(test::Text(form->lKbps), "128 kbps mp3");
    EXPECT_EQ(test::Text(form->lHz), "44100 Hz Stereo ");
    EXPECT_EQ(form->codes(), (Codes{0, 2, 3, 7}));
}

TEST_F(PlayerTest, NameWithBlankAndCapitalisedHeaders) {
    auto script = Playable(10);
    script.tags[AE_TAG_ICY] = fake::List({"icy-name: Spaced", "ICY-NAME:Caps", "Icy-Br:64"});
    fake::Script("http://s/", script);
    openPls("http://s/");
    EXPECT_EQ(form->texts(3), (std::vector<std::string>{" Spaced"}));
    EXPECT_EQ(StationTitle, " Spaced");
    // Icy-Br never matches: the number is the engine's measure, unknown here.
    EXPECT_EQ(test::Text(form->lKbps), "0 kbps mp3");
}

TEST_F(PlayerTest, OnlyTheFirstPresentHeaderListIsWalked) {
    auto script = Playable(11);
    script.tags[AE_TAG_ICY] = fake::List({"ICY 200 OK", "icy-name:Icy"});
    script.tags[AE_TAG_HTTP] = fake::List({"HTTP/1.0 200 OK", "ice-bitrate:96", "icy-br:96"});
    script.bitrate = 96.0f;
    fake::Script("http://s/", script);
    openPls("http://s/");
    // The ICY list has no icy-br entry, so the HTTP list's 96 is never read: the labels show
    // the engine's own measure and the stream's format all the same.
    EXPECT_EQ(test::Text(form->lKbps), "96 kbps mp3");
    EXPECT_EQ(test::Text(form->lHz), "44100 Hz Stereo ");
}

// A station without a bitrate header must not keep showing the previous station's format.
TEST_F(PlayerTest, FormatLabelsFollowEveryStation) {
    auto first = Playable(17);
    first.tags[AE_TAG_ICY] = fake::List({"ICY 200 OK", "icy-br:128"});
    fake::Script("http://a/", first);
    openPls("http://a/");
    EXPECT_EQ(test::Text(form->lKbps), "128 kbps mp3");

    auto second = Playable(18);
    second.info = AE_CHANNELINFO{48000, 1, 0, AE_CTYPE_STREAM_AAC, 0, 0, 0, nullptr};
    second.tags[AE_TAG_HTTP] = fake::List({"HTTP/1.0 200 OK", "icy-name:Plain"});
    second.bitrate = 64.0f;
    fake::Script("http://b/", second);
    openPls("http://b/");
    EXPECT_EQ(test::Text(form->lKbps), "64 kbps aac");
    EXPECT_EQ(test::Text(form->lHz), "48000 Hz Mono ");
}

TEST_F(PlayerTest, HttpHeadersAndOggCommentsAreScanned) {
    auto script = Playable(12);
    script.info = AE_CHANNELINFO{22050, 1, 0, AE_CTYPE_STREAM_OGG, 0, 0, 0, nullptr};
    script.tags[AE_TAG_HTTP] =
        fake::List({"HTTP/1.0 200 OK", "icy-name:Http Radio", "ice-bitrate: 112 ", "icy-br:1"});
    fake::Script("http://s/", script);
    openPls("http://s/");
    EXPECT_EQ(form->texts(3), (std::vector<std::string>{"Http Radio"}));
    // icy-br: shows the labels; the number is the first ice-bitrate/icy-br header's.
    EXPECT_EQ(test::Text(form->lKbps), "112 kbps ogg");
    EXPECT_EQ(test::Text(form->lHz), "22050 Hz Mono ");
}

// With no usable header value, the number is the engine's measure of the stream's bitrate,
// not bytes of decoded audio per millisecond (176 for any 44.1 kHz stereo stream).
TEST_F(PlayerTest, BitrateWithoutHeaderValueIsTheEnginesMeasure) {
    auto script = Playable(13);
    script.tags[AE_TAG_ICY] = fake::List({"ICY 200 OK", "icy-br: "});
    script.bytesPerMillisecond = 176;
    script.bitrate = 127.6f;
    fake::Script("http://s/", script);
    openPls("http://s/");
    EXPECT_EQ(test::Text(form->lKbps), "128 kbps mp3");

    fake::Reset();
    script.bitrate.reset();
    fake::Script("http://s/", script);
    openPls("http://s/");
    EXPECT_EQ(test::Text(form->lKbps), "0 kbps mp3");
}

TEST_F(PlayerTest, LastIcyBitrateEntryWins) {
    auto script = Playable(14);
    script.tags[AE_TAG_ICY] = fake::List({"icy-br:64", "icy-br:192"});
    fake::Script("http://s/", script);
    openPls("http://s/");
    EXPECT_EQ(test::Text(form->lKbps), "192 kbps mp3");
}

TEST_F(PlayerTest, MetadataSyncsKeepSongTitleCurrent) {
    auto script = Playable(15);
    script.tags[AE_TAG_META] = "StreamTitle='First';";
    fake::Script("http://s/", script);
    openPls("http://s/");
    EXPECT_EQ(fake::SyncCount(15, AE_SYNC_META), 2);
    EXPECT_EQ(fake::SyncCount(15, AE_SYNC_OGG_CHANGE), 1);
    EXPECT_EQ(fake::SyncCount(15, AE_SYNC_WMA_META), 0);
    // The title at connection is sent before playback starts.
    EXPECT_LT(fake::FindCall("AE_ChannelSetSync(15,4"), fake::FindCall("AE_ChannelPlay(15"));

    fake::SetTags(15, AE_TAG_META, std::string("StreamTitle='Second';"));
    form->received.clear();
    // From the engine's sync thread, while the window thread runs its events.
    std::thread sync([] { fake::FireSync(15, AE_SYNC_META); });
    ASSERT_TRUE(test::PumpUntil([&] { return form->received.size() == 2; }));
    sync.join();
    EXPECT_EQ(form->texts(7), (std::vector<std::string>{"Second", "Second"}));
    EXPECT_EQ(test::Text(form->Label3), "Second");

    fake::SetTags(15, AE_TAG_META, std::string("StreamUrl='x';"));
    form->received.clear();
    fake::FireSync(15, AE_SYNC_OGG_CHANGE);  // from the window thread: handled at once
    EXPECT_TRUE(form->received.empty());
}

TEST_F(PlayerTest, WindowsMediaStreamTakesItsOwnPath) {
    auto script = Playable(16);
    script.positions[AE_FILEPOS_WMA_BUFFER] = {40, 80};
    script.tags[AE_TAG_WMA] = fake::List({"author=Someone", "title=Header Title"});
    script.tags[AE_TAG_WMA_META] = fake::List({"author=A", "title=Live Song", "title=Other"});
    script.tags[AE_TAG_ICY] = fake::List({"icy-name:Not Used", "icy-br:128"});
    fake::Script("mms://s/", script);
    openPls("mms://s/");
    EXPECT_TRUE(IsWmaStream.load());
    EXPECT_EQ(form->percentages(), (std::vector<intptr_t>{40, 80}));
    EXPECT_EQ(form->texts(3), (std::vector<std::string>{"1: Live Song", "1: Other"}));
    EXPECT_EQ(form->texts(7), (std::vector<std::string>{"Live Song"}));
    // The format labels are set once; the bitrate comes from the headers as for any stream.
    EXPECT_EQ(test::Text(form->lKbps), "128 kbps mp3");
    EXPECT_EQ(test::Text(form->Label4), "1: Live Song");
    EXPECT_EQ(fake::SyncCount(16, AE_SYNC_WMA_META), 1);
    EXPECT_EQ(fake::SyncCount(16, AE_SYNC_WMA_CHANGE), 1);
    EXPECT_EQ(fake::SyncCount(16, AE_SYNC_META), 1);

    form->received.clear();
    fake::FireSync(16, AE_SYNC_WMA_CHANGE);
    EXPECT_EQ(form->texts(3), (std::vector<std::string>{"Header Title"}));
}

TEST_F(PlayerTest, FailedWindowsMediaBufferQueryEndsTheLoop) {
    auto script = Playable(17);
    script.positions[AE_FILEPOS_WMA_BUFFER] = {};
    script.tags[AE_TAG_WMA] = fake::List({"title=x"});
    fake::Script("mms://s/", script);
    openPls("mms://s/");
    EXPECT_EQ(form->percentages(), (std::vector<intptr_t>{-1}));
    EXPECT_NE(fake::FindCall("AE_ChannelPlay(17,0)"), -1);
}

// A worker started while an older one is still connecting aborts the older one's connection
// and wins.
TEST_F(PlayerTest, NewerWorkerSupersedesOlder) {
    auto slow = Playable(21);
    slow.block = true;
    slow.tags[AE_TAG_ICY] = fake::List({"icy-name:Slow"});
    fake::Script("http://slow/", slow);
    auto fast = Playable(22);
    fast.tags[AE_TAG_ICY] = fake::List({"icy-name:Fast"});
    fake::Script("http://fast/", fast);

    form->OpenLocation(dir.write("slow.pls", "File1=http://slow/\n"));
    ASSERT_TRUE(test::PumpUntil([] { return fake::IsBlocked("http://slow/"); }));
    form->OpenLocation(dir.write("fast.pls", "File1=http://fast/\n"));
    ASSERT_TRUE(test::PumpUntil([] { return fake::FindCall("AE_ChannelPlay(22") != -1; }));
    const auto before = form->received.size();
    // The older creation was aborted before the newer one began.
    EXPECT_FALSE(fake::IsBlocked("http://slow/"));
    EXPECT_NE(fake::FindCall("AE_StreamCreateAbort()"), -1);
    EXPECT_LT(fake::FindCall("AE_StreamCreateAbort()"),
              fake::FindCall("AE_StreamCreateURL(http://fast/"));

    fake::Release("http://slow/");
    ASSERT_TRUE(test::WaitForWorkers());
    EXPECT_EQ(form->received.size(), before);  // the older worker sent nothing more
    EXPECT_EQ(StreamHandle.load(), 22u);
    EXPECT_FALSE(fake::IsLive(21));  // it freed its own stream
    EXPECT_TRUE(fake::IsLive(22));
    EXPECT_EQ(fake::CountCalls("AE_ChannelPlay"), 1);
    EXPECT_EQ(test::Text(form->Label4), "Fast");
}

// A worker superseded after its last check acts on its own stream only: held in its first sync
// registration while a newer worker connects and plays, it then registers nothing on, and never
// starts, the newer worker's stream.
TEST_F(PlayerTest, WorkerSupersededAfterItsCheckKeepsToItsOwnStream) {
    const std::string firstSync = "AE_ChannelSetSync(41,";
    fake::Script("http://old/", Playable(41));
    fake::Script("http://new/", Playable(42));
    fake::HoldCall(firstSync);
    form->OpenLocation(dir.write("old.pls", "File1=http://old/\n"));
    ASSERT_TRUE(test::PumpUntil(
        [&] { return fake::WaitCallHeld(firstSync, std::chrono::milliseconds(0)); }));

    StreamAddress = "http://new/";
    form->btnPlayClick();
    ASSERT_TRUE(test::PumpUntil([] { return fake::FindCall("AE_ChannelPlay(42") != -1; }));
    fake::ReleaseCall(firstSync);
    ASSERT_TRUE(test::WaitForWorkers());

    EXPECT_EQ(fake::CountCalls("AE_ChannelSetSync(42,"), 3);  // the newer worker's own
    EXPECT_EQ(fake::SyncCount(42, AE_SYNC_OGG_CHANGE), 1);
    EXPECT_EQ(fake::CountCalls("AE_ChannelPlay"), 1);
    EXPECT_EQ(StreamHandle.load(), 42u);
    EXPECT_FALSE(fake::IsLive(41));
}

TEST_F(PlayerTest, SupersededWhileBufferingStopsAndFreesOwnStream) {
    auto stalled = Playable(31);
    stalled.positions[AE_FILEPOS_DOWNLOAD] = {100};  // 10 %: never done
    fake::Script("http://stalled/", stalled);
    fake::Script("http://next/", Playable(32));

    form->OpenLocation(dir.write("a.pls", "File1=http://stalled/\n"));
    ASSERT_TRUE(test::PumpUntil([&] { return form->percentages().size() >= 3; }));
    StreamAddress = "http://next/";
    form->btnPlayClick();
    ASSERT_TRUE(test::WaitForWorkers());
    EXPECT_FALSE(fake::IsLive(31));
    EXPECT_EQ(StreamHandle.load(), 32u);
    EXPECT_EQ(fake::CountCalls("AE_ChannelPlay(31"), 0);
    EXPECT_EQ(fake::CountCalls("AE_ChannelPlay(32"), 1);
}

}  // namespace

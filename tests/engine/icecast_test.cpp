// The engine against a real Icecast 2 server fed by ffmpeg, heard through the PulseAudio
// null sink: MP3, AAC (ADTS), Ogg Vorbis, Opus and FLAC mounts, volume, stop and start, levels,
// chained Ogg streams, a source that goes away and comes back, a sound server
// that crashes and comes back (PulseAudio and PipeWire's PulseAudio server).
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <sstream>

#include "engine_test_support.h"

namespace enginetest {
namespace {

using namespace std::chrono_literals;

class IcecastTest : public EngineTest {
  protected:
    void SetUp() override {
        EngineTest::SetUp();
        if (HasFatalFailure()) return;
        // Real servers on a loaded machine: give the answer time.
        AE_SetConfig(AE_CONFIG_NET_TIMEOUT, 20000);
        ASSERT_TRUE(ice_.start()) << ice_.error();
    }

    AE_HANDLE connect(const std::string& mount) {
        AE_HANDLE h = AE_StreamCreateURL(ice_.url(mount).c_str(), 0, 0x940000, nullptr, nullptr);
        EXPECT_NE(h, 0u) << mount << " error " << AE_ErrorGetCode();
        return h;
    }

    // Records `seconds` more and returns the analysis of that span.
    fx::Analysis listen(fx::Recorder& rec, double seconds) {
        size_t from = rec.framesSoFar();
        auto frames = static_cast<size_t>(seconds * 44100);
        EXPECT_TRUE(rec.waitForFrames(from + frames, 30s));
        return fx::analyze(rec.samplesSoFar(), from, from + frames);
    }

    // Waits until a 100 ms span recorded from now on shows `heard`: the engine's action has
    // reached the listener.
    bool reaches(fx::Recorder& rec, const std::function<bool(const fx::Analysis&)>& heard) {
        constexpr size_t kSpan = 4410;
        size_t at = rec.framesSoFar();
        for (int span = 0; span < 300; ++span, at += kSpan) {
            if (!rec.waitForFrames(at + kSpan, 30s)) return false;
            if (heard(fx::analyze(rec.samplesSoFar(), at, at + kSpan))) return true;
        }
        return false;
    }

    fx::Icecast ice_;
};

// The audio bytes per second of sound of the stream's first seconds, as ffprobe reads them
// from a connection of its own (it starts in the server's burst, as the engine does).
double audioByteRate(const std::string& url) {
    fx::ChildProcess p;
    if (!p.start({"ffprobe", "-v", "error", "-select_streams", "a", "-show_entries",
                  "packet=duration_time,size", "-of", "csv=p=0", "-read_intervals", "%+4", url}) ||
        p.wait(std::chrono::seconds(30)) != 0)
        return 0;
    double seconds = 0, bytes = 0;
    std::istringstream lines(p.stdoutText());
    for (std::string line; std::getline(lines, line);) {
        double duration = 0, size = 0;
        if (std::sscanf(line.c_str(), "%lf,%lf", &duration, &size) == 2) {
            seconds += duration;
            bytes += size;
        }
    }
    return seconds > 0 ? bytes / seconds : 0;
}

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

// The download buffer holds the configured milliseconds of sound at the stream's real byte
// rate, whatever its nominal rate: a steady tone in Vorbis or Opus sends far fewer bytes than
// the nominal rate, FLAC states none.
TEST_F(IcecastTest, EachCodecConnectsBuffersSoundAndPlaysThe440HzTone) {
    struct Case {
        const char* mount;
        fx::Codec codec;
        uint32_t ctype;
        float kbps;  // the rate the stream declares; 0: none, the measured one
        uint32_t rate = 44100;
    };
    const Case cases[] = {{"a.mp3", fx::Codec::Mp3, AE_CTYPE_STREAM_MP3, 128},
                          {"a.aac", fx::Codec::Aac, AE_CTYPE_STREAM_AAC, 0},
                          {"a.ogg", fx::Codec::Ogg, AE_CTYPE_STREAM_OGG, 96},
                          {"a.opus", fx::Codec::Opus, AE_CTYPE_STREAM_OPUS, 0, 48000},
                          {"a.flac", fx::Codec::OggFlac, AE_CTYPE_STREAM_FLAC_OGG, 0}};
    constexpr double kNetBufferSeconds = 2.0;  // as the test setup configures it
    fx::Recorder rec;
    ASSERT_TRUE(rec.start(*pulse_));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mount);
        ASSERT_TRUE(ice_.startSource(c.mount, c.codec, 440, std::string("Station ") + c.mount))
            << ice_.error();
        AE_HANDLE h = connect(c.mount);
        ASSERT_NE(h, 0u);
        auto http = tagList(AE_ChannelGetTags(h, AE_TAG_HTTP));
        ASSERT_FALSE(http.empty());
        EXPECT_EQ(http[0], "HTTP/1.0 200 OK");
        EXPECT_TRUE(hasEntry(AE_ChannelGetTags(h, AE_TAG_HTTP),
                             std::string("icy-name:Station ") + c.mount));
        AE_CHANNELINFO info{};
        ASSERT_TRUE(AE_ChannelGetInfo(h, &info));
        EXPECT_EQ(info.ctype, c.ctype);
        EXPECT_EQ(info.freq, c.rate);
        EXPECT_EQ(info.chans, 2u);
        if (c.codec == fx::Codec::Ogg || c.codec == fx::Codec::Opus) {
            EXPECT_NE(AE_ChannelGetTags(h, AE_TAG_OGG), nullptr);
        }
        // The server's burst fills the buffer at once; the fill must still stay within 100%.
        int fill = highestFill(h, 300ms);
        EXPECT_GE(fill, 0) << "no end position";
        EXPECT_LE(fill, 100);
        EXPECT_GE(bufferUntil76(h), 76);
        const double realRate = audioByteRate(ice_.url(c.mount));
        const auto bufferBytes = static_cast<double>(AE_StreamGetFilePosition(h, AE_FILEPOS_END));
        float kbps = 0;
        EXPECT_TRUE(AE_ChannelGetAttribute(h, AE_ATTRIB_BITRATE, &kbps));
        ASSERT_TRUE(AE_ChannelPlay(h, 0));
        ASSERT_TRUE(waitFor([&] { return AE_ChannelIsActive(h) == AE_ACTIVE_PLAYING; }, 15s));
        fill = highestFill(h, 300ms);
        EXPECT_GE(fill, 0) << "no end position";
        EXPECT_LE(fill, 100);
        ASSERT_TRUE(reaches(rec, [](const fx::Analysis& a) { return a.peak > 2000; }));
        auto a = listen(rec, 2.0);
        EXPECT_NEAR(a.frequencyHz, 440, 5);
        EXPECT_GT(a.peak, 2000);
        ASSERT_GT(realRate, 0);
        EXPECT_NEAR(bufferBytes / realRate, kNetBufferSeconds, kNetBufferSeconds * 0.2)
            << bufferBytes << " bytes buffered at " << realRate << " bytes/s";
        if (c.kbps > 0) {
            EXPECT_EQ(kbps, c.kbps);
        } else {
            EXPECT_NEAR(kbps, realRate * 8 / 1000, realRate * 8 / 1000 * 0.1);
        }
        EXPECT_TRUE(AE_StreamFree(h));
        ice_.stopSource(c.mount);
    }
}

TEST_F(IcecastTest, VolumeStopStartAndLevelsActOnWhatIsHeard) {
    ASSERT_TRUE(ice_.startSource("full.mp3", fx::Codec::Mp3, 440, "Loud", 0.9)) << ice_.error();
    fx::Recorder rec;
    ASSERT_TRUE(rec.start(*pulse_));
    AE_HANDLE h = connect("full.mp3");
    ASSERT_NE(h, 0u);
    ASSERT_TRUE(AE_SetVolume(1.0f));
    ASSERT_TRUE(AE_ChannelPlay(h, 0));
    ASSERT_TRUE(waitFor([&] { return AE_ChannelIsActive(h) == AE_ACTIVE_PLAYING; }, 15s));
    ASSERT_TRUE(reaches(rec, [](const fx::Analysis& a) { return a.peak > 27000; }));
    auto loud = listen(rec, 1.0);
    EXPECT_NEAR(loud.frequencyHz, 440, 5);
    EXPECT_GT(loud.peak, 27000);
    uint32_t level = AE_ChannelGetLevel(h);
    EXPECT_GT(level & 0xFFFF, 27000u);
    EXPECT_GT(level >> 16, 27000u);

    ASSERT_TRUE(AE_SetVolume(0.5f));
    EXPECT_FLOAT_EQ(AE_GetVolume(), 0.5f);
    ASSERT_TRUE(reaches(rec, [&](const fx::Analysis& a) { return a.peak < loud.peak / 4; }));
    // The server's 50 %, on its cubic scale an eighth of the amplitude.
    auto half = listen(rec, 1.0);
    EXPECT_NEAR(half.peak, loud.peak / 8.0, loud.peak * 0.02);
    EXPECT_NEAR(half.rms, loud.rms / 8.0, loud.rms * 0.02);
    // Levels are the stream's own, before the server's volume.
    EXPECT_GT(AE_ChannelGetLevel(h) & 0xFFFF, 27000u);
    EXPECT_FALSE(AE_SetVolume(1.5f));
    EXPECT_EQ(AE_ErrorGetCode(), AE_ERROR_PARAM);

    ASSERT_TRUE(AE_Stop());
    EXPECT_EQ(AE_ChannelIsActive(h), AE_ACTIVE_PAUSED);
    EXPECT_EQ(AE_ChannelGetLevel(h), 0xFFFFFFFFu);
    ASSERT_TRUE(reaches(rec, [](const fx::Analysis& a) { return a.peak < 50; }));
    auto stopped = listen(rec, 1.0);
    EXPECT_LT(stopped.peak, 50);

    ASSERT_TRUE(AE_Start());
    EXPECT_EQ(AE_ChannelIsActive(h), AE_ACTIVE_PLAYING);
    ASSERT_TRUE(reaches(rec, [&](const fx::Analysis& a) { return a.peak > half.peak / 2; }));
    auto resumed = listen(rec, 1.0);
    EXPECT_NEAR(resumed.frequencyHz, 440, 5);
    EXPECT_NEAR(resumed.peak, half.peak, half.peak * 0.1);
    AE_StreamFree(h);
}

struct Heard {
    std::mutex mtx;
    std::vector<std::string> texts;
    uint32_t kind = AE_TAG_META;
};

void OnHeard(AE_SYNC, AE_HANDLE channel, uint32_t, void* user) {
    auto* heard = static_cast<Heard*>(user);
    const char* tags = AE_ChannelGetTags(channel, heard->kind);
    std::string text;
    for (const char* p = tags; p && *p; p += std::strlen(p) + 1) text += std::string(p) + "\n";
    std::lock_guard lock(heard->mtx);
    heard->texts.push_back(text);
}

TEST_F(IcecastTest, ChainedOggStreamFiresSync12WithNewComments) {
    ASSERT_TRUE(ice_.startSource("c.ogg", fx::Codec::Ogg, 440, "Chain")) << ice_.error();
    AE_HANDLE h = connect("c.ogg");
    ASSERT_NE(h, 0u);
    Heard heard;
    heard.kind = AE_TAG_OGG;
    ASSERT_NE(AE_ChannelSetSync(h, AE_SYNC_OGG_CHANGE, 0, OnHeard, &heard), 0u);
    EXPECT_GE(bufferUntil76(h), 76);
    ASSERT_TRUE(AE_ChannelPlay(h, 0));
    ASSERT_TRUE(waitFor([&] { return AE_ChannelIsActive(h) == AE_ACTIVE_PLAYING; }, 15s));
    ASSERT_TRUE(ice_.setTitle("c.ogg", "Chained Title"));
    // Icecast starts the new chained stream some seconds after the update.
    ASSERT_TRUE(waitFor(
        [&] {
            std::lock_guard lock(heard.mtx);
            return !heard.texts.empty();
        },
        60s));
    {
        std::lock_guard lock(heard.mtx);
        EXPECT_EQ(heard.texts.size(), 1u);  // no event for the comments the stream began with
        EXPECT_NE(lower(heard.texts.back()).find("title=chained title"), std::string::npos);
    }
    bool found = false;
    for (const auto& e : tagList(AE_ChannelGetTags(h, AE_TAG_OGG)))
        found |= lower(e) == "title=chained title";
    EXPECT_TRUE(found);
    // Still playing the tone after the change.
    EXPECT_EQ(AE_ChannelIsActive(h), AE_ACTIVE_PLAYING);
    AE_StreamFree(h);
}

TEST_F(IcecastTest, PlaylistsOfTheServerResolveToTheMount) {
    ASSERT_TRUE(ice_.startSource("p.mp3", fx::Codec::Mp3, 440, "Listed")) << ice_.error();
    for (const char* list : {"p.mp3.m3u", "p.mp3.xspf"}) {
        AE_HANDLE h = connect(list);
        ASSERT_NE(h, 0u) << list;
        EXPECT_TRUE(hasEntry(AE_ChannelGetTags(h, AE_TAG_HTTP), "icy-name:Listed")) << list;
        AE_StreamFree(h);
    }
}

// The source leaves and comes back: the stream waits, stalled, and plays on by itself with
// the source's new sound; a source gone for good ends the stream, which frees itself.
TEST_F(IcecastTest, SourceThatLeavesIsHeardAgainOnItsReturnAndEndsWhenGoneForGood) {
    ASSERT_TRUE(ice_.startSource("s.mp3", fx::Codec::Mp3, 440, "Leaves")) << ice_.error();
    fx::Recorder rec;
    ASSERT_TRUE(rec.start(*pulse_));
    AE_HANDLE h = connect("s.mp3");
    ASSERT_NE(h, 0u);
    ASSERT_TRUE(AE_ChannelPlay(h, 0));
    ASSERT_TRUE(waitFor([&] { return AE_ChannelIsActive(h) == AE_ACTIVE_PLAYING; }, 15s));
    ice_.stopSource("s.mp3");
    ASSERT_TRUE(waitFor([&] { return AE_ChannelIsActive(h) == AE_ACTIVE_STALLED; }, 30s));
    EXPECT_TRUE(reaches(rec, [](const fx::Analysis& a) { return a.peak < 50; }));

    const size_t silentUntil = rec.framesSoFar();
    ASSERT_TRUE(ice_.startSource("s.mp3", fx::Codec::Mp3, 660, "Leaves")) << ice_.error();
    ASSERT_TRUE(waitFor([&] { return AE_ChannelIsActive(h) == AE_ACTIVE_PLAYING; }, 30s));
    ASSERT_TRUE(reaches(rec, [](const fx::Analysis& a) { return a.peak > 1000; }));
    ASSERT_TRUE(rec.waitForFrames(rec.framesSoFar() + 44100 / 2));
    // The returned source's tone, a quarter of a second of it once it is heard.
    const std::vector<int16_t> samples = rec.samplesSoFar();
    const auto heard = fx::firstAudibleFrame(samples, 1000, silentUntil);
    ASSERT_TRUE(heard.has_value());
    const size_t from = *heard + 44100 / 20;
    EXPECT_NEAR(fx::analyze(samples, from, from + 44100 / 4).frequencyHz, 660, 10);

    ice_.stopSource("s.mp3");
    ASSERT_TRUE(waitFor([&] { return AE_ChannelIsActive(h) == AE_ACTIVE_STOPPED; }, 90s));
    // The handle is stale once the stream has freed itself.
    ASSERT_TRUE(
        waitFor([&] { return !AE_StreamFree(h) && AE_ErrorGetCode() == AE_ERROR_HANDLE; }, 5s));
}

class SoundServerRestartTest : public IcecastTest,
                               public ::testing::WithParamInterface<fx::SoundServer> {
  protected:
    SoundServerRestartTest() { soundServer_ = GetParam(); }
};

// The sound server crashes while a station plays and is started again (what a desktop's
// PipeWire restart does): while it is away the channel is stalled, not playing; once it answers
// the tone is heard again at the volume set before, with nothing done by the caller.
TEST_P(SoundServerRestartTest, ChannelStallsWhileTheServerIsAwayThenPlaysOnAtItsVolume) {
    ASSERT_TRUE(ice_.startSource("r.mp3", fx::Codec::Mp3, 440, "Restart", 0.5)) << ice_.error();
    AE_HANDLE h = connect("r.mp3");
    ASSERT_NE(h, 0u);
    ASSERT_TRUE(AE_SetVolume(0.5f));
    ASSERT_TRUE(AE_ChannelPlay(h, 0));
    ASSERT_TRUE(waitFor([&] { return AE_ChannelIsActive(h) == AE_ACTIVE_PLAYING; }, 15s));
    fx::Recorder before;
    ASSERT_TRUE(before.start(*pulse_));
    ASSERT_TRUE(reaches(before, [](const fx::Analysis& a) { return a.peak > 500; }));
    const fx::Analysis played = listen(before, 1.0);
    ASSERT_NEAR(played.frequencyHz, 440, 5);
    ASSERT_GT(played.peak, 500);

    ASSERT_TRUE(pulse_->killServer());
    EXPECT_TRUE(waitFor([&] { return AE_ChannelIsActive(h) == AE_ACTIVE_STALLED; }, 10s))
        << AE_ChannelIsActive(h);
    EXPECT_EQ(AE_GetVolume(), 0.5f);
    ASSERT_TRUE(pulse_->restartServer()) << pulse_->error();
    fx::Recorder after;
    ASSERT_TRUE(after.start(*pulse_));
    fx::Analysis heard;
    EXPECT_TRUE(waitFor(
        [&] {
            heard = listen(after, 1.0);
            return std::abs(heard.frequencyHz - 440) < 5 && heard.peak > played.peak / 2;
        },
        40s))
        << heard.frequencyHz << " Hz, peak " << heard.peak;
    EXPECT_EQ(AE_ChannelIsActive(h), AE_ACTIVE_PLAYING);
    // A volume lost on the way would come back eight times as loud (the server's scale is cubic).
    EXPECT_NEAR(heard.peak, played.peak, played.peak * 0.2);
}

INSTANTIATE_TEST_SUITE_P(Servers, SoundServerRestartTest,
                         ::testing::Values(fx::SoundServer::PulseAudio, fx::SoundServer::PipeWire),
                         [](const ::testing::TestParamInfo<fx::SoundServer>& info) {
                             return info.param == fx::SoundServer::PipeWire ? "PipeWire"
                                                                            : "PulseAudio";
                         });

}  // namespace
}  // namespace enginetest

// Playback through the real PulseAudio null sink, fed by our own scripted server: the tone
// comes out, levels follow it, metadata syncs fire when heard, a stream that ends or stalls
// is reported and frees itself.
#include <cmath>
#include <cstring>

#include "engine_test_support.h"

namespace enginetest {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

using PlaybackTest = EngineTest;

struct SyncLog {
    std::mutex mtx;
    std::vector<std::pair<uint32_t, std::string>> events;  // sync data, kind 5 text at the time
    std::vector<Clock::time_point> times;
    std::atomic<AE_HANDLE>* handle = nullptr;
};

void OnMeta(AE_SYNC, AE_HANDLE channel, uint32_t data, void* user) {
    auto* log = static_cast<SyncLog*>(user);
    const char* meta = AE_ChannelGetTags(channel, AE_TAG_META);  // calling back in is allowed
    std::lock_guard lock(log->mtx);
    log->events.emplace_back(data, meta ? meta : "");
    log->times.push_back(Clock::now());
}

std::string icyHead(size_t metaint) {
    return httpHead("HTTP/1.0 200 OK", {"Content-Type: audio/mpeg", "icy-name:Tone Radio",
                                        "icy-metaint:" + std::to_string(metaint)});
}

// Sends `body` at about `bytesPerSecond` after a burst of `burst` bytes; then pauses
// `pauseMs` and closes.
ScriptServer::Handler paced(std::string head, std::string body, size_t burst, size_t bytesPerSecond,
                            int pauseMs = 0) {
    return [=](int fd, const std::string&, const std::atomic<bool>& stopping) {
        if (!ScriptServer::sendAll(fd, head)) return;
        size_t pos = std::min(burst, body.size());
        if (!ScriptServer::sendAll(fd, body.data(), pos)) return;
        const size_t step = bytesPerSecond / 20;
        while (pos < body.size()) {
            if (!ScriptServer::pause(stopping, 50)) return;
            size_t n = std::min(step, body.size() - pos);
            if (!ScriptServer::sendAll(fd, body.data() + pos, n)) return;
            pos += n;
        }
        ScriptServer::pause(stopping, pauseMs);
    };
}

TEST_F(PlaybackTest, ToneIsHeardLevelsFollowAndMetadataFiresWhenHeard) {
    const size_t metaint = 8000;
    std::string mp3 = fileBytes(media().mp3);  // 8 s at 16000 bytes/s
    // Titles change at 0.5 s and at about 4.5 s of audio.
    std::vector<std::string> titles(12);
    titles[0] = "StreamTitle='First';";
    titles[8] = "StreamTitle='Second';";
    ScriptServer server(
        paced(icyHead(metaint), withIcyMetadata(mp3, metaint, titles), 40000, 16000));

    fx::Recorder rec;
    ASSERT_TRUE(rec.start(*pulse_));
    AE_HANDLE h = AE_StreamCreateURL(server.url("/tone").c_str(), 0, 0x940000, nullptr, nullptr);
    ASSERT_NE(h, 0u) << AE_ErrorGetCode();
    EXPECT_GE(bufferUntil76(h), 76);
    SyncLog log;
    ASSERT_NE(AE_ChannelSetSync(h, AE_SYNC_META, 0, OnMeta, &log), 0u);
    EXPECT_EQ(AE_ChannelSetSync(h, 99, 0, OnMeta, &log), 0u);
    size_t startFrame = rec.framesSoFar();
    auto playedAt = Clock::now();
    ASSERT_TRUE(AE_ChannelPlay(h, 0));
    ASSERT_TRUE(waitFor([&] { return AE_ChannelIsActive(h) == AE_ACTIVE_PLAYING; }, 10s));

    // Levels: the tone's peak (about 2750 here) on both channels.
    ASSERT_TRUE(waitFor(
        [&] {
            uint32_t level = AE_ChannelGetLevel(h);
            return level != 0xFFFFFFFFu && (level & 0xFFFF) > 2000 && (level >> 16) > 2000;
        },
        10s));
    uint32_t level = AE_ChannelGetLevel(h);

    // Both titles are heard in order, each when its audio plays, not when it was downloaded.
    ASSERT_TRUE(waitFor(
        [&] {
            std::lock_guard lock(log.mtx);
            return log.events.size() >= 2;
        },
        20s));
    {
        std::lock_guard lock(log.mtx);
        EXPECT_EQ(log.events[0].second, "StreamTitle='First';");
        EXPECT_EQ(log.events[1].second, "StreamTitle='Second';");
        // The second title sits 4 s into the audio; it was downloaded long before that.
        double secondAt = std::chrono::duration<double>(log.times[1] - playedAt).count();
        EXPECT_GT(secondAt, 3.0);
        EXPECT_LT(secondAt, 6.5);
    }

    // The 8 s file ends: the stream frees itself and its handle goes stale.
    ASSERT_TRUE(waitFor([&] { return AE_ChannelIsActive(h) == AE_ACTIVE_STOPPED; }, 20s));
    ASSERT_TRUE(
        waitFor([&] { return !AE_StreamFree(h) && AE_ErrorGetCode() == AE_ERROR_HANDLE; }, 5s));
    EXPECT_EQ(AE_ChannelGetLevel(h), 0xFFFFFFFFu);

    auto samples = rec.stop();
    auto first = fx::firstAudibleFrame(samples, 1000, startFrame);
    ASSERT_TRUE(first.has_value());
    auto a = fx::analyze(samples, *first + 44100, *first + 44100 * 5);
    EXPECT_NEAR(a.frequencyHz, 440, 5);
    EXPECT_NEAR(a.peak, static_cast<double>(level & 0xFFFF), a.peak * 0.1);
    EXPECT_NEAR(a.peak, static_cast<double>(level >> 16), a.peak * 0.1);
}

TEST_F(PlaybackTest, StarvedStreamStallsThenEndsAndFreesItself) {
    std::string mp3 = fileBytes(media().mp3);
    std::string part = mp3.substr(0, 16000 * 5);  // 5 s of audio, then 8 s of nothing, then close
    ScriptServer server([part](int fd, const std::string&, const std::atomic<bool>& stopping) {
        ScriptServer::sendAll(fd, httpHead("HTTP/1.0 200 OK", {"Content-Type: audio/mpeg"}) + part);
        ScriptServer::pause(stopping, 8000);
    });
    AE_HANDLE h = AE_StreamCreateURL(server.url("/s").c_str(), 0, 0x940000, nullptr, nullptr);
    ASSERT_NE(h, 0u) << AE_ErrorGetCode();
    ASSERT_TRUE(AE_ChannelPlay(h, 0));
    ASSERT_TRUE(waitFor([&] { return AE_ChannelIsActive(h) == AE_ACTIVE_PLAYING; }, 10s));
    ASSERT_TRUE(waitFor([&] { return AE_ChannelIsActive(h) == AE_ACTIVE_STALLED; }, 10s));
    // Silence reaches the listener shortly after the data ran out.
    EXPECT_TRUE(waitFor([&] { return AE_ChannelGetLevel(h) == 0; }, 2s));
    ASSERT_TRUE(waitFor([&] { return AE_ChannelIsActive(h) == AE_ACTIVE_STOPPED; }, 20s));
    ASSERT_TRUE(
        waitFor([&] { return !AE_StreamFree(h) && AE_ErrorGetCode() == AE_ERROR_HANDLE; }, 5s));
}

TEST_F(PlaybackTest, WithoutAutofreeAnEndedStreamStaysUntilFreed) {
    std::string mp3 = fileBytes(media().mp3).substr(0, 16000);  // 1 s
    ScriptServer server(
        paced(httpHead("HTTP/1.0 200 OK", {"Content-Type: audio/mpeg"}), mp3, 16000, 16000));
    AE_HANDLE h = AE_StreamCreateURL(server.url("/s").c_str(), 0, 0, nullptr, nullptr);
    ASSERT_NE(h, 0u) << AE_ErrorGetCode();
    ASSERT_TRUE(AE_ChannelPlay(h, 0));
    ASSERT_TRUE(waitFor([&] { return AE_ChannelIsActive(h) == AE_ACTIVE_PLAYING; }, 10s));
    ASSERT_TRUE(waitFor([&] { return AE_ChannelIsActive(h) == AE_ACTIVE_STOPPED; }, 10s));
    std::this_thread::sleep_for(200ms);
    AE_CHANNELINFO info{};
    EXPECT_TRUE(AE_ChannelGetInfo(h, &info));  // still a valid handle
    EXPECT_FALSE(AE_ChannelPlay(h, 0));
    EXPECT_EQ(AE_ErrorGetCode(), AE_ERROR_ENDED);
    EXPECT_TRUE(AE_StreamFree(h));
}

void FreeFromCallback(AE_SYNC, AE_HANDLE channel, uint32_t, void* user) {
    auto* freed = static_cast<std::atomic<int>*>(user);
    AE_ChannelGetTags(channel, AE_TAG_META);
    if (AE_StreamFree(channel)) ++*freed;
}

TEST_F(PlaybackTest, CallbackMayFreeItsStreamAndFreeStopsEverything) {
    const size_t metaint = 4000;
    std::string mp3 = fileBytes(media().mp3);
    std::vector<std::string> titles = {"StreamTitle='Now';"};
    ScriptServer server(
        paced(icyHead(metaint), withIcyMetadata(mp3, metaint, titles), 40000, 16000));
    AE_HANDLE h = AE_StreamCreateURL(server.url("/a").c_str(), 0, 0x940000, nullptr, nullptr);
    ASSERT_NE(h, 0u) << AE_ErrorGetCode();
    std::atomic<int> freed{0};
    ASSERT_NE(AE_ChannelSetSync(h, AE_SYNC_META, 0, FreeFromCallback, &freed), 0u);
    ASSERT_TRUE(AE_ChannelPlay(h, 0));
    ASSERT_TRUE(waitFor([&] { return freed.load() == 1; }, 15s));
    EXPECT_EQ(AE_ChannelIsActive(h), AE_ACTIVE_STOPPED);

    // A second stream playing while the engine is freed: everything stops and joins.
    AE_HANDLE h2 = AE_StreamCreateURL(server.url("/b").c_str(), 0, 0x940000, nullptr, nullptr);
    ASSERT_NE(h2, 0u) << AE_ErrorGetCode();
    ASSERT_TRUE(AE_ChannelPlay(h2, 0));
    ASSERT_TRUE(waitFor([&] { return AE_ChannelIsActive(h2) == AE_ACTIVE_PLAYING; }, 10s));
    EXPECT_TRUE(AE_Free());
    EXPECT_EQ(AE_ChannelIsActive(h2), AE_ACTIVE_STOPPED);
    EXPECT_EQ(AE_ErrorGetCode(), AE_ERROR_INIT);
    ASSERT_TRUE(AE_Init(-1, 44100, 0, nullptr, nullptr));
    EXPECT_FALSE(AE_StreamFree(h2));  // handles of the old engine stay stale
    EXPECT_EQ(AE_ErrorGetCode(), AE_ERROR_HANDLE);
}

}  // namespace
}  // namespace enginetest

// Playback through the real PulseAudio null sink, fed by our own scripted server: the tone
// comes out, levels follow it, metadata syncs fire when heard (measured against the sink's
// monitor), a stream that ends or stalls is reported and frees itself.
#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <optional>

#include "engine_test_support.h"

namespace enginetest {
namespace {

using namespace std::chrono_literals;

using PlaybackTest = EngineTest;

// A radio's answer; with a length (a file that ends), else a live stream.
std::string icyHead(size_t metaint, std::optional<size_t> length = std::nullopt) {
    std::vector<std::string> headers = {"Content-Type: audio/mpeg", "icy-name:Tone Radio",
                                        "icy-metaint:" + std::to_string(metaint)};
    if (length) headers.push_back("Content-Length: " + std::to_string(*length));
    return httpHead("HTTP/1.0 200 OK", headers);
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

// When titles are heard is checked against the recording below; this one plays a whole file.
TEST_F(PlaybackTest, ToneIsHeardLevelsFollowAndTheEndedStreamFreesItself) {
    const size_t metaint = 8000;
    std::string mp3 = fileBytes(media().mp3);  // 8 s at 16000 bytes/s
    const std::string body = withIcyMetadata(mp3, metaint, {"StreamTitle='First';"});
    ScriptServer server(paced(icyHead(metaint, body.size()), body, 40000, 16000));

    fx::Recorder rec;
    ASSERT_TRUE(rec.start(*pulse_));
    AE_HANDLE h = AE_StreamCreateURL(server.url("/tone").c_str(), 0, 0x940000, nullptr, nullptr);
    ASSERT_NE(h, 0u) << AE_ErrorGetCode();
    EXPECT_GE(bufferUntil76(h), 76);
    EXPECT_EQ(AE_ChannelSetSync(
                  h, 99, 0, [](AE_SYNC, AE_HANDLE, uint32_t, void*) {}, nullptr),
              0u);
    size_t startFrame = rec.framesSoFar();
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

// Byte offsets of the frames of a constant-rate MPEG-1 layer III file, and its end.
std::vector<size_t> mp3FrameOffsets(const std::string& mp3) {
    static const int kKbps[16] = {0,   32,  40,  48,  56,  64,  80,  96,
                                  112, 128, 160, 192, 224, 256, 320, 0};
    std::vector<size_t> offsets;
    size_t pos = 0;
    while (pos + 4 <= mp3.size()) {
        const auto b1 = static_cast<uint8_t>(mp3[pos + 1]), b2 = static_cast<uint8_t>(mp3[pos + 2]);
        if (static_cast<uint8_t>(mp3[pos]) != 0xFF || (b1 & 0xFE) != 0xFA) break;
        offsets.push_back(pos);
        pos += 144000 * kKbps[b2 >> 4] / 44100 + ((b2 >> 1) & 1);
    }
    offsets.push_back(pos);
    return offsets;
}

// Encodes an ffmpeg source graph (stereo) with the given output options; the file's bytes.
std::string encode(const std::string& source, const std::vector<std::string>& options,
                   const std::string& path) {
    std::vector<std::string> argv{"ffmpeg", "-nostdin", "-loglevel", "error", "-y", "-f",
                                  "lavfi",  "-i",       source,      "-ac",   "2"};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.push_back(path);
    fx::ChildProcess p;
    if (!p.start(argv) || p.wait(std::chrono::seconds(60)) != 0)
        ADD_FAILURE() << "ffmpeg failed: " << p.stderrText();
    return fileBytes(path);
}

std::string makeMp3(const std::string& source, const std::string& path) {
    return encode(source,
                  {"-c:a", "libmp3lame", "-b:a", "128k", "-write_xing", "0", "-id3v2_version", "0",
                   "-f", "mp3"},
                  path);
}

// Frames from `from` on where the tone turns from one of 440 and 660 Hz to the other and
// stays for 50 ms, found in windows of 5.8 ms (left channel).
std::vector<size_t> toneSwitches(const std::vector<int16_t>& stereo, size_t from) {
    constexpr size_t kWindow = 256, kHop = 64, kSteadyWindows = 35;
    auto power = [&](size_t at, double hz) {
        const double c = 2 * std::cos(2 * M_PI * hz / 44100);
        double a = 0, b = 0;
        for (size_t i = 0; i < kWindow; ++i) {
            const double next = stereo[2 * (at + i)] + c * a - b;
            b = a;
            a = next;
        }
        return a * a + b * b - c * a * b;
    };
    std::vector<size_t> out;
    int settled = 0, candidate = 0;  // 440 or 660
    size_t candidateAt = 0, steady = 0;
    for (size_t at = from; 2 * (at + kWindow) <= stereo.size(); at += kHop) {
        const double p440 = power(at, 440), p660 = power(at, 660);
        const int tone = p440 > 4 * p660 ? 440 : p660 > 4 * p440 ? 660 : 0;
        if (tone == 0) continue;
        if (tone != candidate) {
            candidate = tone;
            candidateAt = at + kWindow / 2;
            steady = 0;
        }
        if (++steady < kSteadyWindows || tone == settled) continue;
        if (settled != 0) out.push_back(candidateAt);
        settled = tone;
    }
    return out;
}

struct HeardLog {
    std::mutex mtx;
    const fx::Recorder* rec = nullptr;
    std::vector<std::pair<std::string, size_t>> titles;  // title, recorded frames at the sync
};

void OnTitleHeard(AE_SYNC, AE_HANDLE channel, uint32_t, void* user) {
    auto* log = static_cast<HeardLog*>(user);
    const size_t frame = log->rec->framesSoFar();
    const char* meta = AE_ChannelGetTags(channel, AE_TAG_META);
    std::lock_guard lock(log->mtx);
    log->titles.emplace_back(meta ? meta : "", frame);
}

// A station changes tone and title at the same point of the stream: each title's sync fires
// when the new tone comes out of the sound server, not before it (as measured in the sink's
// monitor; the recording's own lag makes titles read at most a few ms early).
TEST_F(PlaybackTest, TitleSyncsFireWhenTheirPointIsHeard) {
    constexpr size_t kMetaint = 32000;  // 2 s of 128 kbps
    constexpr int kChanges = 5;
    constexpr int kCodecDelay = 1105;  // samples between the encoder's input and the decoder's
    fx::TempDir dir("engine-switch");
    // Where each metadata block falls: the frame that holds its byte offset starts the
    // change. The frame layout of a constant-rate file does not depend on the sound.
    const std::string plain =
        makeMp3("sine=frequency=440:sample_rate=44100:duration=12", dir.file("plain.mp3"));
    const std::vector<size_t> frames = mp3FrameOffsets(plain);
    std::string freq = "660";
    for (int k = kChanges; k >= 1; --k) {
        const size_t at = static_cast<size_t>(k) * kMetaint;
        const auto frame = std::upper_bound(frames.begin(), frames.end(), at) - frames.begin() - 1;
        char when[32];
        std::snprintf(when, sizeof when, "%.6f", (frame * 1152.0 - kCodecDelay) / 44100);
        freq = std::string("if(lt(t,") + when + ")," + (k % 2 ? "440" : "660") + "," + freq + ")";
    }
    const std::string mp3 =
        makeMp3("aevalsrc='0.25*sin(2*PI*" + freq + "*t)':s=44100:d=12", dir.file("switch.mp3"));
    ASSERT_EQ(mp3FrameOffsets(mp3), frames);
    std::vector<std::string> titles;
    for (int k = 1; k <= kChanges; ++k)
        titles.push_back("StreamTitle='Tone " + std::to_string(k) + "';");
    ScriptServer server(
        paced(icyHead(kMetaint), withIcyMetadata(mp3, kMetaint, titles), 40000, 16000));

    fx::Recorder rec;
    ASSERT_TRUE(rec.start(*pulse_));
    HeardLog log;
    log.rec = &rec;
    AE_HANDLE h = AE_StreamCreateURL(server.url("/switch").c_str(), 0, 0x940000, nullptr, nullptr);
    ASSERT_NE(h, 0u) << AE_ErrorGetCode();
    ASSERT_NE(AE_ChannelSetSync(h, AE_SYNC_META, 0, OnTitleHeard, &log), 0u);
    EXPECT_GE(bufferUntil76(h), 76);
    const size_t startFrame = rec.framesSoFar();
    ASSERT_TRUE(AE_ChannelPlay(h, 0));
    ASSERT_TRUE(waitFor(
        [&] {
            std::lock_guard lock(log.mtx);
            return log.titles.size() >= static_cast<size_t>(kChanges);
        },
        30s));
    rec.waitForFrames(rec.framesSoFar() + 44100 / 2);
    const auto samples = rec.stop();
    const std::vector<size_t> switches = toneSwitches(samples, startFrame);
    ASSERT_EQ(switches.size(), static_cast<size_t>(kChanges)) << ::testing::PrintToString(switches);

    std::lock_guard lock(log.mtx);
    std::string report;
    for (int k = 0; k < kChanges; ++k) {
        EXPECT_EQ(log.titles[k].first, titles[k]);
        const double offsetMs =
            (static_cast<double>(log.titles[k].second) - static_cast<double>(switches[k])) * 1000 /
            44100;
        report += std::to_string(static_cast<int>(std::lround(offsetMs))) + " ";
        EXPECT_NEAR(offsetMs, 0, 100) << "title " << k + 1;
    }
    std::printf("title sync minus tone change heard, ms: %s\n", report.c_str());
    RecordProperty("title_offsets_ms", report);
}

struct ProgramLog {
    std::mutex mtx;
    std::vector<std::vector<std::string>> tags;  // kind 8, or kind 11, entries at each sync
    std::vector<size_t> frames;                  // recorded frames at each sync
    const fx::Recorder* rec = nullptr;
    uint32_t kind = AE_TAG_WMA;
};

void OnWindowsMediaSync(AE_SYNC, AE_HANDLE channel, uint32_t, void* user) {
    auto* log = static_cast<ProgramLog*>(user);
    const size_t frame = log->rec->framesSoFar();
    std::vector<std::string> tags;
    for (const char* e = AE_ChannelGetTags(channel, log->kind); e && *e; e += std::strlen(e) + 1)
        tags.emplace_back(e);
    std::lock_guard lock(log->mtx);
    log->tags.push_back(std::move(tags));
    log->frames.push_back(frame);
}

// A Windows Media server that changes program sends a new ASF header mid-stream: the second
// program plays on after the first, and its header's tags replace the first's when it is heard;
// its script command (a title 1.5 s in, where its tone drops back to 440 Hz) fills the
// mid-stream tags when that point is heard. Both points are found in the recording, so a gap in
// the sound under load moves them together.
TEST_F(PlaybackTest, WindowsMediaProgramChangeIsHeardWithItsTags) {
    AE_PluginLoad("aewma", 0);
    fx::TempDir dir("engine-programs");
    auto program = [&](const std::string& source, const char* title, const char* file) {
        return encode(source,
                      {"-metadata", std::string("title=") + title, "-c:a", "wmav2", "-b:a", "64k",
                       "-f", "asf"},
                      dir.file(file));
    };
    const std::string first =
        program("sine=frequency=440:sample_rate=44100:duration=4", "First Show", "a.wma");
    std::string second = program("aevalsrc='0.25*sin(2*PI*if(lt(t,1.5),660,440)*t)':s=44100:d=4",
                                 "Second Show", "b.wma");
    const auto scriptedAt = static_cast<uint32_t>(asfPrerollMs(second) + 1500);
    second = withHeaderObject(second,
                              asfScriptCommands({u"TITLE"}, {{scriptedAt, 0, u"Scripted Title"}}));
    ScriptServer server(paced(httpHead("HTTP/1.0 200 OK", {"Content-Type: video/x-ms-asf"}),
                              first + second, 24000, 8500, 500));

    fx::Recorder rec;
    ASSERT_TRUE(rec.start(*pulse_));
    ProgramLog log, meta;
    log.rec = meta.rec = &rec;
    meta.kind = AE_TAG_WMA_META;
    AE_HANDLE h = AE_StreamCreateURL(server.url("/live").c_str(), 0, 0x940000, nullptr, nullptr);
    ASSERT_NE(h, 0u) << AE_ErrorGetCode();
    EXPECT_TRUE(hasEntry(AE_ChannelGetTags(h, AE_TAG_WMA), "title=First Show"));
    ASSERT_NE(AE_ChannelSetSync(h, AE_SYNC_WMA_CHANGE, 0, OnWindowsMediaSync, &log), 0u);
    ASSERT_NE(AE_ChannelSetSync(h, AE_SYNC_WMA_META, 0, OnWindowsMediaSync, &meta), 0u);
    EXPECT_EQ(AE_ChannelGetTags(h, AE_TAG_WMA_META), nullptr);
    const size_t startFrame = rec.framesSoFar();
    ASSERT_TRUE(AE_ChannelPlay(h, 0));
    ASSERT_TRUE(waitFor(
        [&] {
            std::lock_guard lock(meta.mtx);
            return !meta.tags.empty();
        },
        20s));
    rec.waitForFrames(rec.framesSoFar() + 44100 / 2);
    const auto samples = rec.stop();
    std::lock_guard lock(log.mtx);
    std::lock_guard metaLock(meta.mtx);
    ASSERT_EQ(meta.tags.size(), 1u);
    EXPECT_EQ(meta.tags[0], std::vector<std::string>{"title=Scripted Title"});
    ASSERT_EQ(log.tags.size(), 1u);
    EXPECT_NE(std::find(log.tags[0].begin(), log.tags[0].end(), "title=Second Show"),
              log.tags[0].end())
        << ::testing::PrintToString(log.tags[0]);
    // Heard: the first program's tone, then the second's, which starts when the sync fires,
    // then the second's own change at its script command.
    const std::vector<size_t> switches = toneSwitches(samples, startFrame);
    ASSERT_EQ(switches.size(), 2u) << ::testing::PrintToString(switches);
    EXPECT_NEAR(static_cast<double>(log.frames[0]), static_cast<double>(switches[0]), 44100 * 0.1);
    EXPECT_NEAR(fx::analyze(samples, switches[0] + 4410, switches[0] + 44100).frequencyHz, 660, 5);
    // The new program follows at once: at most the decoder's warm-up is quiet (10 ms blocks).
    int quiet = 0, longest = 0;
    for (size_t at = switches[0] - 8820; at < switches[0] + 8820; at += 441) {
        quiet = fx::analyze(samples, at, at + 441).peak > 1000 ? 0 : quiet + 1;
        longest = std::max(longest, quiet);
    }
    std::printf("quiet at the program change: %d ms\n", longest * 10);
    EXPECT_LE(longest, 5);
    std::printf(
        "script title sync minus its tone change heard: %.0f ms\n",
        (static_cast<double>(meta.frames[0]) - static_cast<double>(switches[1])) * 1000 / 44100);
    EXPECT_NEAR(static_cast<double>(meta.frames[0]), static_cast<double>(switches[1]), 44100 * 0.1);
}

// The first 3 s are coded at 32 kbps, the rest at 128: the download buffer, sized by the rate
// the stream declares, grows as the decoder measures the real one. A fill worked out from an
// end read before it grew must still stay within 100%.
TEST_F(PlaybackTest, FillStaysWithinAHundredWhileTheBufferGrows) {
    std::string body = fileBytes(media().mp3Low).substr(0, 12000) + fileBytes(media().mp3);
    ScriptServer server(
        paced(httpHead("HTTP/1.0 200 OK", {"Content-Type: audio/mpeg"}), body, 8000, 16000));
    AE_HANDLE h = AE_StreamCreateURL(server.url("/grow").c_str(), 0, 0x940000, nullptr, nullptr);
    ASSERT_NE(h, 0u) << AE_ErrorGetCode();
    const auto end = static_cast<int64_t>(AE_StreamGetFilePosition(h, AE_FILEPOS_END));
    ASSERT_GT(end, 0);
    ASSERT_TRUE(AE_ChannelPlay(h, 0));
    // Another thread, with ends of its own, waits until the buffer holds more than `end`.
    bool grown = false;
    std::thread watcher([&] {
        grown = waitFor(
            [&] {
                const auto now = static_cast<int64_t>(AE_StreamGetFilePosition(h, AE_FILEPOS_END));
                const auto down =
                    static_cast<int64_t>(AE_StreamGetFilePosition(h, AE_FILEPOS_DOWNLOAD));
                const auto cur =
                    static_cast<int64_t>(AE_StreamGetFilePosition(h, AE_FILEPOS_CURRENT));
                return now > end && down - cur > end;
            },
            20s);
    });
    watcher.join();
    ASSERT_TRUE(grown);
    const auto down = static_cast<int64_t>(AE_StreamGetFilePosition(h, AE_FILEPOS_DOWNLOAD));
    const auto cur = static_cast<int64_t>(AE_StreamGetFilePosition(h, AE_FILEPOS_CURRENT));
    EXPECT_LE((down - cur) * 100 / end, 100);
    EXPECT_TRUE(AE_StreamFree(h));
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
    AE_CHANNELINFO info{};
    EXPECT_TRUE(AE_ChannelGetInfo(h, &info));  // still a valid handle
    EXPECT_FALSE(AE_ChannelPlay(h, 0));
    EXPECT_EQ(AE_ErrorGetCode(), AE_ERROR_ENDED);
    EXPECT_TRUE(AE_StreamFree(h));
}

// A callback that frees its own stream; AE_Free is refused on the sync thread.
struct FreeFromCallbackLog {
    std::atomic<int> freed{0};
    std::atomic<int> engineFreeError{-1};
};

void FreeFromCallback(AE_SYNC, AE_HANDLE channel, uint32_t, void* user) {
    auto* log = static_cast<FreeFromCallbackLog*>(user);
    AE_ChannelGetTags(channel, AE_TAG_META);
    if (log->freed.load() == 0) log->engineFreeError = AE_Free() ? AE_OK : AE_ErrorGetCode();
    if (AE_StreamFree(channel)) ++log->freed;
}

// The first callback keeps reading its title while the test removes the second sync and frees
// the stream; the second sync, due in the same batch, must never start after that.
struct ReadAcrossFree {
    std::mutex mtx;
    std::condition_variable cv;
    bool reading = false, freed = false, done = false;
    std::string before, after;
    std::atomic<int> lateCalls{0};
};

void ReadTitleAcrossFree(AE_SYNC, AE_HANDLE channel, uint32_t, void* user) {
    auto* s = static_cast<ReadAcrossFree*>(user);
    const char* meta = AE_ChannelGetTags(channel, AE_TAG_META);
    std::unique_lock lock(s->mtx);
    if (s->reading) return;
    s->before = meta ? meta : "";
    s->reading = true;
    s->cv.notify_all();
    s->cv.wait_for(lock, 30s, [&] { return s->freed; });
    s->after = meta ? meta : "";
    s->done = true;
    s->cv.notify_all();
}

void CountLateCall(AE_SYNC, AE_HANDLE, uint32_t, void* user) {
    ++static_cast<ReadAcrossFree*>(user)->lateCalls;
}

TEST_F(PlaybackTest, CallbacksMayFreeTheirStreamTagsOutliveAFreeAndFreeStopsEverything) {
    const size_t metaint = 4000;
    std::string mp3 = fileBytes(media().mp3);
    std::vector<std::string> titles = {"StreamTitle='Now';"};
    ScriptServer server(
        paced(icyHead(metaint), withIcyMetadata(mp3, metaint, titles), 40000, 16000));
    // Another thread removes a sync and frees the stream while a callback reads its tags.
    AE_HANDLE h = AE_StreamCreateURL(server.url("/c").c_str(), 0, 0x940000, nullptr, nullptr);
    ASSERT_NE(h, 0u) << AE_ErrorGetCode();
    ReadAcrossFree reader;
    ASSERT_NE(AE_ChannelSetSync(h, AE_SYNC_META, 0, ReadTitleAcrossFree, &reader), 0u);
    const AE_SYNC late = AE_ChannelSetSync(h, AE_SYNC_META, 0, CountLateCall, &reader);
    ASSERT_NE(late, 0u);
    ASSERT_TRUE(AE_ChannelPlay(h, 0));
    {
        std::unique_lock lock(reader.mtx);
        ASSERT_TRUE(reader.cv.wait_for(lock, 15s, [&] { return reader.reading; }));
    }
    EXPECT_TRUE(AE_ChannelRemoveSync(h, late));
    EXPECT_TRUE(AE_StreamFree(h));
    {
        std::unique_lock lock(reader.mtx);
        reader.freed = true;
        reader.cv.notify_all();
        ASSERT_TRUE(reader.cv.wait_for(lock, 15s, [&] { return reader.done; }));
    }
    EXPECT_EQ(reader.before, "StreamTitle='Now';");
    EXPECT_EQ(reader.after, reader.before);

    // A callback frees its own stream.
    h = AE_StreamCreateURL(server.url("/a").c_str(), 0, 0x940000, nullptr, nullptr);
    ASSERT_NE(h, 0u) << AE_ErrorGetCode();
    FreeFromCallbackLog log;
    ASSERT_NE(AE_ChannelSetSync(h, AE_SYNC_META, 0, FreeFromCallback, &log), 0u);
    ASSERT_TRUE(AE_ChannelPlay(h, 0));
    ASSERT_TRUE(waitFor([&] { return log.freed.load() == 1; }, 15s));
    EXPECT_EQ(log.engineFreeError.load(), AE_ERROR_CALLBACK);
    EXPECT_EQ(AE_ChannelIsActive(h), AE_ACTIVE_STOPPED);

    // A second stream playing while the engine is freed: everything stops and joins.
    AE_HANDLE h2 = AE_StreamCreateURL(server.url("/b").c_str(), 0, 0x940000, nullptr, nullptr);
    ASSERT_NE(h2, 0u) << AE_ErrorGetCode();
    ASSERT_TRUE(AE_ChannelPlay(h2, 0));
    ASSERT_TRUE(waitFor([&] { return AE_ChannelIsActive(h2) == AE_ACTIVE_PLAYING; }, 10s));
    EXPECT_TRUE(AE_Free());  // joins the sync thread: no callback is left to come
    EXPECT_EQ(reader.lateCalls.load(), 0);
    EXPECT_EQ(AE_ChannelIsActive(h2), AE_ACTIVE_STOPPED);
    EXPECT_EQ(AE_ErrorGetCode(), AE_ERROR_INIT);
    ASSERT_TRUE(AE_Init(-1, 44100, 0, nullptr, nullptr));
    EXPECT_FALSE(AE_StreamFree(h2));  // handles of the old engine stay stale
    EXPECT_EQ(AE_ErrorGetCode(), AE_ERROR_HANDLE);
}

}  // namespace
}  // namespace enginetest

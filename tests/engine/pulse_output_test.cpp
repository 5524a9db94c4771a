// The output stream against a real PulseAudio daemon, heard through the null sink's monitor.
#include "output/pulse_output.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "audioengine.h"
#include "fixtures.h"

namespace {

constexpr uint32_t kRate = 44100;
constexpr uint32_t kBufferMs = 150;
constexpr double kToneAmplitude = 12000;

// A 440 Hz stereo tone, generated on PulseAudio's thread.
struct Tone {
    std::atomic<int64_t> calls{0};
    int64_t phase = 0;
    ae::PulseOutput::Fill fill() {
        return [this](int16_t* out, size_t frames) {
            calls.fetch_add(1);
            for (size_t i = 0; i < frames; ++i, ++phase) {
                auto v = static_cast<int16_t>(
                    std::lround(kToneAmplitude * std::sin(2 * M_PI * 440.0 * phase / kRate)));
                out[2 * i] = v;
                out[2 * i + 1] = v;
            }
        };
    }
};

class PulseOutputTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(pulse_.start()) << pulse_.error();
        ASSERT_TRUE(rec_.start(pulse_));
    }

    std::unique_ptr<ae::PulseOutput> openTone() {
        int error = -1;
        auto out = ae::PulseOutput::open(kRate, 2, kBufferMs, tone_.fill(), &error);
        EXPECT_EQ(error, AE_OK);
        return out;
    }

    // What the monitor records over the next `seconds`, skipping `settle` seconds first so a
    // change made just before has reached the speaker.
    // Our stream's index in the server: the newest sink input (the keep-alive stream came first).
    std::string ourSinkInput() {
        auto inputs = pulse_.pactl({"list", "short", "sink-inputs"});
        std::string ours;
        for (size_t pos = 0; inputs && pos < inputs->size();) {
            size_t end = inputs->find('\n', pos);
            std::string line = inputs->substr(pos, end - pos);
            if (!line.empty()) ours = line.substr(0, line.find('\t'));
            pos = end == std::string::npos ? inputs->size() : end + 1;
        }
        return ours;
    }

    // The percent a desktop mixer shows for sink input `id` (its first channel); -1 unknown.
    int mixerPercent(const std::string& id) {
        auto text = pulse_.pactl({"list", "sink-inputs"});
        if (!text) return -1;
        size_t at = text->find("Sink Input #" + id + "\n");
        if (at == std::string::npos) return -1;
        at = text->find("Volume:", at);
        size_t percent = at == std::string::npos ? at : text->find('%', at);
        if (percent == std::string::npos) return -1;
        size_t digits = text->find_last_not_of("0123456789", percent - 1) + 1;
        return std::atoi(text->c_str() + digits);
    }

    fx::Analysis listen(double settle, double seconds) {
        const size_t from = rec_.framesSoFar() + static_cast<size_t>(settle * kRate);
        const size_t to = from + static_cast<size_t>(seconds * kRate);
        EXPECT_TRUE(rec_.waitForFrames(to));
        return fx::analyze(rec_.samplesSoFar(), from, to);
    }

    fx::PulseServer pulse_;
    fx::Recorder rec_;
    Tone tone_;
};

TEST_F(PulseOutputTest, PlaysTheToneItIsFedAtItsFrequencyAndLevel) {
    auto out = openTone();
    ASSERT_TRUE(out);
    auto a = listen(0.8, 1.0);
    EXPECT_NEAR(a.frequencyHz, 440.0, 2.0);
    EXPECT_NEAR(a.peak, kToneAmplitude, kToneAmplitude * 0.03);
    EXPECT_FALSE(out->failed());
}

TEST_F(PulseOutputTest, VolumeIsWhatTheDesktopMixerShows) {
    auto out = openTone();
    ASSERT_TRUE(out);
    ASSERT_TRUE(fx::waitUntil([&] { return std::abs(out->volume() - 1.0f) < 1e-3; }));
    const std::string ours = ourSinkInput();
    ASSERT_FALSE(ours.empty());
    const double full = listen(0.8, 0.5).peak;

    ASSERT_TRUE(out->setVolume(0.5f));
    EXPECT_EQ(out->volume(), 0.5f);
    EXPECT_TRUE(fx::waitUntil([&] { return mixerPercent(ours) == 50; })) << mixerPercent(ours);
    // The server's scale is cubic: its 50 % is an eighth of the amplitude.
    const double half = listen(0.8, 0.5).peak;
    EXPECT_NEAR(half / full, 0.125, 0.01);
    EXPECT_EQ(out->volume(), 0.5f) << "the server's report must not blur the value set";
    ASSERT_TRUE(out->setVolume(0.08f));
    EXPECT_TRUE(fx::waitUntil([&] { return mixerPercent(ours) == 8; })) << mixerPercent(ours);
    ASSERT_TRUE(out->setVolume(0.5f));

    EXPECT_FALSE(out->setVolume(1.5f));
    EXPECT_FALSE(out->setVolume(std::nanf("")));
    EXPECT_EQ(out->volume(), 0.5f);

    // A change made in the server by someone else (a desktop mixer) is followed, as shown.
    ASSERT_TRUE(pulse_.pactl({"set-sink-input-volume", ours, "30%"}));
    EXPECT_TRUE(fx::waitUntil([&] { return std::abs(out->volume() - 0.30f) < 0.005f; }))
        << out->volume();
}

TEST_F(PulseOutputTest, PauseSilencesAndResumeResumes) {
    auto out = openTone();
    ASSERT_TRUE(out);
    EXPECT_GT(listen(0.8, 0.3).peak, kToneAmplitude * 0.9);

    out->setPaused(true);
    EXPECT_TRUE(out->paused());
    EXPECT_EQ(listen(0.8, 0.5).peak, 0);
    const int64_t pausedAt = out->framesPlayed();
    EXPECT_EQ(listen(0, 0.3).peak, 0);  // the server's clock runs on meanwhile
    EXPECT_LT(out->framesPlayed() - pausedAt, static_cast<int64_t>(kRate / 20))
        << "the position must not run on while paused";

    out->setPaused(false);
    EXPECT_FALSE(out->paused());
    auto a = listen(0.8, 0.5);
    EXPECT_GT(a.peak, kToneAmplitude * 0.9);
    EXPECT_NEAR(a.frequencyHz, 440.0, 2.0);
}

TEST_F(PulseOutputTest, PlayedPositionIsMonotonicAndLagsWhatWasWritten) {
    auto out = openTone();
    ASSERT_TRUE(out);
    int64_t last = 0;
    bool lagged = false;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
    while (std::chrono::steady_clock::now() < end) {
        const int64_t played = out->framesPlayed();
        const int64_t written = out->framesWritten();
        ASSERT_GE(played, last);
        ASSERT_LE(played, written);
        lagged = lagged || written - played > static_cast<int64_t>(kRate / 100);
        last = played;
        std::this_thread::sleep_for(std::chrono::milliseconds(3));
    }
    EXPECT_TRUE(lagged);
    EXPECT_GT(last, static_cast<int64_t>(kRate / 2)) << "about 1.5 s of playback";
}

// Sound that follows silence takes the place of the silence still queued; the played
// position must account for that, or everything timed by it (syncs, levels) would be late.
TEST_F(PulseOutputTest, SoundAfterSilenceIsHeardWhenThePlayedPositionReachesIt) {
    std::atomic<bool> on{false};
    std::atomic<int64_t> soundStart{-1};
    int64_t handedOut = 0, phase = 0;
    int error = -1;
    auto out = ae::PulseOutput::open(
        kRate, 2, kBufferMs,
        [&](int16_t* o, size_t frames) {
            if (on && soundStart < 0) soundStart = handedOut;
            for (size_t i = 0; i < frames; ++i) {
                int16_t v = 0;
                if (on)
                    v = static_cast<int16_t>(
                        std::lround(kToneAmplitude * std::sin(2 * M_PI * 440.0 * phase++ / kRate)));
                o[2 * i] = o[2 * i + 1] = v;
            }
            handedOut += static_cast<int64_t>(frames);
        },
        &error);
    ASSERT_TRUE(out);
    // Half a second of silence played: the server's queue is full of it.
    ASSERT_TRUE(fx::waitUntil([&] { return out->framesPlayed() >= int64_t{kRate} / 2; }));
    const size_t from = rec_.framesSoFar();
    on = true;
    ASSERT_TRUE(fx::waitUntil([&] { return soundStart >= 0 && out->framesPlayed() >= soundStart; },
                              fx::kStartTimeout, fx::Millis(1)));
    const double predicted = static_cast<double>(rec_.framesSoFar());
    ASSERT_TRUE(rec_.waitForFrames(static_cast<size_t>(predicted) + kRate));
    auto heard = fx::firstAudibleFrame(rec_.samplesSoFar(), 1000, from);
    ASSERT_TRUE(heard.has_value());
    EXPECT_NEAR(static_cast<double>(*heard), predicted, 0.04 * kRate);
}

// The only sink goes away (a headset unplugged) and another comes: the server kills our
// stream, and the output makes a new one on the new sink by itself.
TEST_F(PulseOutputTest, SoundComesBackWhenTheOnlySinkIsReplaced) {
    auto out = openTone();
    ASSERT_TRUE(out);
    EXPECT_GT(listen(0.8, 0.3).peak, kToneAmplitude * 0.9);
    auto modules = pulse_.pactl({"list", "short", "modules"});
    ASSERT_TRUE(modules);
    const size_t at = modules->find("module-null-sink");
    ASSERT_NE(at, std::string::npos);
    const size_t line = modules->rfind('\n', at) + 1;  // npos + 1 is the first line
    const std::string module = modules->substr(line, modules->find('\t', line) - line);
    ASSERT_TRUE(pulse_.pactl({"unload-module", module}));
    EXPECT_TRUE(fx::waitUntil([&] { return out->failed(); }));
    ASSERT_TRUE(pulse_.pactl({"load-module", "module-null-sink",
                              std::string("sink_name=") + fx::PulseServer::kSink, "rate=44100"}));
    fx::Recorder rec;  // the old one recorded the sink that went away
    ASSERT_TRUE(rec.start(pulse_));
    fx::Analysis heard;
    EXPECT_TRUE(fx::waitUntil([&] {
        const size_t from = rec.framesSoFar();
        EXPECT_TRUE(rec.waitForFrames(from + kRate / 2));
        heard = fx::analyze(rec.samplesSoFar(), from, from + kRate / 2);
        return heard.peak > kToneAmplitude * 0.9;
    })) << heard.peak;
    EXPECT_NEAR(heard.frequencyHz, 440.0, 2.0);
    EXPECT_FALSE(out->failed());
}

TEST_F(PulseOutputTest, FillIsNeverCalledAfterDestruction) {
    auto out = openTone();
    ASSERT_TRUE(out);
    ASSERT_TRUE(fx::waitUntil([&] { return tone_.calls.load() > 3; }));
    out.reset();
    const int64_t calls = tone_.calls.load();
    listen(0, 0.2);  // a stray thread would call within the server's next periods
    EXPECT_EQ(tone_.calls.load(), calls);
}

// Without a sound server, opening fails promptly with the engine's error code.
TEST(PulseOutputNoServer, FailsWithNoServerForAMissingOrSilentServer) {
    fx::TempDir dir;
    Tone tone;
    const char* saved = std::getenv("PULSE_SERVER");
    const std::string restore = saved ? saved : "";

    ::setenv("PULSE_SERVER", ("unix:" + dir.file("missing")).c_str(), 1);
    int error = -1;
    EXPECT_EQ(ae::PulseOutput::open(kRate, 2, kBufferMs, tone.fill(), &error), nullptr);
    EXPECT_EQ(error, AE_ERROR_NO_SERVER);

    // A socket that accepts but never answers.
    const std::string path = dir.file("silent");
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(fd, 4), 0);
    ::setenv("PULSE_SERVER", ("unix:" + path).c_str(), 1);
    error = -1;
    EXPECT_EQ(ae::PulseOutput::open(kRate, 2, kBufferMs, tone.fill(), &error), nullptr);
    EXPECT_EQ(error, AE_ERROR_NO_SERVER);
    ::close(fd);
    EXPECT_EQ(tone.calls.load(), 0);

    if (saved)
        ::setenv("PULSE_SERVER", restore.c_str(), 1);
    else
        ::unsetenv("PULSE_SERVER");
}

TEST(PulseOutputArguments, RefusesAMissingCallbackAndImpossibleFormats) {
    int error = -1;
    EXPECT_EQ(ae::PulseOutput::open(kRate, 2, kBufferMs, nullptr, &error), nullptr);
    EXPECT_EQ(error, AE_ERROR_PARAM);
    Tone tone;
    EXPECT_EQ(ae::PulseOutput::open(kRate, 0, kBufferMs, tone.fill(), &error), nullptr);
    EXPECT_EQ(error, AE_ERROR_DEVICE);
    EXPECT_EQ(ae::PulseOutput::open(0, 2, kBufferMs, tone.fill(), &error), nullptr);
    EXPECT_EQ(error, AE_ERROR_DEVICE);
}

}  // namespace

// aeplay, the engine's command-line player, against a local Icecast and a private PulseAudio.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <climits>
#include <string>

#include "engine_test_support.h"
#include "fixtures.h"

namespace {

std::string aeplayPath() {
#ifdef AEPLAY_PATH
    return AEPLAY_PATH;
#else
    // build/tests/engine/engine_tests -> build/tools/aeplay
    char exe[PATH_MAX] = {};
    ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
    std::string path(exe, n > 0 ? static_cast<size_t>(n) : 0);
    path = path.substr(0, path.rfind('/'));
    return path + "/../../tools/aeplay";
#endif
}

bool hasLine(const std::string& out, const std::string& line) {
    return ("\n" + out).find("\n" + line + "\n") != std::string::npos;
}

bool hasLineStarting(const std::string& out, const std::string& prefix) {
    return ("\n" + out).find("\n" + prefix) != std::string::npos;
}

class AeplayTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(::access(aeplayPath().c_str(), X_OK), 0) << aeplayPath();
        ASSERT_TRUE(pulse_.start()) << pulse_.error();
        ASSERT_TRUE(ice_.start()) << ice_.error();
    }

    bool run(fx::ChildProcess& p, const std::vector<std::string>& args) {
        std::vector<std::string> argv{aeplayPath()};
        argv.insert(argv.end(), args.begin(), args.end());
        fx::ChildProcess::Options opt;
        opt.env = pulse_.env();
        return p.start(argv, opt);
    }

    fx::PulseServer pulse_;
    fx::Icecast ice_;
};

TEST_F(AeplayTest, PrintsHeadersFormatAndTitlesThenStopsAfterTheGivenSeconds) {
    ASSERT_TRUE(ice_.startSource("a.mp3", fx::Codec::Mp3, 440, "Station A")) << ice_.error();
    fx::Recorder rec;
    ASSERT_TRUE(rec.start(pulse_));
    fx::ChildProcess p;
    ASSERT_TRUE(run(p, {ice_.url("a.mp3"), "8"}));
    ASSERT_TRUE(fx::waitUntil([&] { return hasLineStarting(p.stdoutText(), "format: "); }))
        << p.stdoutText() << p.stderrText();
    // A title holding an apostrophe and a semicolon is cut at the closing "';" only.
    ASSERT_TRUE(ice_.setTitle("a.mp3", "Artist - It's; Song"));
    EXPECT_TRUE(fx::waitUntil([&] {
        return hasLine(p.stdoutText(), "title: Artist - It's; Song");
    })) << p.stdoutText();
    EXPECT_EQ(p.wait(fx::kStartTimeout), 0) << p.stderrText();

    const std::string out = p.stdoutText();
    EXPECT_TRUE(hasLine(out, "header: HTTP/1.0 200 OK")) << out;
    EXPECT_TRUE(hasLine(out, "header: icy-name:Station A")) << out;
    EXPECT_TRUE(hasLineStarting(out, "format: 44100 Hz, 2 channels, mp3")) << out;
    EXPECT_FALSE(hasLine(out, "ended")) << "the source was still live";

    // It really played: the tone reached the sink.
    auto samples = rec.stop();
    auto start = fx::firstAudibleFrame(samples, 300);
    ASSERT_TRUE(start.has_value());
    EXPECT_NEAR(fx::analyze(samples, *start + 22050, *start + 66150).frequencyHz, 440.0, 2.0);
}

TEST_F(AeplayTest, ReportsTheEndOfAStreamAndOggTitles) {
    ASSERT_TRUE(ice_.startSource("b.ogg", fx::Codec::Ogg, 440, "Station B")) << ice_.error();
    fx::ChildProcess p;
    ASSERT_TRUE(run(p, {ice_.url("b.ogg")}));
    ASSERT_TRUE(fx::waitUntil([&] { return hasLineStarting(p.stdoutText(), "format: "); }))
        << p.stdoutText() << p.stderrText();
    EXPECT_TRUE(hasLineStarting(p.stdoutText(), "format: 44100 Hz, 2 channels, ogg"));
    ASSERT_TRUE(ice_.setTitle("b.ogg", "Chained Song"));
    EXPECT_TRUE(fx::waitUntil([&] { return hasLine(p.stdoutText(), "title: Chained Song"); }))
        << p.stdoutText();
    // Control bytes from the server are printed escaped, for a terminal not to obey them.
    ASSERT_TRUE(ice_.setTitle("b.ogg", "Evil \x1b[2J Song"));
    EXPECT_TRUE(fx::waitUntil([&] { return hasLine(p.stdoutText(), "title: Evil \\x1b[2J Song"); }))
        << p.stdoutText();
    EXPECT_EQ(p.stdoutText().find('\x1b'), std::string::npos);

    // The engine asks for the mount again for a while before the stream ends.
    ice_.stopSource("b.ogg");
    EXPECT_EQ(p.wait(std::chrono::seconds(60)), 0) << p.stderrText();
    EXPECT_TRUE(hasLine(p.stdoutText(), "ended")) << p.stdoutText();
}

TEST_F(AeplayTest, StopsCleanlyOnInterruptAndFailsWithTheEngineError) {
    ASSERT_TRUE(ice_.startSource("c.aac", fx::Codec::Aac, 440, "Station C")) << ice_.error();
    fx::ChildProcess p;
    ASSERT_TRUE(run(p, {ice_.url("c.aac")}));
    ASSERT_TRUE(fx::waitUntil([&] { return hasLineStarting(p.stdoutText(), "format: "); }))
        << p.stdoutText() << p.stderrText();
    EXPECT_TRUE(hasLineStarting(p.stdoutText(), "format: 44100 Hz, 2 channels, aac"));
    p.signal(SIGINT);
    EXPECT_EQ(p.wait(fx::kStartTimeout), 0) << p.stderrText();

    // Nothing listens on a port that was free a moment ago.
    fx::ChildProcess refused;
    ASSERT_TRUE(run(refused, {"http://127.0.0.1:" + std::to_string(fx::freePort()) + "/x.mp3"}));
    EXPECT_EQ(refused.wait(fx::kStartTimeout), 1);
    EXPECT_NE(refused.stderrText().find("engine error 9"), std::string::npos)
        << refused.stderrText();

    // Interrupted while the server keeps the stream's creation waiting for an answer.
    enginetest::ScriptServer silent([](int, const std::string&, const std::atomic<bool>& stopping) {
        enginetest::ScriptServer::pause(stopping, 60000);
    });
    for (int sig : {SIGINT, SIGTERM}) {
        const int before = silent.connections();
        fx::ChildProcess waiting;
        ASSERT_TRUE(run(waiting, {silent.url("/x.mp3")}));
        ASSERT_TRUE(fx::waitUntil([&] { return silent.connections() > before; }));
        waiting.signal(sig);
        EXPECT_EQ(waiting.wait(fx::kStartTimeout), 0) << sig << ": " << waiting.stderrText();
    }

    fx::ChildProcess missing;
    ASSERT_TRUE(run(missing, {ice_.url("missing.mp3"), "5"}));
    EXPECT_EQ(missing.wait(fx::kStartTimeout), 1);
    EXPECT_NE(missing.stderrText().find("engine error 11"), std::string::npos)
        << missing.stderrText();
}

}  // namespace

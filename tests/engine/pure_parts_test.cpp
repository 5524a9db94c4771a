// The engine's pure parts: metadata splitter, playlist parsers, address helpers, byte ring.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>

#include "byte_ring.h"
#include "engine_test_support.h"
#include "http_source.h"
#include "icy_splitter.h"
#include "playlist.h"
#include "decoder.h"

namespace ae {
namespace {

struct Split {
    std::string audio;
    std::vector<std::pair<std::string, uint64_t>> meta;
};

Split splitInChunks(uint32_t metaint, const std::string& body, const std::vector<size_t>& cuts) {
    IcySplitter splitter(metaint);
    Split out;
    auto audio = [&](const uint8_t* d, size_t n) {
        out.audio.append(reinterpret_cast<const char*>(d), n);
        return true;
    };
    auto meta = [&](std::string_view t, uint64_t off) {
        out.meta.emplace_back(std::string(t), off);
    };
    size_t pos = 0;
    for (size_t cut : cuts) {
        cut = std::min(cut, body.size());
        splitter.feed(reinterpret_cast<const uint8_t*>(body.data()) + pos, cut - pos, audio, meta);
        pos = cut;
    }
    splitter.feed(reinterpret_cast<const uint8_t*>(body.data()) + pos, body.size() - pos, audio,
                  meta);
    return out;
}

std::string metaBlock(const std::string& text) {
    size_t units = (text.size() + 15) / 16;
    std::string block(1, static_cast<char>(units));
    block += text;
    block.resize(1 + units * 16, '\0');
    return block;
}

TEST(IcySplitter, CutsMetadataOutAtAnyChunkBoundary) {
    const std::string a(10, 'a'), b(10, 'b'), c(4, 'c');
    const std::string body = a + metaBlock("StreamTitle='One';") + b + std::string(1, '\0') + c;
    Split whole = splitInChunks(10, body, {});
    EXPECT_EQ(whole.audio, a + b + c);
    ASSERT_EQ(whole.meta.size(), 1u);
    EXPECT_EQ(whole.meta[0].first, "StreamTitle='One';");  // padding stripped
    EXPECT_EQ(whole.meta[0].second, 10u);

    std::mt19937 rng(7);
    for (int round = 0; round < 200; ++round) {
        std::vector<size_t> cuts;
        for (size_t p = 0; p < body.size(); p += 1 + rng() % 7) cuts.push_back(p);
        Split pieces = splitInChunks(10, body, cuts);
        EXPECT_EQ(pieces.audio, whole.audio);
        EXPECT_EQ(pieces.meta, whole.meta);
    }
}

TEST(IcySplitter, EmptyBlocksAndNoMetaintPassAudioThrough) {
    std::string body = std::string(5, 'x') + std::string(1, '\0') + std::string(5, 'y');
    Split s = splitInChunks(5, body, {3});
    EXPECT_EQ(s.audio, std::string(5, 'x') + std::string(5, 'y'));
    EXPECT_TRUE(s.meta.empty());
    Split plain = splitInChunks(0, body, {3});
    EXPECT_EQ(plain.audio, body);
}

TEST(IcySplitter, BlockCutShortGivesNoEvent) {
    std::string body = std::string(8, 'x') + metaBlock("StreamTitle='Long title';").substr(0, 6);
    Split s = splitInChunks(8, body, {});
    EXPECT_EQ(s.audio, std::string(8, 'x'));
    EXPECT_TRUE(s.meta.empty());
}

TEST(IcySplitter, ParsesMetaintStrictly) {
    EXPECT_EQ(IcySplitter::parseMetaint("16000"), 16000u);
    EXPECT_EQ(IcySplitter::parseMetaint(" 8192 "), 8192u);
    for (const char* bad : {"0", "-1", "-16000", "abc", "", "12x", "99999999999", "1048577", "+5"})
        EXPECT_FALSE(IcySplitter::parseMetaint(bad).has_value()) << bad;
}

TEST(Playlist, ParsesEachFormatInOrder) {
    EXPECT_EQ(parsePls("[playlist]\r\nFile2=http://b/\r\nTitle1=x\r\nfile1=http://a/"
                       "\r\nNumberOfEntries=2\r\n"),
              (std::vector<std::string>{"http://a/", "http://b/"}));
    EXPECT_EQ(parseM3u("#EXTM3U\n#EXTINF:-1,Radio\nhttp://a/x.mp3\n\n  http://b/  \r\n"),
              (std::vector<std::string>{"http://a/x.mp3", "http://b/"}));
    EXPECT_EQ(
        parseAsx(
            "<ASX version=\"3.0\"><Entry><Ref HREF = \"mms://a/x?y=1&amp;z=2\" />"
            "<ref href='http://b/'/></Entry><EntryRef href=\"c.asx\"/><refx href=\"no\"/></ASX>"),
        (std::vector<std::string>{"mms://a/x?y=1&z=2", "http://b/", "c.asx"}));
    EXPECT_EQ(parseXspf("<?xml version=\"1.0\"?><playlist><trackList><track><location> http://a/1 "
                        "</location></track><track><location>http://b/?a&amp;b</location></track>"
                        "</trackList></playlist>"),
              (std::vector<std::string>{"http://a/1", "http://b/?a&b"}));
    EXPECT_TRUE(parsePls("[playlist]\nFile1=\nFilex=http://a/\n").empty());
}

TEST(Playlist, DetectsByContentTypeSniffAndExtension) {
    EXPECT_EQ(detectPlaylist("audio/x-scpls", "http://h/x", ""), PlaylistKind::Pls);
    EXPECT_EQ(detectPlaylist("text/plain", "http://h/x", "\xEF\xBB\xBF [playlist]\n"),
              PlaylistKind::Pls);
    EXPECT_EQ(detectPlaylist("audio/mpegurl; charset=utf-8", "http://h/x", "http://a/\n"),
              PlaylistKind::M3u);
    EXPECT_EQ(detectPlaylist("application/vnd.apple.mpegurl", "http://h/x",
                             "#EXTM3U\n#EXT-X-TARGETDURATION:10\n"),
              PlaylistKind::Hls);
    EXPECT_EQ(detectPlaylist("video/x-ms-asf", "http://h/x", "<ASX version=3>"), PlaylistKind::Asx);
    EXPECT_EQ(detectPlaylist("video/x-ms-asf", "http://h/x", "\x30\x26\xB2\x75"),
              PlaylistKind::None);
    EXPECT_EQ(detectPlaylist("", "http://h/list.xspf?x=1", "<x/>"), PlaylistKind::Xspf);
    EXPECT_EQ(detectPlaylist("text/plain", "http://h/a.m3u", "http://a/"), PlaylistKind::M3u);
    EXPECT_EQ(detectPlaylist("audio/mpeg", "http://h/a.pls", "\xFF\xFB\x90"), PlaylistKind::None);
}

TEST(Playlist, ResolvesRelativeEntriesAndClassifiesSchemes) {
    EXPECT_EQ(resolveUrl("http://h:8000/dir/list.pls?q=1", "stream.mp3"),
              "http://h:8000/dir/stream.mp3");
    EXPECT_EQ(resolveUrl("http://h:8000/dir/list.pls", "/top.mp3"), "http://h:8000/top.mp3");
    EXPECT_EQ(resolveUrl("https://h/dir/list.pls", "//other/x"), "https://other/x");
    EXPECT_EQ(resolveUrl("http://h", "x"), "http://h/x");
    EXPECT_EQ(resolveUrl("http://h/dir/", "mms://m/x"), "mms://m/x");
    EXPECT_EQ(schemeOf("HTTP://h/"), Scheme::Http);
    EXPECT_EQ(schemeOf("https://h"), Scheme::Http);
    EXPECT_EQ(schemeOf("mmsh://h/x"), Scheme::FfmpegProtocol);
    for (const char* bad :
         {"", "http://", "file:///etc/passwd", "ftp://h/x", "garbage", "rtsp://h/"})
        EXPECT_EQ(schemeOf(bad), Scheme::Unsupported) << bad;
}

TEST(Proxy, TakenFromTheEnvironmentAsLibcurlDoes) {
    using enginetest::ScopedEnv;
    ScopedEnv http("http_proxy", "http://h:1"), httpUpper("HTTP_PROXY", "http://H:1"),
        https("https_proxy", nullptr), httpsUpper("HTTPS_PROXY", "s:2"), all("all_proxy", nullptr),
        allUpper("ALL_PROXY", "http://a:3"), noProxy("no_proxy", nullptr),
        noProxyUpper("NO_PROXY", ".example.org, 10.0.0.0/8 ::1");
    EXPECT_EQ(environmentProxy("http://radio.test/x"), "http://h:1");
    EXPECT_EQ(environmentProxy("HTTPS://radio.test/x"), "s:2");
    {
        // HTTP_PROXY is never read (a CGI request can set it); all_proxy is the fallback.
        ScopedEnv none("http_proxy", nullptr);
        EXPECT_EQ(environmentProxy("http://radio.test/x"), "http://a:3");
    }
    for (const char* bypassed : {"http://example.org/x", "https://Radio.Example.ORG:8000/x",
                                 "http://user@10.1.2.3/x", "http://[::1]:80/x"})
        EXPECT_EQ(environmentProxy(bypassed), "") << bypassed;
    for (const char* proxied : {"http://badexample.org/x", "http://11.0.0.1/x", "http://[::2]/x"})
        EXPECT_EQ(environmentProxy(proxied), "http://h:1") << proxied;
    ScopedEnv everything("no_proxy", "*");
    EXPECT_EQ(environmentProxy("https://radio.test/x"), "");
}

// Blocking both ways under a concurrent writer: sound_path_test.cpp.
TEST(ByteRing, AbortFailsABlockedWriterAndLaterReads) {
    const uint8_t data[2] = {};
    uint8_t buf[1];
    ByteRing full(2);
    ASSERT_TRUE(full.write(data, 2));
    std::thread blocked([&] { EXPECT_FALSE(full.write(data, 1)); });
    full.abort();
    blocked.join();
    EXPECT_EQ(full.read(buf, 1), -1);
}

TEST(ByteRing, CapacityGrowsKeepingDataAndReadTimesOut) {
    ByteRing ring(4);
    const uint8_t data[4] = {1, 2, 3, 4};
    ring.write(data, 3);
    uint8_t one;
    ring.read(&one, 1);  // head moves, so growing must unwrap the data
    ring.write(data, 2);
    ring.setCapacity(16);
    EXPECT_EQ(ring.capacity(), 16u);
    uint8_t out[8];
    ASSERT_EQ(ring.read(out, 8), 4);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 4), (std::vector<uint8_t>{2, 3, 1, 2}));
    ring.setCapacity(1);
    EXPECT_EQ(ring.capacity(), 1u);
    auto deadline = ByteRing::Clock::now() + std::chrono::milliseconds(30);
    EXPECT_EQ(ring.read(out, 1, deadline), -1);
}

TEST(ByteRing, ShrinkingKeepsWhatIsHeldRoundedUp) {
    ByteRing ring(32);
    const uint8_t data[10] = {};
    ASSERT_TRUE(ring.write(data, 10));
    ring.setCapacity(4, 8);
    EXPECT_EQ(ring.capacity(), 16u);  // 10 held, rounded up to 16
    ASSERT_TRUE(ring.write(data, 6));
    EXPECT_EQ(ring.tryWrite(data, 1), 0u);  // full at 16: no room until a read
    uint8_t out[16];
    EXPECT_EQ(ring.read(out, 16), 16);
    EXPECT_EQ(ring.tryWrite(data, 1), 1u);
    EXPECT_EQ(ring.size(), 1u);
    ring.setCapacity(4, 8);
    EXPECT_EQ(ring.capacity(), 8u);
}

// The decoders' warm-up silence at a stream's start: counted up to the first sound, never past
// the budget, and a sample of sound in either channel ends it.
TEST(LeadingSilence, CountsUpToSoundOrBudget) {
    std::vector<int16_t> pcm(2 * 10, 0);
    EXPECT_EQ(leadingSilentFrames(pcm.data(), 10, 100), 10u);
    EXPECT_EQ(leadingSilentFrames(pcm.data(), 10, 4), 4u);
    EXPECT_EQ(leadingSilentFrames(pcm.data(), 10, 0), 0u);
    EXPECT_EQ(leadingSilentFrames(pcm.data(), 0, 100), 0u);
    pcm[2 * 6 + 1] = -1;  // right channel of frame 6
    EXPECT_EQ(leadingSilentFrames(pcm.data(), 10, 100), 6u);
    pcm[0] = 1;
    EXPECT_EQ(leadingSilentFrames(pcm.data(), 10, 100), 0u);
}

}  // namespace
}  // namespace ae

// The engine's pure parts: metadata splitter, playlist parsers, address helpers, byte ring,
// Windows Media headers, the format sniff and tag blocks.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>

#include "asf_header.h"
#include "byte_ring.h"
#include "decoder.h"
#include "engine_test_support.h"
#include "ffmpeg_libs.h"
#include "http_source.h"
#include "icy_splitter.h"
#include "opener.h"
#include "playlist.h"
#include "tags.h"

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

using enginetest::AsfCommand;
using enginetest::asfScriptCommands;
using enginetest::fileBytes;
using enginetest::littleEndian;
using enginetest::media;
using enginetest::withHeaderObject;

std::string headerOf(const std::string& asf) {
    const auto size = asfHeaderSize(asf);
    return size ? asf.substr(0, *size) : std::string();
}

// Script commands come in the order the server wrote them; the reader hands them out in time
// order, texts as UTF-8 (a surrogate pair as one character).
TEST(AsfHeader, ReadsPrerollAndScriptCommandsInTimeOrder) {
    const std::string wma = fileBytes(media().wma);
    const std::string plain = headerOf(wma);
    ASSERT_GT(plain.size(), 30u);
    ASSERT_LT(plain.size(), wma.size());
    const int64_t preroll = static_cast<int64_t>(enginetest::asfPrerollMs(wma));
    EXPECT_GT(preroll, 0);
    EXPECT_EQ(parseAsfHeader(plain).prerollMs, preroll);
    EXPECT_TRUE(parseAsfHeader(plain).commands.empty());

    const std::string scripted = withHeaderObject(
        wma, asfScriptCommands({u"URL", u"TITLE"}, {{9000, 1, u"Caf\u00e9 \U0001F3B5"},
                                                    {4000, 0, u"http://x/"},
                                                    {9000, 1, u"Same Time, Later"}}));
    const AsfHeaderInfo info = parseAsfHeader(headerOf(scripted));
    EXPECT_EQ(info.prerollMs, preroll);
    ASSERT_EQ(info.commands.size(), 3u);
    EXPECT_EQ(info.commands[0].timeMs, 4000);
    EXPECT_EQ(info.commands[0].type, "URL");
    EXPECT_EQ(info.commands[0].text, "http://x/");
    EXPECT_EQ(info.commands[1].type, "TITLE");
    EXPECT_EQ(info.commands[1].text, "Caf\xC3\xA9 \xF0\x9F\x8E\xB5");
    EXPECT_EQ(info.commands[2].text, "Same Time, Later");
}

// A header from the network may be cut short or lie about its sizes: the reader keeps what it
// could read and never reads past what it was given (ASan watches the copies).
TEST(AsfHeader, MalformedPartsAreSkipped) {
    const std::string wma = fileBytes(media().wma);
    const int64_t preroll = static_cast<int64_t>(enginetest::asfPrerollMs(wma));
    const std::string good = asfScriptCommands({u"TITLE"}, {{100, 0, u"One"}, {200, 0, u"Two"}});
    const std::string scripted = headerOf(withHeaderObject(wma, good));

    // Cut inside the script commands: the object is skipped, the preroll before it read.
    for (size_t cut : {size_t{1}, size_t{10}, good.size() - 30}) {
        const AsfHeaderInfo info = parseAsfHeader(scripted.substr(0, scripted.size() - cut));
        EXPECT_EQ(info.prerollMs, preroll) << cut;
        EXPECT_TRUE(info.commands.empty()) << cut;
    }
    // A command naming a type that is not there ends the list; those before it stay.
    AsfHeaderInfo info = parseAsfHeader(headerOf(withHeaderObject(
        wma,
        asfScriptCommands({u"TITLE"}, {{100, 0, u"One"}, {200, 3, u"Bad"}, {300, 0, u"Three"}}))));
    ASSERT_EQ(info.commands.size(), 1u);
    EXPECT_EQ(info.commands[0].text, "One");
    // A count beyond what the object holds reads only what is there.
    std::string overcounted = good;
    overcounted.replace(24 + 16, 2, littleEndian(500, 2));
    info = parseAsfHeader(headerOf(withHeaderObject(wma, overcounted)));
    EXPECT_EQ(info.commands.size(), 2u);
    // An object claiming fewer bytes than its own head ends the walk.
    std::string tiny = good;
    tiny.replace(16, 8, littleEndian(8, 8));
    info = parseAsfHeader(headerOf(withHeaderObject(wma, tiny)));
    EXPECT_EQ(info.prerollMs, preroll);
    EXPECT_TRUE(info.commands.empty());
    // Not a header at all.
    EXPECT_FALSE(asfHeaderSize(wma.substr(0, 23)));
    EXPECT_FALSE(asfHeaderSize(std::string(64, 'x')));
    EXPECT_TRUE(parseAsfHeader(fileBytes(media().mp3).substr(0, 4096)).commands.empty());
}

// The declared type picks the demuxer unless the first bytes plainly say otherwise; a type we
// cannot trust is left to FFmpeg's own probe.
TEST(FormatSniff, BytesOverruleAMislabelledTypeAndUnclearBytesDoNot) {
    ASSERT_TRUE(ff::load());
    auto name = [](const AVInputFormat* f) { return std::string(f ? f->name : "none"); };
    EXPECT_EQ(name(formatForContentType("Audio/MPEG; charset=x")), "mp3");
    EXPECT_EQ(name(formatForContentType("audio/aacp")), "aac");
    EXPECT_EQ(name(formatForContentType("audio/opus")), "ogg");
    EXPECT_EQ(name(formatForContentType("audio/x-flac")), "flac");
    EXPECT_EQ(name(formatForContentType("video/x-ms-asf")), "none");
    EXPECT_EQ(name(formatForContentType("")), "none");

    const std::pair<std::string, std::string> files[] = {
        {media().mp3, "mp3"}, {media().aac, "aac"}, {media().ogg, "ogg"}};
    for (const auto& [file, format] : files) {
        const std::string bytes = fileBytes(file);
        // Whichever step of the sniff first gives a clear answer, it is the right one.
        int clear = 0;
        for (size_t size : {1024, 2048, 4096}) {
            const AVInputFormat* found = plainFormatOf(std::string_view(bytes).substr(0, size));
            if (!found) continue;
            ++clear;
            EXPECT_EQ(name(found), format) << file << " at " << size;
        }
        EXPECT_GT(clear, 0) << file;
    }
    EXPECT_EQ(plainFormatOf(std::string(4096, '\0')), nullptr);
    EXPECT_EQ(plainFormatOf("ICY 200 OK\r\n"), nullptr);
    EXPECT_EQ(plainFormatOf(""), nullptr);
}

// An unchanged text is handed out as the same block; a block stays readable while its holder
// keeps it, however the newest moves on; each thread holds one block per stream and kind, for
// its latest pairs, until it lets go.
TEST(TagBlocks, SharedWhileUnchangedAndHeldPerThread) {
    std::weak_ptr<const std::string> first;
    const char* held = nullptr;
    {
        TagVersions versions;
        TagBlock a = versions.keep(3, std::string("title=A\0", 9));
        EXPECT_EQ(versions.keep(3, std::string("title=A\0", 9)), a);
        EXPECT_NE(versions.keep(4, std::string("title=A\0", 9)), a);  // each kind its own
        first = a;
        held = holdForThread(7, 3, a);
        TagBlock b = versions.keep(3, std::string("title=B\0", 9));
        EXPECT_NE(b, a);
        EXPECT_EQ(*a, std::string("title=A\0", 9));
    }
    // The versions and every other owner are gone; this thread's hold keeps the text.
    ASSERT_FALSE(first.expired());
    EXPECT_STREQ(held, "title=A");

    // Another thread's holds and release leave this thread's alone.
    std::thread([] {
        holdForThread(7, 3, std::make_shared<const std::string>("other"));
        releaseThreadTags();
    }).join();
    EXPECT_FALSE(first.expired());

    // A new block for the same stream and kind lets go of the old one; other pairs are kept.
    auto block = [](const char* text) { return std::make_shared<const std::string>(text); };
    TagBlock otherKind = block("kind 5");
    std::weak_ptr<const std::string> otherKindSeen = otherKind;
    holdForThread(7, 5, std::move(otherKind));
    holdForThread(7, 3, block("title=C"));
    EXPECT_TRUE(first.expired());
    EXPECT_FALSE(otherKindSeen.expired());

    // Past kMaxHeldTags pairs, the oldest go first.
    for (uint32_t h = 100; h < 100 + kMaxHeldTags - 1; ++h) holdForThread(h, 0, block("x"));
    EXPECT_TRUE(otherKindSeen.expired());

    TagBlock last = block("last");
    std::weak_ptr<const std::string> lastSeen = last;
    holdForThread(1, 1, std::move(last));
    releaseThreadTags();
    EXPECT_TRUE(lastSeen.expired());
}

}  // namespace
}  // namespace ae

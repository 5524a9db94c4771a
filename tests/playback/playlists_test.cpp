// The playlist readers against real files.
#include <gtest/gtest.h>

#include "playback/errors.h"
#include "playback/localfile.h"
#include "playback/playlists.h"
#include "test_support.h"

namespace {

struct Read {
    std::string title = "old title", address = "old address";
};

class Playlists : public ::testing::Test {
  protected:
    test::TempFolder dir;
    Read pls(const std::string& bytes) { return run(plsurl, "a.pls", bytes); }
    Read m3u(const std::string& bytes) { return run(m3uurl, "a.m3u", bytes); }
    Read asx(const std::string& bytes, Read start = {"", ""}) {
        return run(asxurl, "a.asx", bytes, start);
    }

  private:
    template <typename Reader>
    Read run(Reader reader, const std::string& name, const std::string& bytes, Read r = {}) {
        reader(dir.write(name, bytes), r.title, r.address);
        return r;
    }
};

TEST_F(Playlists, ExtensionOfLocation) {
    EXPECT_EQ(LocationExtension("/x/list.pls"), ".pls");
    EXPECT_EQ(LocationExtension("http://host/a.pls"), ".pls");
    EXPECT_EQ(LocationExtension("/x.d/list"), "");
    EXPECT_EQ(LocationExtension("c:\\x.d\\list"), "");
    EXPECT_EQ(LocationExtension("host:8000"), "");
    EXPECT_EQ(LocationExtension("a.tar.gz"), ".gz");
    EXPECT_EQ(LocationExtension(AsciiLower("/X/LIST.PLS")), ".pls");
}

// Every file name the desktop's types for playlists use picks a reader.
TEST_F(Playlists, ReaderByExtension) {
    EXPECT_EQ(PlaylistKindOf("/x/a.PLS"), TPlaylistKind::Pls);
    for (const char* name : {"a.m3u", "a.M3U8", "a.vlc"})
        EXPECT_EQ(PlaylistKindOf(name), TPlaylistKind::M3u) << name;
    for (const char* name : {"a.asx", "a.WAX", "a.wvx", "a.wmx"})
        EXPECT_EQ(PlaylistKindOf(name), TPlaylistKind::Asx) << name;
    for (const char* name : {"a.xspf", "a.m3u8/", "http://host/live", "a.m3u9"})
        EXPECT_EQ(PlaylistKindOf(name), TPlaylistKind::None) << name;
}

TEST_F(Playlists, LinesSplitAtCrLfAndCrLfAndEndAtNul) {
    const char bytes[] = "a\r\nb\rc\nd\n\ne\0f\ng";
    const auto path = dir.write("l.txt", std::string(bytes, sizeof bytes - 1));
    EXPECT_EQ(ReadPlaylistLines(path), (std::vector<std::string>{"a", "b", "c", "d", "", "e"}));
}

TEST_F(Playlists, MissingFileOrFolderLeavesOutputs) {
    for (const std::string& location : {dir.file("none.pls"), dir.path(), std::string()}) {
        Read r;
        plsurl(location, r.title, r.address);
        m3uurl(location, r.title, r.address);
        asxurl(location, r.title, r.address);
        EXPECT_EQ(r.title, "old title");
        EXPECT_EQ(r.address, "old address");
    }
}

TEST_F(Playlists, UnopenableFileRaisesAndLeavesOutputs) {
    const std::string path = dir.socket("s.pls");
    for (auto reader : {plsurl, m3uurl, asxurl}) {
        Read r;
        EXPECT_THROW(reader(path, r.title, r.address), EFOpenError);
        EXPECT_EQ(r.title, "old title");
        EXPECT_EQ(r.address, "old address");
    }
}

// A FIFO or a device is never opened for reading (a FIFO nobody writes to would hold the window
// thread for ever): it reads as a file that cannot be opened.
TEST_F(Playlists, FifoOrDeviceIsUnopenable) {
    const std::string fifo = dir.fifo("f.pls");
    const std::string device = dir.symlink("z.m3u", "/dev/zero");
    for (auto reader : {plsurl, m3uurl, asxurl}) {
        for (const std::string& path : {fifo, device}) {
            test::FifoRelease release(fifo);
            Read r;
            EXPECT_THROW(reader(path, r.title, r.address), EFOpenError) << path;
            EXPECT_FALSE(release.released()) << "the reader waited in opening " << path;
            EXPECT_EQ(r.title, "old title");
            EXPECT_EQ(r.address, "old address");
        }
    }
}

// Only the first kLocalFileReadMax bytes are read: an entry past them does not count.
TEST_F(Playlists, ReadsOnlyTheFirstMebibyte) {
    const std::string filler = "; " + std::string(kLocalFileReadMax, 'x') + "\n";
    auto r = pls("[playlist]\n" + filler + "File1=http://late/\nTitle1=Late\n");
    EXPECT_EQ(r.address, "");
    EXPECT_EQ(r.title, "");
    r = m3u("#EXTINF:-1,Early\nhttp://early/\n" + filler + "#EXTINF:-1,Late\nhttp://late/\n");
    EXPECT_EQ(r.title, "Early");
    EXPECT_EQ(r.address, "http://early/");
    EXPECT_EQ(ReadPlaylistLines(dir.write("big.txt", std::string(3 * kLocalFileReadMax, 'y')))
                  .at(0)
                  .size(),
              kLocalFileReadMax);
}

TEST_F(Playlists, PlsFirstEntryCaseInsensitiveKeys) {
    auto r = pls("[playlist]\r\nfile1=http://a/1\r\nTITLE1=One \r\nFile1=http://b\r\n");
    EXPECT_EQ(r.address, "http://a/1");
    EXPECT_EQ(r.title, "One");

    // Blanks around "=" and around the address, as hand-written files have them.
    r = pls("[playlist]\n File1 = \thttp://a/1 \nTitle1\t= One Two\nFile1=http://b\n");
    EXPECT_EQ(r.address, "http://a/1");
    EXPECT_EQ(r.title, "One Two");

    r = pls("[playlist]\nFile10=http://ten\nTitle1=T\n");
    EXPECT_EQ(r.address, "");  // File10 is another key
    EXPECT_EQ(r.title, "T");

    r = pls("File1=http://a=b\n");
    EXPECT_EQ(r.address, "http://a=b");  // everything after the first "="
    EXPECT_EQ(r.title, "");              // missing key: assigned empty
}

TEST_F(Playlists, M3uLastEntryWinsPerOutput) {
    auto r = m3u("#EXTM3U\n#EXTINF:-1,First\nhttp://first/\n#EXTINF:-1,Second\nhttp://second/ \n");
    EXPECT_EQ(r.title, "Second");
    EXPECT_EQ(r.address, "http://second/");

    r = m3u("#extinf:-1,lower name\r\n");
    EXPECT_EQ(r.title, "lower name");
    EXPECT_EQ(r.address, "old address");

    r = m3u("#EXTINF:123,Timed\nftp://x/\n");
    EXPECT_EQ(r.title, "old title");
    EXPECT_EQ(r.address, "old address");
}

// As stations publish them: a retired address left commented out after the live one, and
// information lines indented or carrying an address as the name.
TEST_F(Playlists, M3uCommentsAreNoAddresses) {
    auto r =
        m3u("#EXTM3U\r\n#EXTINF:-1,Radio One\r\nhttp://live.example:8000/stream\r\n"
            "#http://old.example/stream\r\n  # HTTP://older.example/\r\n");
    EXPECT_EQ(r.address, "http://live.example:8000/stream");
    EXPECT_EQ(r.title, "Radio One");

    r = m3u("#EXTINF:-1,http://name.example/\n");
    EXPECT_EQ(r.title, "http://name.example/");
    EXPECT_EQ(r.address, "old address");

    r = m3u("\t http://indented.example/ \n");
    EXPECT_EQ(r.address, "http://indented.example/");
}

TEST_F(Playlists, M3uIndentedInformationLineCutsFromTheTag) {
    auto r = m3u("#EXTM3U\n  #EXTINF:-1,Name\n  http://a.example/\n");
    EXPECT_EQ(r.title, "Name");
    r = m3u("\t#extinf:-1,Tabbed \n");
    EXPECT_EQ(r.title, "Tabbed ");
}

TEST_F(Playlists, M3uTakesSecureAddresses) {
    auto r = m3u("#EXTINF:-1,Secure\nhttps://secure.example/live\n");
    EXPECT_EQ(r.title, "Secure");
    EXPECT_EQ(r.address, "https://secure.example/live");
    r = m3u("HTTPS://UPPER/\nhttp://plain/\n");
    EXPECT_EQ(r.address, "http://plain/");
}

// An .m3u8 is an .m3u in UTF-8, often with a byte order mark. HLS tags in it: a master
// playlist's last variant is the address (the engine plays it as HLS), a media playlist's
// segments are none.
TEST_F(Playlists, M3u8AndHlsPlaylists) {
    auto r = m3u("\xEF\xBB\xBFhttp://first.example/\n");
    EXPECT_EQ(r.address, "http://first.example/");
    r =
        m3u("\xEF\xBB\xBF#EXTM3U\n#EXTINF:-1,R\xC3\xA2"
            "dyo \xC5\x9E\nhttp://a.example/\n");
    EXPECT_EQ(r.title,
              "R\xC3\xA2"
              "dyo \xC5\x9E");

    r =
        m3u("#EXTM3U\n#EXT-X-VERSION:3\n#EXT-X-MEDIA:TYPE=AUDIO,URI=\"http://x/audio.m3u8\"\n"
            "#EXT-X-STREAM-INF:BANDWIDTH=64000\nhttp://a.example/low.m3u8\n"
            "#EXT-X-STREAM-INF:BANDWIDTH=128000\nhttp://a.example/high.m3u8\n");
    EXPECT_EQ(r.address, "http://a.example/high.m3u8");

    r =
        m3u("#EXTM3U\n#EXT-X-VERSION:3\n#EXT-X-TARGETDURATION:6\n#EXT-X-MEDIA-SEQUENCE:7\n"
            "#EXTINF:6.0,\nhttp://a.example/seg7.ts\n#EXTINF:6.0,\nhttp://a.example/seg8.ts\n");
    EXPECT_EQ(r.address, "old address");
}

TEST_F(Playlists, AsxTitleAndReference) {
    auto r =
        asx("<asx version=\"3.0\">\r\n<TITLE>Global</TITLE>\r\n<entry>\r\n<Title>Entry</tItLe>\r\n"
            "\t\t<ref href = \"http://host/str eam\" />\r\n<title>After</title>\r\n</entry></asx>");
    EXPECT_EQ(r.title, " Entry ");
    EXPECT_EQ(r.address, "http://host/stream");  // spaces vanish, tabs trimmed
}

TEST_F(Playlists, AsxTitleWithoutClosingTagAndInfoLinkFirst) {
    auto r = asx("<title>Open\n<moreinfo href=\"http://info/\"/>\n<ref href=\"http://s/\"/>\n");
    EXPECT_EQ(r.title, "  ");
    EXPECT_EQ(r.address, "http://info/");  // the first href wins, whatever it is
}

TEST_F(Playlists, AsxReferenceWithoutClosingCharactersStaysEmpty) {
    auto r = asx("<ref href=\"http://broken\">\n<ref href=\"http://good/\"/>\n");
    EXPECT_EQ(r.address, "http://good/");
    EXPECT_EQ(r.title, "");
    r = asx("<ref href=\"http://broken\">\n");
    EXPECT_EQ(r.address, "");
    r = asx("href");  // too short to hold the two characters after it
    EXPECT_EQ(r.address, "");
}

// As files in the wild spell a reference: entities in the address, a closing tag, single
// quotes.
TEST_F(Playlists, AsxReferenceSpellings) {
    auto r = asx("<ref href=\"http://h/live?a=1&amp;b=2&#38;c=&#x33;&bogus;\"/>\n");
    EXPECT_EQ(r.address, "http://h/live?a=1&b=2&c=3&bogus;");
    r = asx("<entry>\n  <REF HREF=\"http://h/closed\"></REF>\n</entry>\n");
    EXPECT_EQ(r.address, "http://h/closed");
    r = asx("<Ref href = 'http://h/single' />\n");
    EXPECT_EQ(r.address, "http://h/single");
    r = asx("<ref\thref='http://h/closed'></ref>\n");
    EXPECT_EQ(r.address, "http://h/closed");
    // Only a ref element is closed at once; any other with its own tag stays unread.
    r = asx("<moreinfo href=\"http://info/\"></moreinfo>\n<ref href=\"http://s/\"/>\n");
    EXPECT_EQ(r.address, "http://s/");
}

TEST_F(Playlists, AsxKeepsGivenAddressAndStopsWhenBothFound) {
    auto r = asx("<ref href=\"http://new/\"/>\n<title>T</title>\n", Read{"", "given"});
    EXPECT_EQ(r.address, "given");
    EXPECT_EQ(r.title, " T ");
}

TEST_F(Playlists, BytesPassUnconverted) {
    auto r =
        pls("File1=http://a/\nTitle1=R\xE2"
            "dyo \xFE\xF0\n");
    EXPECT_EQ(r.title,
              "R\xE2"
              "dyo \xFE\xF0");
}

}  // namespace

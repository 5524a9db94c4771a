// Tag lists, header fields, the metadata title and the format texts.
#include <gtest/gtest.h>

#include "audioengine.h"
#include "text/displaytext.h"
#include "tags/tagtext.h"

namespace {

std::optional<std::string> Title(const std::string& meta) {
    return StreamTitleFromMeta(meta);
}

TEST(StreamTitle, PlainTitleWithoutQuotes) {
    EXPECT_EQ(Title("StreamTitle='Artist - Song';"), "Artist - Song");
    EXPECT_EQ(Title("StreamTitle='Artist - Song';StreamUrl='';"), "Artist - Song");
    EXPECT_EQ(Title("StreamTitle='';"), "");
}

// The title runs to the first "';" after StreamTitle=', not to the text's first ";".
TEST(StreamTitle, SemicolonsDoNotCutRealTitles) {
    EXPECT_EQ(Title("StreamTitle='A;B';"), "A;B");
    EXPECT_EQ(Title("StreamUrl='x';StreamTitle='y';"), "y");
    EXPECT_EQ(Title("StreamTitle='It's; fine';"), "It's; fine");
}

TEST(StreamTitle, UnclosedAndMissing) {
    EXPECT_EQ(Title("StreamTitle='Open ended"), "Open ended");
    EXPECT_EQ(Title("StreamTitle='Closed'"), "Closed");
    EXPECT_EQ(Title("StreamTitle='"), "");
    EXPECT_EQ(Title("StreamTitle="), "");
    EXPECT_EQ(Title("StreamTitle=bare;rest"), "bare");
    EXPECT_FALSE(Title("StreamUrl='x';"));
    EXPECT_FALSE(Title("streamtitle='lower';"));
    EXPECT_FALSE(Title(""));
}

TEST(TagList, WalksUntilEmptyEntry) {
    const char list[] = "a\0bc\0\0ignored\0";
    std::vector<std::string> seen;
    ForEachTagEntry(list, [&](std::string_view entry) { seen.emplace_back(entry); });
    EXPECT_EQ(seen, (std::vector<std::string>{"a", "bc"}));
    ForEachTagEntry(nullptr, [&](std::string_view) { FAIL(); });
    ForEachTagEntry("", [&](std::string_view) { FAIL(); });
}

TEST(TagText, PrefixIsExactAndCaseSensitive) {
    EXPECT_TRUE(HasPrefix("icy-name:X", "icy-name:"));
    EXPECT_FALSE(HasPrefix("ICY-NAME:X", "icy-name:"));
    EXPECT_FALSE(HasPrefix("icy-nam", "icy-name:"));
}

TEST(TagText, TextBeforeAndAfter) {
    EXPECT_EQ(TextBefore("icy-br:128", ':'), "icy-br");
    EXPECT_EQ(TextBefore("nocolon", ':'), "nocolon");
    EXPECT_EQ(TextAfter("icy-br: 128:x", ':'), " 128:x");
    EXPECT_EQ(TextAfter("nocolon", ':'), "nocolon");
    EXPECT_EQ(TextAfter("k:" + std::string(300, 'v'), ':'), std::string(255, 'v'));
    EXPECT_EQ(TrimBlanks(" \t128\r\n"), "128");
    EXPECT_EQ(TrimBlanks("  "), "");
}

TEST(TagText, DecimalOrZero) {
    EXPECT_EQ(DecimalOrZero("128"), 128);
    EXPECT_EQ(DecimalOrZero("-5"), -5);
    EXPECT_EQ(DecimalOrZero("+7"), 7);
    EXPECT_EQ(DecimalOrZero("128k"), 0);
    EXPECT_EQ(DecimalOrZero(""), 0);
    EXPECT_EQ(DecimalOrZero("99999999999"), 0);
}

TEST(TagText, CodecAndFormatTexts) {
    EXPECT_EQ(CodecText(AE_CTYPE_STREAM_OGG), "ogg");
    for (uint32_t mpeg : {0x10003u, 0x10004u, 0x10005u}) EXPECT_EQ(CodecText(mpeg), "mp3");
    EXPECT_EQ(CodecText(0x10300u), "wma");
    EXPECT_EQ(CodecText(0x10301u), "wma");
    EXPECT_EQ(CodecText(0x10b00u), "aac");
    EXPECT_EQ(CodecText(0x10b01u), "mp4");
    EXPECT_EQ(CodecText(AE_CTYPE_STREAM_OPUS), "opus");
    EXPECT_EQ(CodecText(AE_CTYPE_STREAM_FLAC_OGG), "flac");
    EXPECT_EQ(CodecText(0x10000u), "");
    EXPECT_EQ(KbpsText(128, "mp3"), "128 kbps mp3");
    EXPECT_EQ(KbpsText(0, ""), "0 kbps ");
    EXPECT_EQ(HzText(44100, 2), "44100 Hz Stereo ");
    EXPECT_EQ(HzText(22050, 1), "22050 Hz Mono ");
    EXPECT_EQ(HzText(48000, 6), "48000 Hz Stereo ");
}

TEST(DisplayText, Utf8OrWindows1254) {
    EXPECT_EQ(ToDisplayText("Bağlanıyor"), QString::fromUtf8("Bağlanıyor"));
    // Windows-1254: 0xF0 ğ, 0xFD ı, 0xDD İ, 0xDE Ş, 0x80 €.
    EXPECT_EQ(ToDisplayText("Ba\xF0lan\xFDyor \xDD\xDE\x80"), QString::fromUtf8("Bağlanıyor İŞ€"));
    EXPECT_FALSE(IsValidUtf8("\xC0\x80"));      // overlong
    EXPECT_FALSE(IsValidUtf8("\xED\xA0\x80"));  // surrogate
    EXPECT_FALSE(IsValidUtf8("\xC4"));          // cut short
    EXPECT_TRUE(IsValidUtf8("\xF0\x9F\x8E\xB5"));
}

TEST(DisplayText, CutBytes) {
    EXPECT_EQ(CutBytes("abcdef", 3), "abc");
    EXPECT_EQ(CutBytes("ab\xC5\x9F", 3), "ab");      // UTF-8: whole characters only
    EXPECT_EQ(CutBytes("ab\xFE\xFE", 3), "ab\xFE");  // single-byte text: plain cut
    EXPECT_EQ(CutBytes("ab", 58), "ab");
}

}  // namespace

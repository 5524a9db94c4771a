// The window's handling of each status code, as a pure transition.
#include <gtest/gtest.h>

#include "playback/playerstatus.h"
#include "playback/station.h"

namespace {

struct Status {
    std::string station, song;
    TStatusEffect apply(uint32_t code, intptr_t lParam) {
        return PlayerStatusTransition(code, lParam, station, song);
    }
    TStatusEffect apply(uint32_t code, const char* text) {
        return apply(code, reinterpret_cast<intptr_t>(text));
    }
};

TEST(PlayerStatus, ConnectingShowsCaptionAndConnectingText) {
    Status s{"Radio", "Old Song"};
    const auto effect = s.apply(0, intptr_t(0));
    EXPECT_EQ(effect.label3, std::string("VARNO ZIVAV 96.2"));
    EXPECT_EQ(effect.label4, std::string("Bağlanıyor..."));
    EXPECT_EQ(s.song, "Old Song");  // kept until the next title
    EXPECT_EQ(s.station, "Radio");
}

TEST(PlayerStatus, NoServiceAndBufferingPercentages) {
    Status s;
    auto effect = s.apply(1, intptr_t(0));
    EXPECT_EQ(effect.label4, std::string("Servis Yok"));
    EXPECT_FALSE(effect.label3);

    effect = s.apply(2, intptr_t(0));
    EXPECT_EQ(effect.label4, std::string("Yükleniyor... 0%"));
    EXPECT_TRUE(effect.repaintLabel4);
    EXPECT_EQ(s.apply(2, intptr_t(-1)).label4, std::string("Yükleniyor... -1%"));
    EXPECT_EQ(s.apply(2, intptr_t(76)).label4, std::string("Yükleniyor... 76%"));
    EXPECT_EQ(s.apply(2, intptr_t(int32_t(0x80000000))).label4,
              std::string("Yükleniyor... -2147483648%"));
}

TEST(PlayerStatus, StationNameOnlyTakenWhileEmpty) {
    Status s;
    auto effect = s.apply(3, "Radio One  ");
    EXPECT_EQ(s.station, "Radio One");
    EXPECT_EQ(effect.label4, std::string("Radio One"));

    effect = s.apply(3, "Other");
    EXPECT_EQ(s.station, "Radio One");
    EXPECT_EQ(effect.label4, std::string("Radio One"));

    Status t{"Kept   ", ""};
    effect = t.apply(3, "Ignored");
    EXPECT_EQ(t.station, "Kept");
    EXPECT_EQ(effect.label4, std::string("Kept"));

    Status blank;
    effect = blank.apply(3, "    ");
    EXPECT_EQ(blank.station, "");
    EXPECT_EQ(effect.label4, std::string(""));

    Status leading;
    leading.apply(3, " \tName");
    EXPECT_EQ(leading.station, " \tName");  // only trailing spaces go
}

// The label shows a cut title; the song title keeps it whole for the media controls.
TEST(PlayerStatus, SongTitleTrimmedAndCut) {
    Status s;
    const std::string seventy(70, 'x');
    auto effect = s.apply(7, seventy.c_str());
    EXPECT_EQ(s.song, seventy);
    EXPECT_EQ(effect.label3, std::string(58, 'x'));

    // The cut comes after trimming, so a cut title may end in a space.
    const std::string spaced = std::string(57, 'a') + " b   ";
    effect = s.apply(7, spaced.c_str());
    EXPECT_EQ(effect.label3, std::string(57, 'a') + " ");
    EXPECT_EQ(s.song, std::string(57, 'a') + " b");

    effect = s.apply(7, "Song\t");
    EXPECT_EQ(s.song, "Song\t");
    EXPECT_EQ(effect.label3, std::string("Song\t"));

    effect = s.apply(6, "Six");
    EXPECT_EQ(effect.label3, std::string("Six"));
}

TEST(PlayerStatus, EmptySongTitleKeepsLabel) {
    Status s{"", "Before"};
    for (const char* text : {"", "     "}) {
        const auto effect = s.apply(7, text);
        EXPECT_EQ(s.song, "");
        EXPECT_FALSE(effect.label3);
        EXPECT_FALSE(effect.label4);
    }
}

TEST(PlayerStatus, SongCutNeverSplitsUtf8Character) {
    Status s;
    const std::string title = std::string(57, 'a') + "ş and more";  // ş is two bytes
    const auto effect = s.apply(7, title.c_str());
    EXPECT_EQ(effect.label3, std::string(57, 'a'));
}

TEST(PlayerStatus, OtherCodesChangeNothing) {
    for (uint32_t code : {4u, 5u, 8u, 9u, 100u, 4294967295u}) {
        Status s{"Station", "Song"};
        const auto effect = s.apply(code, "text");
        EXPECT_FALSE(effect.label3) << code;
        EXPECT_FALSE(effect.label4) << code;
        EXPECT_EQ(s.station, "Station");
        EXPECT_EQ(s.song, "Song");
    }
}

}  // namespace

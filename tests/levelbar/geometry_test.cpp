// Block maps, lit lengths and the percentage text, without a window.
#include "widgets/levelbar/levelbar_geometry.h"

#include <gtest/gtest.h>

#include <set>

using namespace LevelBar;

namespace {
constexpr int kMeterBarLength = 95;
constexpr int kMeterMaximum = 65535;

int MeterLitLength(int position) {
    const int v = std::min(position, kMeterMaximum);
    return LitLengthFor(kMeterBarLength, 5, PercentOf(v, kMeterMaximum));
}

std::set<int> ActivePositions(const TBlockMap& map) {
    std::set<int> out;
    for (int p = 0; p < int(map.size()); ++p)
        if (map[p].active) out.insert(p);
    return out;
}
}  // namespace

TEST(LevelBarBlockMap, MeterHas18BlocksStackedFromRow92) {
    const TBlockMap map = BuildBlockMap(boVertical, kMeterBarLength, 4, 4, 1);
    ASSERT_EQ(map.size(), 96u);
    std::set<int> expected;
    for (int j = 0; j < 18; ++j)
        for (int row = 89 - 5 * j; row <= 92 - 5 * j; ++row) expected.insert(row);
    EXPECT_EQ(ActivePositions(map), expected);
    // Every row of a block records the block's top row; a gap records the
    // block above it.
    EXPECT_EQ(map[92].blockEnd, 89);
    EXPECT_EQ(map[89].blockEnd, 89);
    EXPECT_EQ(map[88].blockEnd, 84);
    EXPECT_EQ(map[52].blockEnd, 49);
    EXPECT_EQ(map[4].blockEnd, 4);
    EXPECT_FALSE(map[93].active);
    EXPECT_FALSE(map[95].active);
}

TEST(LevelBarBlockMap, HorizontalBlocksStartAtColumn3AndTheLastIsShortened) {
    const TBlockMap map = BuildBlockMap(boHorizontal, 60, 4, 4, 1);
    ASSERT_EQ(map.size(), 61u);
    std::set<int> expected;
    for (int start = 3; start <= 53; start += 5)
        for (int c = start; c < start + 4; ++c) expected.insert(c);
    expected.insert({58, 59, 60});
    EXPECT_EQ(ActivePositions(map), expected);
    EXPECT_EQ(map[1].blockEnd, 6);
    EXPECT_EQ(map[7].blockEnd, 11);
    EXPECT_EQ(map[57].blockEnd, 60);
    EXPECT_EQ(map[60].blockEnd, 60);

    // The start stays at column 3 with a margin of 1 too.
    const TBlockMap thin = BuildBlockMap(boHorizontal, 62, 2, 2, 3);
    EXPECT_FALSE(thin[1].active);
    EXPECT_FALSE(thin[2].active);
    EXPECT_TRUE(thin[3].active);
    EXPECT_TRUE(thin[4].active);
    EXPECT_FALSE(thin[7].active);
    EXPECT_TRUE(thin[8].active);
}

TEST(LevelBarBlockMap, TopVerticalBlockStopsAtTheInset) {
    // barLength 20, inset 4: blocks 14..17, 9..12, then 4..7 cut to the inset.
    const TBlockMap map = BuildBlockMap(boVertical, 20, 4, 4, 1);
    std::set<int> expected = {14, 15, 16, 17, 9, 10, 11, 12, 4, 5, 6, 7};
    EXPECT_EQ(ActivePositions(map), expected);
    const TBlockMap cut = BuildBlockMap(boVertical, 20, 4, 5, 2);
    // 13..17, 6..10, then start 3 is above the inset: nothing more.
    expected = {13, 14, 15, 16, 17, 6, 7, 8, 9, 10};
    EXPECT_EQ(ActivePositions(cut), expected);
}

TEST(LevelBarBlockMap, EmptyBarHasOneInactiveEntry) {
    for (int length : {0, -3}) {
        const TBlockMap map = BuildBlockMap(boVertical, length, 4, 4, 1);
        ASSERT_EQ(map.size(), 1u);
        EXPECT_FALSE(map[0].active);
    }
}

TEST(LevelBarLitLength, MeterPositions) {
    for (int v = 1; v <= 3794; ++v) ASSERT_EQ(MeterLitLength(v), 5) << v;
    EXPECT_EQ(MeterLitLength(3795), 6);
    EXPECT_EQ(MeterLitLength(32767), 47);
    EXPECT_EQ(MeterLitLength(32768), 48);
    EXPECT_EQ(MeterLitLength(65190), 94);
    for (int v = 65191; v <= 65536; ++v) ASSERT_EQ(MeterLitLength(v), 95) << v;
}

TEST(LevelBarLitLength, HalvesGoToTheEvenNeighbourAndNegativeBarsStayEmpty) {
    EXPECT_EQ(LitLengthFor(60, 5, 12.5), 8);  // t = 7.5
    EXPECT_EQ(LitLengthFor(50, 5, 17), 8);    // t = 8.5
    EXPECT_EQ(LitLengthFor(50, 5, 19), 10);   // t = 9.5
    EXPECT_EQ(LitLengthFor(50, 5, 200), 50);  // beyond the bar
    EXPECT_EQ(LitLengthFor(60, 5, 1), 5);     // 0 < t < minimum
    EXPECT_EQ(LitLengthFor(0, 5, 50), 0);
    EXPECT_LE(LitLengthFor(-2, 5, 50), 0);
}

TEST(LevelBarPercent, QuotientAndLargePositions) {
    EXPECT_DOUBLE_EQ(PercentOf(1, kMeterMaximum), 100.0 / 65535);
    EXPECT_EQ(PercentOf(65535, kMeterMaximum), 100.0);
    // position * 100 must not wrap around in 32 bits.
    EXPECT_DOUBLE_EQ(PercentOf(2000000000, 2100000000), 2000000000.0 * 100 / 2100000000);
}

TEST(LevelBarPercent, GeneralFormatWith15Digits) {
    EXPECT_EQ(FormatPercent(PercentOf(32768, kMeterMaximum)), "50.0007629510948");
    EXPECT_EQ(FormatPercent(PercentOf(1, 3)), "33.3333333333333");
    EXPECT_EQ(FormatPercent(100), "100");
    EXPECT_EQ(FormatPercent(0), "0");
    EXPECT_EQ(FormatPercent(12.5), "12.5");
    EXPECT_EQ(FormatPercent(0.5), "0.5");
    EXPECT_EQ(FormatPercent(PercentOf(1, kMeterMaximum)), "0.00152590218966964");
    EXPECT_EQ(FormatPercent(0.00001), "0.00001");
    EXPECT_EQ(FormatPercent(0.000001), "1E-6");
    EXPECT_EQ(FormatPercent(1.5e-7), "1.5E-7");
    EXPECT_EQ(FormatPercent(100.0 / 2147483647), "4.6566128752458E-8");
    EXPECT_EQ(FormatPercent(99.99999999999999), "100");
    EXPECT_EQ(FormatPercent(-2.25), "-2.25");
    EXPECT_EQ(FormatPercent(1e15), "1E15");
}

TEST(LevelBarPercent, UsesTheGivenDecimalSeparator) {
    EXPECT_EQ(FormatPercent(PercentOf(1, 3), ","), "33,3333333333333");
    EXPECT_EQ(FormatPercent(1.5e-7, ","), "1,5E-7");
    EXPECT_EQ(FormatPercent(40, ","), "40");
}

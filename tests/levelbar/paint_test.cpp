// Painted pixels: rendered off-screen and compared with the colour tables.
#include "test_support.h"

#include <QLocale>
#include <gtest/gtest.h>

using namespace LevelBar;
using namespace LevelBarTest;

namespace {
constexpr QRgb kMeterBackground = 0xFFF7F7F7;
constexpr QRgb kMeterOutline = 0xFFEFEFEF;

bool IsMeterBlockRow(int y) {
    return y >= 4 && y <= 92 && (y - 4) % 5 != 4;
}

// Every painted pixel of a meter's columns 3..22, rows 0..98.
void ExpectMeterRows(const TLevelBar& bar, const QImage& image, int firstLit, int lastInactive) {
    for (int y = 1; y < 98; ++y) {
        for (int x = 3; x <= 22; ++x) {
            QRgb expected = kMeterBackground;
            if (IsMeterBlockRow(y) && y >= firstLit)
                expected = ToPixel(bar.rowColors()[y][x]);
            else if (IsMeterBlockRow(y) && y <= lastInactive)
                expected = ToPixel(bar.inactiveColors()[x]);
            ASSERT_EQ(Px(image, x, y), expected) << "x " << x << " y " << y;
        }
    }
}
}  // namespace

TEST(LevelBarPaint, MeterFrame) {
    TLevelBar bar;
    MakeMeter(bar, 0);
    const QImage image = Render(bar);
    ASSERT_EQ(image.size(), QSize(26, 99));
    EXPECT_EQ(Px(image, 0, 50), kMeterOutline);
    EXPECT_EQ(Px(image, 25, 50), kMeterOutline);
    EXPECT_EQ(Px(image, 13, 0), kMeterOutline);
    EXPECT_EQ(Px(image, 13, 98), kMeterOutline);
    for (int x : {1, 2, 23, 24}) EXPECT_EQ(Px(image, x, 50), kMeterBackground) << x;
    // The corner pixels lie outside the rounded frame: the widget's fill shows.
    EXPECT_EQ(Px(image, 0, 0), kFill);
    EXPECT_EQ(Px(image, 25, 98), kFill);
}

TEST(LevelBarPaint, MinimumLitLengthLightsOnlyTheGapRow) {
    TLevelBar bar;
    MakeMeter(bar, 3794);
    ASSERT_EQ(bar.litLength(), 5);
    const QImage image = Render(bar);
    // Row 94 is lit but lies in the gap below the lowest block; every block
    // shows inactive.
    ExpectMeterRows(bar, image, 99, 92);
    for (int x = 3; x <= 22; ++x) EXPECT_EQ(Px(image, x, 94), kMeterBackground);
}

TEST(LevelBarPaint, MeterAtHalfLevel) {
    TLevelBar bar;
    MakeMeter(bar, 32768);
    ASSERT_EQ(bar.litLength(), 48);
    const QImage image = Render(bar);
    // Rows 51..94 lit (the blocks from 54 to 92 wholly, 51..52 of the block
    // 49..52), rows 49..50 and every block above inactive.
    ExpectMeterRows(bar, image, 51, 50);
    EXPECT_EQ(Px(image, 3, 51), ToPixel(bar.rowColors()[51][3]));
    EXPECT_EQ(Px(image, 3, 50), ToPixel(0x8EE2FB));
    EXPECT_EQ(Px(image, 22, 50), ToPixel(0x85DFFA));
}

TEST(LevelBarPaint, FullMeterAndOneStepBelowFull) {
    TLevelBar bar;
    MakeMeter(bar, 65536);
    ExpectMeterRows(bar, Render(bar), 4, 3);
    bar.setPosition(65190);  // litLength 94: row 5 is the top lit row
    ExpectMeterRows(bar, Render(bar), 5, 4);
}

TEST(LevelBarPaint, ShowFullBlockPaintsPartialBlocksInactiveOrNot) {
    TLevelBar bar;
    MakeMeter(bar, 32768);
    bar.setShowFullBlock(true);
    QImage image = Render(bar);
    ExpectMeterRows(bar, image, 54, 52);

    bar.setShowInactivePos(false);
    image = Render(bar);
    for (int y = 4; y <= 53; ++y)
        for (int x = 3; x <= 22; ++x) ASSERT_EQ(Px(image, x, y), kMeterBackground) << y;
    EXPECT_EQ(Px(image, 3, 54), ToPixel(bar.rowColors()[54][3]));
}

TEST(LevelBarPaint, EmptyVerticalBarWithoutBlocksPaintsOneRowLower) {
    TLevelBar bar;
    MakeMeter(bar, 0);
    bar.setSpaceSize(0);
    ASSERT_FALSE(bar.blocksOn());
    QImage image = Render(bar);
    for (int y = 4; y <= 95; ++y)
        ASSERT_EQ(Px(image, 10, y), ToPixel(bar.inactiveColors()[10])) << y;
    EXPECT_EQ(Px(image, 10, 3), kMeterBackground);
    EXPECT_EQ(Px(image, 10, 96), kMeterBackground);

    bar.setPosition(1);
    image = Render(bar);
    EXPECT_EQ(Px(image, 10, 94), ToPixel(bar.rowColors()[94][10]));
    EXPECT_EQ(Px(image, 10, 93), ToPixel(bar.inactiveColors()[10]));
    EXPECT_EQ(Px(image, 10, 95), kMeterBackground);
    EXPECT_EQ(Px(image, 10, 4), ToPixel(bar.inactiveColors()[10]));
}

TEST(LevelBarPaint, ThinHorizontalBarUsesMarginOne) {
    TLevelBar bar;
    bar.setHeight(8);
    bar.setOrientation(boHorizontal);  // chooses margin 1 for a thickness below 10
    ASSERT_EQ(bar.margin(), 1);
    bar.setBarKind(bkCylinder);
    bar.setStartColor(0x0000FF);
    bar.setShowInactivePos(true);
    QImage image = Render(bar);
    const QRgb background = ToPixel(bar.backgroundColor());
    for (int y = 1; y <= 6; ++y) {
        if (y >= 2 && y <= 5) {  // rows 1 and 6 of columns 1..2 carry the rounded corners
            EXPECT_EQ(Px(image, 1, y), background);
            EXPECT_EQ(Px(image, 2, y), background);
        }
        for (int x = 3; x <= 62; ++x)
            ASSERT_EQ(Px(image, x, y), ToPixel(bar.inactiveColors()[y])) << x << "," << y;
    }
    bar.setPosition(50);
    ASSERT_EQ(bar.litLength(), 31);
    image = Render(bar);
    for (int y = 1; y <= 6; ++y) {
        for (int x = 1; x <= 31; ++x)
            ASSERT_EQ(Px(image, x, y), ToPixel(bar.rowColors()[x][y])) << x << "," << y;
        EXPECT_EQ(Px(image, 32, y), ToPixel(bar.inactiveColors()[y]));
    }
    EXPECT_EQ(Px(image, 10, 0), ToPixel(bar.shapeColor()));
    EXPECT_EQ(Px(image, 10, 7), ToPixel(bar.shapeColor()));
}

TEST(LevelBarPaint, HorizontalBlocksAndGradientDirection) {
    TLevelBar bar;
    bar.setBlockSize(4);
    bar.setSpaceSize(1);
    bar.setStartColor(0x000000);
    bar.setFinalColor(0x0000FF);
    bar.setPosition(100);
    const QImage image = Render(bar);
    const QRgb background = ToPixel(bar.backgroundColor());
    for (int x = 3; x <= 60; ++x) {
        const QRgb expected =
            bar.blockMap()[x].active ? ToPixel(bar.rowColors()[x][5]) : background;
        ASSERT_EQ(Px(image, x, 5), expected) << x;
    }
    // The start colour is at the left end, the final colour at the right.
    EXPECT_LT(qRed(Px(image, 3, 5)), qRed(Px(image, 60, 5)));
    EXPECT_EQ(Px(image, 60, 5), 0xFFFF0000);
    EXPECT_EQ(Px(image, 30, 5), qRgb(127, 0, 0) | 0xFF000000);
}

TEST(LevelBarPaint, UnshapedBarLeavesTheFillAroundAndBeyond) {
    TLevelBar bar;
    bar.setShaped(false);
    bar.setPosition(50);
    const QImage image = Render(bar);
    EXPECT_EQ(Px(image, 0, 8), kFill);
    EXPECT_EQ(Px(image, 30, 0), kFill);
    EXPECT_EQ(Px(image, 2, 8), kFill);
    EXPECT_EQ(Px(image, 30, 8), ToPixel(65280));
    EXPECT_EQ(Px(image, 31, 8), kFill);  // beyond the lit stretch
    EXPECT_EQ(Px(image, 60, 8), kFill);
}

TEST(LevelBarPaint, SquareCornersWithoutRoundCorner) {
    TLevelBar bar;
    EXPECT_EQ(Px(Render(bar), 0, 0), kFill);
    bar.setRoundCorner(false);
    EXPECT_EQ(bar.cornerSize(), 0);
    const QImage image = Render(bar);
    EXPECT_EQ(Px(image, 0, 0), ToPixel(bar.shapeColor()));
    EXPECT_EQ(Px(image, 63, 15), ToPixel(bar.shapeColor()));
    EXPECT_EQ(Px(image, 1, 1), ToPixel(bar.backgroundColor()));
}

TEST(LevelBarPaint, FlatColoursPassAll32BitsToTheTables) {
    constexpr TColor kSystemColour = 0x80FF0000;  // top byte set: blue in the low bytes
    constexpr TColor kSystemGrey = 0x80404040;
    TLevelBar bar;
    bar.setBarColor(kSystemColour);
    bar.setInactivePosColor(kSystemGrey);
    bar.setShowInactivePos(true);
    bar.setPosition(50);
    EXPECT_EQ(bar.rowColors()[10], TColorArray(13, kSystemColour));
    EXPECT_EQ(bar.inactiveColors(), TColorArray(13, kSystemGrey));
    const QImage image = Render(bar);
    EXPECT_EQ(Px(image, 10, 8), qRgb(0, 0, 255) | 0xFF000000);
    EXPECT_EQ(Px(image, 40, 8), qRgb(0x40, 0x40, 0x40) | 0xFF000000);
}

TEST(LevelBarPaint, InvertedInactiveCylinder) {
    TLevelBar bar;
    bar.setBarKind(bkCylinder);
    bar.setShowInactivePos(true);
    const TColorArray plain = bar.inactiveColors();
    bar.setInvertInactPos(true);
    ASSERT_EQ(bar.inactiveColors().size(), plain.size());
    for (size_t k = 0; k < plain.size(); ++k)
        EXPECT_EQ(bar.inactiveColors()[k], InvertLuminance(plain[k]));
    const QImage image = Render(bar);
    EXPECT_EQ(Px(image, 20, 6), ToPixel(bar.inactiveColors()[6]));
    // With a flat bar the inversion has no effect.
    bar.setBarKind(bkFlat);
    EXPECT_EQ(bar.inactiveColors(), TColorArray(13, bar.inactivePosColor()));
}

TEST(LevelBarPaint, TooSmallBarsPaintNoBarPixels) {
    struct Case {
        int w, h;
        TBarOrientation o;
    };
    for (Case c : {Case{64, 6, boHorizontal}, Case{4, 16, boHorizontal}, Case{26, 4, boVertical},
                   Case{6, 40, boVertical}}) {
        TLevelBar bar;
        bar.setOrientation(c.o);
        bar.setBarSize(c.w, c.h);
        bar.setBarColor(0x0000FF);
        bar.setInactivePosColor(0x00FF00);
        bar.setShowInactivePos(true);
        bar.setPosition(50);
        const QImage image = Render(bar);
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x) {
                const QRgb p = Px(image, x, y);
                ASSERT_NE(p, 0xFFFF0000) << c.w << "x" << c.h << " at " << x << "," << y;
                ASSERT_NE(p, 0xFF00FF00) << c.w << "x" << c.h << " at " << x << "," << y;
            }
    }
}

TEST(LevelBarPaint, AutomaticCaption) {
    TLevelBar bar;
    MakeMeter(bar, 32768);
    bar.setWidth(200);
    bar.setAutoCaption(true);
    bar.setShowPosAsPct(true);
    Render(bar);
    EXPECT_EQ(bar.caption(),
              QString("50.0007629510948%").replace('.', QLocale::system().decimalPoint()));
    EXPECT_TRUE(bar.captionShown());
    bar.setShowPosAsPct(false);
    bar.setPosition(65536);
    const QImage withCaption = Render(bar);
    EXPECT_EQ(bar.caption(), "65536");

    // The caption is drawn over the bar in the palette's text colour.
    bar.setAutoCaption(false);
    bar.setCaption("");
    const QImage without = Render(bar);
    int differing = 0;
    for (int y = 0; y < 99; ++y)
        for (int x = 0; x < 200; ++x) differing += withCaption.pixel(x, y) != without.pixel(x, y);
    EXPECT_GT(differing, 10);
}

TEST(LevelBarPaint, LitLengthLeftLongByAMarginChangeStaysInsideTheBar) {
    TLevelBar bar;
    bar.setHeight(8);
    bar.setOrientation(boHorizontal);  // margin 1: barLength 62
    bar.setPosition(100);
    bar.setHeight(12);  // a resize keeps margin 1
    ASSERT_EQ(bar.litLength(), 62);
    bar.setOrientation(boHorizontal);  // margin 2 now, barLength 60, litLength kept
    ASSERT_EQ(bar.barLength(), 60);
    ASSERT_EQ(bar.litLength(), 62);
    const QImage image = Render(bar);
    EXPECT_EQ(Px(image, 60, 6), ToPixel(bar.rowColors()[60][6]));
    EXPECT_EQ(Px(image, 61, 6), ToPixel(bar.backgroundColor()));
    EXPECT_EQ(Px(image, 62, 6), ToPixel(bar.backgroundColor()));
}

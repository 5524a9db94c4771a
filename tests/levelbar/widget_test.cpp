// The widget's properties, write rules and geometry.
#include "test_support.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLocale>
#include <gtest/gtest.h>

using namespace LevelBar;
using namespace LevelBarTest;

namespace {
// Counts the paint events a widget receives.
class PaintCounter : public QObject {
  public:
    int paints = 0;
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint) ++paints;
        return false;
    }
};

void ProcessEventsFor(int ms) {
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < ms) QApplication::processEvents(QEventLoop::AllEvents, 10);
}

// Waits, generously for a loaded machine, until the counter has seen a paint.
bool WaitForPaint(const PaintCounter& counter) {
    const int before = counter.paints;
    QElapsedTimer timer;
    timer.start();
    while (counter.paints == before && timer.elapsed() < 20000)
        QApplication::processEvents(QEventLoop::AllEvents, 10);
    return counter.paints > before;
}

QString SystemPercent(const char* text) {
    return QString::fromLatin1(text).replace('.', QLocale::system().decimalPoint());
}
}  // namespace

TEST(LevelBarWidget, Defaults) {
    TLevelBar bar;
    EXPECT_EQ(bar.size(), QSize(64, 16));
    EXPECT_EQ(bar.orientation(), boHorizontal);
    EXPECT_EQ(bar.barKind(), bkFlat);
    EXPECT_EQ(bar.barLook(), blMetal);
    EXPECT_TRUE(bar.roundCorner());
    EXPECT_EQ(bar.cornerSize(), 5);
    EXPECT_EQ(bar.backgroundColor(), 0xFFFFFFu);
    EXPECT_EQ(bar.barColor(), 65280u);
    EXPECT_EQ(bar.startColor(), 65280u);
    EXPECT_EQ(bar.finalColor(), 65280u);
    EXPECT_FALSE(bar.showInactivePos());
    EXPECT_FALSE(bar.invertInactPos());
    EXPECT_EQ(bar.inactivePosColor(), 8421504u);
    EXPECT_TRUE(bar.shaped());
    EXPECT_EQ(bar.shapeColor(), 7617536u);
    EXPECT_EQ(bar.blockSize(), 0);
    EXPECT_EQ(bar.spaceSize(), 0);
    EXPECT_FALSE(bar.showFullBlock());
    EXPECT_EQ(bar.maximum(), 100);
    EXPECT_EQ(bar.position(), 0);
    EXPECT_FALSE(bar.hideOnTerminate());
    EXPECT_TRUE(bar.caption().isEmpty());
    EXPECT_EQ(bar.captionAlign(), taLeftJustify);
    EXPECT_FALSE(bar.AutoCaption() || bar.AutoHint() || bar.ShowPosAsPct());
    EXPECT_EQ(bar.focusPolicy(), Qt::NoFocus);
    EXPECT_TRUE(bar.isEnabled());

    EXPECT_EQ(bar.margin(), 2);
    EXPECT_EQ(bar.inset(), 4);
    EXPECT_EQ(bar.barLength(), 60);
    EXPECT_EQ(bar.minLitLength(), 5);
    EXPECT_EQ(bar.litLength(), 0);
    EXPECT_EQ(bar.percent(), 0);
    EXPECT_EQ(bar.thicknessCount(), 13);
    EXPECT_FALSE(bar.blocksOn());
    ASSERT_EQ(bar.blockMap().size(), 1u);
    EXPECT_FALSE(bar.blockMap()[0].active);
    EXPECT_EQ(bar.rowColors().size(), 61u);
    EXPECT_EQ(bar.rowColors()[30], TColorArray(13, 65280));
    EXPECT_EQ(bar.inactiveColors(), TColorArray(13, 8421504));
    EXPECT_FALSE(bar.captionShown());
}

TEST(LevelBarWidget, PropertiesAreReachableByName) {
    TLevelBar bar;
    EXPECT_TRUE(bar.setProperty("orientation", "boVertical"));
    EXPECT_EQ(bar.orientation(), boVertical);
    EXPECT_TRUE(bar.setProperty("blockSize", 3));
    EXPECT_EQ(bar.property("blockSize").toInt(), 3);
    EXPECT_TRUE(bar.setProperty("ShowPosAsPct", true));
    EXPECT_TRUE(bar.ShowPosAsPct());
    EXPECT_TRUE(bar.setProperty("height", 80));
    EXPECT_EQ(bar.barLength(), 76);
}

TEST(LevelBarWidget, MeterSettings) {
    TLevelBar bar;
    ApplyMeterSettings(bar);
    EXPECT_EQ(bar.size(), QSize(26, 99));
    EXPECT_EQ(bar.orientation(), boVertical);
    EXPECT_EQ(bar.margin(), 2);
    EXPECT_EQ(bar.inset(), 4);
    EXPECT_EQ(bar.barLength(), 95);
    EXPECT_EQ(bar.minLitLength(), 5);
    EXPECT_EQ(bar.thicknessCount(), 23);
    EXPECT_TRUE(bar.blocksOn());
    EXPECT_EQ(bar.blockMap(), BuildBlockMap(boVertical, 95, 4, 4, 1));
    ASSERT_EQ(bar.rowColors().size(), 96u);
    for (const TColorArray& row : bar.rowColors()) ASSERT_EQ(row.size(), 23u);
    EXPECT_EQ(bar.rowColors()[94], ShadeAcross(0xFDE4C9, 23, blGlass));
    EXPECT_EQ(bar.rowColors()[50], ShadeAcross(0xC2976B, 23, blGlass));
    EXPECT_EQ(bar.rowColors()[0], ShadeAcross(0x804000, 23, blGlass));
    EXPECT_EQ(bar.inactiveColors(), ShadeAcross(0x6CD9F9, 23, blGlass));
    EXPECT_EQ(bar.font().pixelSize(), 11);
    EXPECT_EQ(bar.font().family(), "Tahoma");
    EXPECT_FALSE(bar.captionShown());
}

// Writes inside beginUpdate/endUpdate end in the same tables as the same writes one by one,
// built when the outermost endUpdate is reached and not before.
TEST(LevelBarWidget, BatchedWritesBuildTheSameTablesOnce) {
    auto write = [](TLevelBar& bar) {
        bar.setBarKind(bkCylinder);
        bar.setBarLook(blGlass);
        bar.setStartColor(0x804000);
        bar.setFinalColor(0xFFE6CC);
        bar.setInvertInactPos(true);
        bar.setHeight(40);
    };
    TLevelBar eager, batched;
    write(eager);
    const auto before = batched.rowColors();
    batched.beginUpdate();
    batched.beginUpdate();
    write(batched);
    batched.endUpdate();
    EXPECT_EQ(batched.rowColors(), before);  // still inside the outer run
    batched.endUpdate();
    EXPECT_EQ(batched.rowColors(), eager.rowColors());
    EXPECT_EQ(batched.inactiveColors(), eager.inactiveColors());
    EXPECT_NE(batched.rowColors(), before);
    batched.endUpdate();              // unbalanced: ignored
    batched.setFinalColor(0x00FF00);  // writes after the run rebuild at once again
    eager.setFinalColor(0x00FF00);
    EXPECT_EQ(batched.rowColors(), eager.rowColors());
}

TEST(LevelBarWidget, BlocksNeedBothSizes) {
    TLevelBar bar;
    bar.setBlockSize(4);
    EXPECT_FALSE(bar.blocksOn());
    EXPECT_EQ(bar.blockMap().size(), 1u);
    bar.setSpaceSize(1);
    EXPECT_TRUE(bar.blocksOn());
    EXPECT_EQ(bar.blockMap(), BuildBlockMap(boHorizontal, 60, 4, 4, 1));
    bar.setSpaceSize(0);
    EXPECT_FALSE(bar.blocksOn());
}

TEST(LevelBarWidget, MeterPositions) {
    TLevelBar bar;
    ApplyMeterSettings(bar);
    bar.setPosition(65536);
    EXPECT_EQ(bar.litLength(), 95);
    EXPECT_EQ(bar.position(), 65536);
    EXPECT_EQ(bar.percent(), 100);
    bar.setPosition(1);
    EXPECT_EQ(bar.litLength(), 5);
    EXPECT_NEAR(bar.percent(), 0.0015259, 1e-7);
    bar.setPosition(32767);
    EXPECT_EQ(bar.litLength(), 47);
    bar.setPosition(32768);
    EXPECT_EQ(bar.litLength(), 48);
    bar.setPosition(65191);
    EXPECT_EQ(bar.litLength(), 95);
    bar.setPosition(40000);
    bar.setPosition(0);
    EXPECT_EQ(bar.litLength(), 0);
    EXPECT_EQ(bar.percent(), 0);
    bar.setPosition(40000);
    bar.setPosition(-7);
    EXPECT_EQ(bar.litLength(), 0);
    EXPECT_EQ(bar.percent(), 0);
    EXPECT_EQ(bar.position(), -7);
}

TEST(LevelBarWidget, MaximumWrites) {
    TLevelBar bar;
    bar.setMaximum(-5);
    EXPECT_EQ(bar.maximum(), 0);

    bar.setMaximum(100);
    bar.setPosition(50);
    EXPECT_EQ(bar.litLength(), 30);
    bar.setMaximum(200);
    EXPECT_EQ(bar.litLength(), 30);  // kept until the next position write or resize
    bar.setWidth(84);
    EXPECT_EQ(bar.litLength(), 20);  // 80 * 25 %
    bar.setMaximum(0);
    bar.setPosition(150);
    EXPECT_EQ(bar.position(), 150);
    EXPECT_EQ(bar.litLength(), 20);
    EXPECT_EQ(bar.percent(), 25);
}

TEST(LevelBarWidget, PositionWriteRepaintsWhenThePictureChangesUnlessMaximumIsZero) {
    TLevelBar bar;
    PaintCounter counter;
    bar.installEventFilter(&counter);
    bar.show();
    ASSERT_TRUE(WaitForPaint(counter));

    bar.setMaximum(0);
    ASSERT_TRUE(WaitForPaint(counter));
    ProcessEventsFor(100);
    counter.paints = 0;
    bar.setPosition(50);
    ProcessEventsFor(300);
    EXPECT_EQ(counter.paints, 0);
    EXPECT_EQ(bar.position(), 50);

    bar.setMaximum(100);
    ASSERT_TRUE(WaitForPaint(counter));
    ProcessEventsFor(100);
    counter.paints = 0;
    bar.setPosition(50);
    EXPECT_TRUE(WaitForPaint(counter));

    // A write that lights the same columns leaves the picture as it is: no repaint. With the
    // automatic caption, which shows the position, it does repaint.
    bar.setMaximum(1000);
    bar.setPosition(500);
    ASSERT_TRUE(WaitForPaint(counter));
    ProcessEventsFor(100);
    counter.paints = 0;
    const int lit = bar.litLength();
    bar.setPosition(500);
    bar.setPosition(501);
    ASSERT_EQ(bar.litLength(), lit);
    ProcessEventsFor(300);
    EXPECT_EQ(counter.paints, 0);
    bar.setAutoCaption(true);
    ASSERT_TRUE(WaitForPaint(counter));
    ProcessEventsFor(100);
    counter.paints = 0;
    bar.setPosition(500);
    EXPECT_TRUE(WaitForPaint(counter));
}

TEST(LevelBarWidget, BlockSizeClampsToTheBar) {
    TLevelBar bar;
    ApplyMeterSettings(bar);
    bar.setBlockSize(96);
    EXPECT_EQ(bar.blockSize(), 4);
    bar.setBlockSize(95);
    EXPECT_EQ(bar.blockSize(), 95);
    bar.setBlockSize(-3);
    EXPECT_EQ(bar.blockSize(), 3);
    EXPECT_EQ(bar.blockMap(), BuildBlockMap(boVertical, 95, 4, 3, 1));
    bar.setBlockSize(-200);
    EXPECT_EQ(bar.blockSize(), 3);
    bar.setSpaceSize(-96);
    EXPECT_EQ(bar.spaceSize(), 1);
    bar.setSpaceSize(-2);
    EXPECT_EQ(bar.spaceSize(), 2);
    bar.setSpaceSize(std::numeric_limits<int>::min());
    EXPECT_EQ(bar.spaceSize(), 2);
}

TEST(LevelBarWidget, OrientationSwapsTheSize) {
    TLevelBar bar;
    bar.setOrientation(boVertical);
    EXPECT_EQ(bar.size(), QSize(16, 64));
    EXPECT_EQ(bar.margin(), 2);
    EXPECT_EQ(bar.barLength(), 60);
    EXPECT_EQ(bar.thicknessCount(), 13);
    EXPECT_EQ(bar.rowColors().size(), 61u);

    TLevelBar thin;
    thin.setHeight(8);
    EXPECT_EQ(thin.margin(), 2);  // a resize keeps the margin
    thin.setOrientation(boVertical);
    EXPECT_EQ(thin.size(), QSize(8, 64));
    EXPECT_EQ(thin.margin(), 1);
    EXPECT_EQ(thin.inset(), 2);
    EXPECT_EQ(thin.barLength(), 62);
    EXPECT_EQ(thin.minLitLength(), 3);
    EXPECT_EQ(thin.thicknessCount(), 7);
    EXPECT_EQ(thin.rowColors().size(), 63u);

    // Back to horizontal, and the same value again only re-chooses the margin.
    thin.setOrientation(boHorizontal);
    EXPECT_EQ(thin.size(), QSize(64, 8));
    thin.setOrientation(boHorizontal);
    EXPECT_EQ(thin.size(), QSize(64, 8));
    EXPECT_EQ(thin.margin(), 1);

    // A bar that is already upright does not swap.
    TLevelBar upright;
    upright.setBarSize(20, 40);
    upright.setOrientation(boVertical);
    EXPECT_EQ(upright.size(), QSize(20, 40));
    EXPECT_EQ(upright.barLength(), 36);
}

TEST(LevelBarWidget, OrientationWriteKeepsTheLitLength) {
    TLevelBar bar;
    bar.setBarSize(20, 40);  // horizontal but upright: the axis is 16 long
    bar.setPosition(50);
    EXPECT_EQ(bar.litLength(), 8);
    bar.setBlockSize(2);
    bar.setSpaceSize(2);
    bar.setOrientation(boVertical);
    EXPECT_EQ(bar.size(), QSize(20, 40));
    EXPECT_EQ(bar.barLength(), 36);
    EXPECT_EQ(bar.litLength(), 8);  // until the next position write
    EXPECT_EQ(bar.blockMap(), BuildBlockMap(boVertical, 36, 4, 2, 2));
    EXPECT_EQ(bar.thicknessCount(), 17);
    bar.setPosition(50);
    EXPECT_EQ(bar.litLength(), 18);
}

TEST(LevelBarWidget, ResizeKeepsTheMarginAndRebuilds) {
    TLevelBar bar;
    ApplyMeterSettings(bar);
    bar.setPosition(32768);
    bar.setWidth(8);
    EXPECT_EQ(bar.margin(), 2);
    EXPECT_EQ(bar.thicknessCount(), 5);
    EXPECT_EQ(bar.rowColors()[0].size(), 5u);
    bar.setHeight(199);
    EXPECT_EQ(bar.barLength(), 195);
    EXPECT_EQ(bar.litLength(), 98);  // the position is written again
    EXPECT_EQ(bar.blockMap(), BuildBlockMap(boVertical, 195, 4, 4, 1));
}

TEST(LevelBarWidget, HintTexts) {
    TLevelBar bar;
    ApplyMeterSettings(bar);
    bar.setAutoHint(true);
    bar.setShowPosAsPct(true);
    bar.setPosition(32768);
    EXPECT_EQ(bar.toolTip(), SystemPercent("50.0007629510948 %"));
    bar.setShowPosAsPct(false);
    bar.setPosition(65536);
    EXPECT_EQ(bar.toolTip(), "65536");
    bar.setPosition(-7);
    EXPECT_EQ(bar.toolTip(), "-7");
    bar.setAutoHint(false);
    bar.setPosition(5);
    EXPECT_EQ(bar.toolTip(), "-7");
}

TEST(LevelBarWidget, HideOnTerminateHidesAtTheMaximum) {
    TLevelBar bar;
    bar.setHideOnTerminate(true);
    bar.show();
    bar.setPosition(99);
    EXPECT_TRUE(bar.isVisible());
    bar.setPosition(150);
    EXPECT_FALSE(bar.isVisible());
}

TEST(LevelBarWidget, CaptionPlacement) {
    TLevelBar bar;
    bar.setBarSize(200, 40);
    const QFontMetrics metrics(bar.font());
    const int textHeight = metrics.height();
    bar.setCaption("Level");
    EXPECT_TRUE(bar.captionShown());
    EXPECT_EQ(bar.captionX(), 0);
    EXPECT_EQ(bar.captionY(), (40 - textHeight) / 2);
    bar.setCaptionAlign(taRightJustify);
    EXPECT_EQ(bar.captionX(), 200 - metrics.horizontalAdvance("Level") - 1);
    bar.setCaptionAlign(taCenter);
    const int centred = (200 - metrics.horizontalAdvance("Level")) / 2;
    EXPECT_EQ(bar.captionX(), centred);

    // Not placed again on a resize; an empty caption keeps the old place.
    bar.setBarSize(300, 60);
    EXPECT_EQ(bar.captionX(), centred);
    bar.setCaption("");
    EXPECT_FALSE(bar.captionShown());
    EXPECT_EQ(bar.captionX(), centred);
    EXPECT_EQ(bar.captionY(), (40 - textHeight) / 2);
}

// Runs the built levelbar-render tool and checks its PNG against the tables.
#include "test_support.h"

#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#ifdef LEVELBAR_RENDER_PATH

using namespace LevelBarTest;

namespace {
struct ToolRun {
    int exitCode = -1;
    QString stderrText;
};

ToolRun RunTool(const QStringList& args) {
    QProcess process;
    process.start(QStringLiteral(LEVELBAR_RENDER_PATH), args);
    ToolRun run;
    if (!process.waitForFinished(60000)) {
        process.kill();
        process.waitForFinished();
        return run;
    }
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.stderrText = QString::fromLocal8Bit(process.readAllStandardError());
    return run;
}
}  // namespace

TEST(LevelBarRenderTool, MeterAtHalfLevelMatchesTheTables) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString out = dir.filePath("meter.png");
    const ToolRun run = RunTool({out, "meter", "position=32768"});
    ASSERT_EQ(run.exitCode, 0) << run.stderrText.toStdString();
    const QImage image(out);
    ASSERT_EQ(image.size(), QSize(26, 99));

    TLevelBar reference;
    MakeMeter(reference, 32768);
    ASSERT_EQ(reference.litLength(), 48);
    const auto& blocks = reference.blockMap();
    int lit = 0, inactive = 0;
    for (int y = 4; y <= 95; ++y) {
        for (int x = 3; x <= 22; ++x) {
            QRgb expected = 0xFFF7F7F7;  // gaps show the frame's fill
            if (blocks[y].active && y >= 51) {
                expected = LevelBar::ToPixel(reference.rowColors()[y][x]);
                ++lit;
            } else if (blocks[y].active) {
                expected = LevelBar::ToPixel(reference.inactiveColors()[x]);
                ++inactive;
            }
            ASSERT_EQ(Px(image, x, y), expected) << "x " << x << " y " << y;
        }
    }
    // 72 block rows of 20 pixels: 34 rows lit, 38 inactive.
    EXPECT_EQ(lit, 34 * 20);
    EXPECT_EQ(inactive, 38 * 20);
    EXPECT_EQ(Px(image, 0, 0), 0xFFF0F0F0);  // the default fill outside the corner
}

TEST(LevelBarRenderTool, AppliesWritesInOrderWithFill) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString out = dir.filePath("bar.png");
    const ToolRun run = RunTool({out, "width=40", "height=12", "barColor=0xFF0000", "shaped=false",
                                 "fill=0x00FF00", "position=100"});
    ASSERT_EQ(run.exitCode, 0) << run.stderrText.toStdString();
    const QImage image(out);
    ASSERT_EQ(image.size(), QSize(40, 12));
    EXPECT_EQ(Px(image, 0, 0), 0xFF00FF00);
    EXPECT_EQ(Px(image, 20, 6), 0xFF0000FF);
}

TEST(LevelBarRenderTool, BadArgumentsExitWith2) {
    QTemporaryDir dir;
    const QString out = dir.filePath("x.png");
    for (const QStringList& args :
         {QStringList{}, QStringList{out, "colour=1"}, QStringList{out, "blockSize=four"},
          QStringList{out, "orientation=vertical"}, QStringList{out, "shaped=yes"},
          QStringList{out, "barColor=0x1FFFFFFFF"}, QStringList{out, "fill=red"},
          QStringList{out, "position"}, QStringList{out, "meter", "maximum=1e3"}}) {
        const ToolRun run = RunTool(args);
        EXPECT_EQ(run.exitCode, 2) << args.join(' ').toStdString();
        EXPECT_TRUE(run.stderrText.startsWith("levelbar-render: ")) << run.stderrText.toStdString();
    }
    EXPECT_FALSE(QFile::exists(out));
}

#endif

#include "ui/pictures.h"
#include "ui/skinregion.h"
#include "ui/translucency.h"

#include <gtest/gtest.h>

#include <QImage>
#include <QWidget>

namespace {

const QColor kKey(255, 0, 255);
const QColor kOther(20, 40, 60);

// A picture from rows of 'K' (key) and 'O' (other).
QImage picture(const std::vector<std::string>& rows) {
    QImage img(int(rows[0].size()), int(rows.size()), QImage::Format_RGB888);
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x)
            img.setPixelColor(x, y, rows[y][x] == 'K' ? kKey : kOther);
    return img;
}

std::vector<QPoint> keptPixels(const QRegion& region, QSize size) {
    std::vector<QPoint> kept;
    for (int y = 0; y < size.height(); ++y)
        for (int x = 0; x < size.width(); ++x)
            if (region.contains(QPoint(x, y))) kept.push_back({x, y});
    return kept;
}

int runsOf(const QImage& img) {
    const QImage rgb = img.convertToFormat(QImage::Format_RGB888);
    const QRgb key = rgb.pixel(0, 0);
    int runs = 0;
    for (int y = 0; y < rgb.height(); ++y) {
        bool open = false;
        for (int x = 0; x < rgb.width(); ++x) {
            const bool isKey = rgb.pixel(x, y) == key;
            if (isKey && !open) ++runs;
            open = isKey;
        }
    }
    return runs;
}

}  // namespace

TEST(SkinRegion, WorkedExampleKeepsExactlyTheNonKeyPixels) {
    QImage img = picture({"KKOK", "OKKO"});
    const SkinRegion r = CreateSkinRegion(img);
    EXPECT_EQ(keptPixels(r.region, img.size()), (std::vector<QPoint>{{2, 0}, {0, 1}, {3, 1}}));
    EXPECT_EQ(r.subtractions, 3);
}

TEST(SkinRegion, OneColourPictureIsEmpty) {
    QImage img(7, 5, QImage::Format_RGB888);
    img.fill(kOther);
    const SkinRegion r = CreateSkinRegion(img);
    EXPECT_TRUE(r.region.isEmpty());
    EXPECT_EQ(r.subtractions, 5);  // one run per row, each to the row's end
}

TEST(SkinRegion, TopLeftColourOnlyThereCutsOnePixel) {
    QImage img = picture({"KOO", "OOO"});
    const SkinRegion r = CreateSkinRegion(img);
    EXPECT_EQ(keptPixels(r.region, img.size()).size(), 5u);
    EXPECT_FALSE(r.region.contains(QPoint(0, 0)));
    EXPECT_EQ(r.subtractions, 1);
}

TEST(SkinRegion, PixelOneOffInOneByteStays) {
    QImage img = picture({"KKK", "KKK"});
    img.setPixelColor(1, 1, QColor(255, 1, 255));
    img.setPixelColor(2, 0, QColor(254, 0, 255));
    const SkinRegion r = CreateSkinRegion(img);
    EXPECT_EQ(keptPixels(r.region, img.size()), (std::vector<QPoint>{{2, 0}, {1, 1}}));
    EXPECT_EQ(r.subtractions, 3);
}

TEST(SkinRegion, KeyColumnIsCutAsOnePixelRunPerRow) {
    QImage img = picture({"KOOKOO", "OOOKOO", "OOOKOO"});
    const SkinRegion r = CreateSkinRegion(img);
    for (int y = 0; y < 3; ++y) EXPECT_FALSE(r.region.contains(QPoint(3, y)));
    EXPECT_TRUE(r.region.contains(QPoint(2, 1)));
    EXPECT_TRUE(r.region.contains(QPoint(4, 1)));
    EXPECT_EQ(r.subtractions, 4);
}

TEST(SkinRegion, FirstNonKeyPixelAfterARunStays) {
    QImage img = picture({"KKO"});
    const SkinRegion r = CreateSkinRegion(img);
    EXPECT_EQ(keptPixels(r.region, img.size()), (std::vector<QPoint>{{2, 0}}));
}

TEST(SkinRegion, OtherFormatsAreConvertedTo24Bits) {
    QImage img = picture({"KOK", "OKO"}).convertToFormat(QImage::Format_ARGB32);
    const SkinRegion r = CreateSkinRegion(img);
    EXPECT_EQ(img.format(), QImage::Format_RGB888);
    EXPECT_EQ(keptPixels(r.region, img.size()).size(), 3u);
}

TEST(SkinRegion, EmptyPictureGivesEmptyRegion) {
    QImage img;
    EXPECT_TRUE(CreateSkinRegion(img).region.isEmpty());
}

TEST(SkinRegion, OurSkinNeedsOneSubtractionPerRun) {
    QImage skin = WindowPicture("skin.bmp");
    ASSERT_FALSE(skin.isNull());
    ASSERT_EQ(skin.size(), QSize(482, 194));
    const int runs = runsOf(skin);
    const SkinRegion r = CreateSkinRegion(skin);
    EXPECT_EQ(r.subtractions, runs);
    EXPECT_GT(runs, 194);  // a run at both sides of most rows
    EXPECT_LT(runs, 1000);
    // The panel's middle is kept, the corners are cut.
    EXPECT_TRUE(r.region.contains(QPoint(240, 100)));
    EXPECT_FALSE(r.region.contains(QPoint(0, 0)));
    EXPECT_FALSE(r.region.contains(QPoint(481, 193)));
    EXPECT_FALSE(r.region.contains(QPoint(10, 185)));  // beside the link strip
}

TEST(Translucency, AlphaIsTruncatedProductForEveryPercent) {
    for (int percent = 0; percent <= 100; ++percent) {
        EXPECT_EQ(TranslucencyAlpha(std::uint8_t(percent)), (100 - percent) * 255 / 100) << percent;
    }
    EXPECT_EQ(TranslucencyAlpha(10), 229);
    EXPECT_EQ(TranslucencyAlpha(0), 255);
    EXPECT_EQ(TranslucencyAlpha(100), 0);
    EXPECT_EQ(TranslucencyAlpha(200), 0);  // beyond fully transparent
}

TEST(Translucency, OffscreenWindowStaysOpaque) {
    QWidget w;
    SetTranslucency(&w, 10);
    EXPECT_FALSE(WindowOpacitySupported());
    EXPECT_DOUBLE_EQ(w.windowOpacity(), 1.0);
}

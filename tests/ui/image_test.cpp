#include "ui/image.h"

#include <gtest/gtest.h>

#include <QPainter>

TEST(ImagePicture, BottomLeftColourIsNotDrawn) {
    QImage pic(4, 3, QImage::Format_RGB888);
    pic.fill(QColor(255, 0, 255));
    pic.setPixelColor(1, 1, QColor(200, 10, 10));
    pic.setPixelColor(0, 0, QColor(255, 0, 254));  // one byte off: drawn
    pic.setPixelColor(3, 2, QColor(255, 255, 255));
    const QImage drawn = PictureForDrawing(pic, true);
    EXPECT_EQ(qAlpha(drawn.pixel(0, 2)), 0);
    EXPECT_EQ(qAlpha(drawn.pixel(2, 2)), 0);
    EXPECT_EQ(drawn.pixel(1, 1), qRgb(200, 10, 10));
    EXPECT_EQ(drawn.pixel(0, 0), qRgb(255, 0, 254));
    EXPECT_EQ(drawn.pixel(3, 2), qRgb(255, 255, 255));
}

TEST(ImagePicture, KeyIsTheBottomLeftPixelWhateverItsColour) {
    QImage pic(2, 2, QImage::Format_RGB888);
    pic.fill(QColor(0, 255, 0));
    pic.setPixelColor(0, 1, QColor(1, 2, 3));
    pic.setPixelColor(1, 0, QColor(1, 2, 3));
    const QImage drawn = PictureForDrawing(pic, true);
    EXPECT_EQ(qAlpha(drawn.pixel(1, 0)), 0);
    EXPECT_EQ(drawn.pixel(0, 0), qRgb(0, 255, 0));
}

TEST(ImagePicture, AlphaPictureKeepsItsAlpha) {
    QImage pic(2, 1, QImage::Format_ARGB32);
    pic.setPixel(0, 0, qRgba(10, 20, 30, 128));
    pic.setPixel(1, 0, qRgba(10, 20, 30, 255));
    const QImage drawn = PictureForDrawing(pic, false);
    EXPECT_EQ(drawn.pixel(0, 0), qRgba(10, 20, 30, 128));
    EXPECT_EQ(drawn.pixel(1, 0), qRgba(10, 20, 30, 255));
}

TEST(ImageControl, ParentShowsThroughKeyedPixelsAndStretchFills) {
    QWidget parent;
    parent.resize(8, 8);
    parent.setAutoFillBackground(true);
    QPalette pal;
    pal.setColor(QPalette::Window, QColor(0, 0, 200));
    parent.setPalette(pal);
    QImage pic(2, 2, QImage::Format_RGB888);
    pic.fill(QColor(255, 0, 255));
    pic.setPixelColor(1, 0, QColor(255, 255, 0));
    TImage image(&parent);
    image.setGeometry(0, 0, 8, 8);
    image.setPicture(pic, true);
    image.setStretch(true);
    const QImage shot = parent.grab().toImage();
    EXPECT_EQ(shot.pixelColor(1, 6), QColor(0, 0, 200));
    EXPECT_EQ(shot.pixelColor(6, 1), QColor(255, 255, 0));
    image.setStretch(false);
    const QImage plain = parent.grab().toImage();
    EXPECT_EQ(plain.pixelColor(1, 0), QColor(255, 255, 0));
    EXPECT_EQ(plain.pixelColor(6, 1), QColor(0, 0, 200));
}

#pragma once
// Helpers shared by the level bar tests.

#include "widgets/levelbar/levelbar.h"
#include "widgets/levelbar/meter_settings.h"

#include <QImage>
#include <QPalette>

namespace LevelBarTest {

// The colour the tests give the widget's own fill.
constexpr QRgb kFill = 0xFF123456;

// A meter as the main window sets it up, at the given position.
inline void MakeMeter(TLevelBar& bar, int position) {
    ApplyMeterSettings(bar);
    bar.setPosition(position);
}

// Renders the widget off-screen over kFill, 1:1.
inline QImage Render(TLevelBar& bar, QRgb fill = kFill) {
    QPalette palette = bar.palette();
    palette.setColor(QPalette::Window, QColor::fromRgb(fill));
    bar.setPalette(palette);
    QImage image(bar.size(), QImage::Format_RGB32);
    image.fill(Qt::black);
    bar.render(&image);
    return image;
}

inline QRgb Px(const QImage& image, int x, int y) {
    return image.pixel(x, y) | 0xFF000000;
}

}  // namespace LevelBarTest

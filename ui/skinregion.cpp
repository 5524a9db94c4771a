#include "ui/skinregion.h"

#include <QPainter>

#include <cstring>

SkinRegion CreateSkinRegion(QImage& bitmap) {
    SkinRegion result;
    if (bitmap.format() != QImage::Format_RGB888) {
        bitmap = bitmap.convertToFormat(QImage::Format_RGB888);
    }
    const int width = bitmap.width();
    const int height = bitmap.height();
    result.region = QRegion(0, 0, width, height);
    if (width <= 0 || height <= 0) return result;

    constexpr int kBytesPerPixel = 3;
    unsigned char key[kBytesPerPixel] = {};
    auto cut = [&](int first, int end, int y) {
        result.region -= QRegion(first, y, end - first, 1);
        ++result.subtractions;
    };
    for (int y = 0; y < height; ++y) {
        const unsigned char* row = bitmap.constScanLine(y);
        if (y == 0) std::memcpy(key, row, kBytesPerPixel);
        int runStart = -1;  // no run open
        for (int x = 0; x < width; ++x) {
            const bool isKey = std::memcmp(row + x * kBytesPerPixel, key, kBytesPerPixel) == 0;
            if (isKey) {
                if (runStart < 0) runStart = x;
            } else if (runStart >= 0) {
                cut(runStart, x, y);
                runStart = -1;
            }
        }
        if (runStart >= 0) cut(runStart, width, y);
    }
    return result;
}

QImage ClipToRegion(const QImage& picture, const QRegion& region) {
    QImage out(picture.size(), QImage::Format_ARGB32_Premultiplied);
    out.fill(Qt::transparent);
    QPainter painter(&out);
    painter.setClipRegion(region);
    painter.drawImage(0, 0, picture);
    return out;
}

// The window's outline, cut from its skin picture.
#pragma once

#include <QImage>
#include <QRegion>

// The region of a skin picture that stays visible, plus how many one-row
// rectangles were subtracted to build it (one per run of key pixels).
struct SkinRegion {
    QRegion region;
    int subtractions = 0;
};

// Every pixel of the key colour (the colour of the top-left pixel, exact
// match of all three bytes) is cut away from the picture's rectangle; every
// other pixel stays. The picture is converted to 24 bits per pixel in place.
// Rows are scanned from the top, runs from the left, one subtraction per run.
SkinRegion CreateSkinRegion(QImage& bitmap);

// Pure: the picture with every pixel outside `region` fully transparent, for a window whose
// outline comes from its pixels' alpha instead of a window shape.
QImage ClipToRegion(const QImage& picture, const QRegion& region);

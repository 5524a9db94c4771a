#pragma once
// Colour arithmetic of the level bar: the integer hue/luminance/saturation
// model, the gradient along the bar and the cylinder shading across it.
// Everything here is pure, so it can be checked without a window.

#include "levelbar_types.h"

#include <QRgb>

namespace LevelBar {

inline int RedOf(TColor c) {
    return c & 0xFF;
}
inline int GreenOf(TColor c) {
    return (c >> 8) & 0xFF;
}
inline int BlueOf(TColor c) {
    return (c >> 16) & 0xFF;
}
inline TColor ComposeColor(int r, int g, int b) {
    return TColor(r & 0xFF) | (TColor(g & 0xFF) << 8) | (TColor(b & 0xFF) << 16);
}
// The pixel a colour paints: its low three bytes, opaque.
inline QRgb ToPixel(TColor c) {
    return qRgb(RedOf(c), GreenOf(c), BlueOf(c));
}

THls RGBToHLS(TColor c);
int HueToValue(int m1, int m2, int h);
TColor HLSToRGB(std::uint8_t h, std::uint8_t l, std::uint8_t s);

// The lit colour of position i of a bar barLength long that runs from
// startColor (position 0) to finalColor (position barLength).
TColor GradientColor(TColor startColor, TColor finalColor, int i, int barLength);

// The luminance across a cylinder at x (0 = one edge, 1 = the other).
long double LuminanceProfile(long double x);

// The luminance of entry k of n across a cylinder whose base colour has
// luminance baseL: the profile's alone for glass, the base darkened for metal.
int ShadeLuminance(int k, int n, TBarLook look, int baseL);

// The n colours across a cylinder of base colour c.
TColorArray ShadeAcross(TColor c, int n, TBarLook look);

// The same colour with luminance 240 - L.
TColor InvertLuminance(TColor c);

}  // namespace LevelBar

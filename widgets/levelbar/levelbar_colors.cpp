#include "levelbar_colors.h"

#include <algorithm>
#include <cmath>

namespace LevelBar {

namespace {
constexpr int kHlsMax = 240;
constexpr int kRgbMax = 255;
constexpr int kGreyHue = 160;  // hue that every grey gets
constexpr int kMetalDarkening = 212;
}  // namespace

THls RGBToHLS(TColor c) {
    const int r = RedOf(c), g = GreenOf(c), b = BlueOf(c);
    const int mx = std::max({r, g, b});
    const int mn = std::min({r, g, b});
    THls out;
    out.l = ((mx + mn) * kHlsMax + kRgbMax) / (2 * kRgbMax);
    if (mx == mn) {
        out.h = kGreyHue;
        out.s = 0;
        return out;
    }
    const int sum = mx + mn;
    const int d = mx - mn;
    if (out.l <= kHlsMax / 2)
        out.s = (d * kHlsMax + sum / 2) / sum;
    else
        out.s = (d * kHlsMax + (2 * kRgbMax - sum) / 2) / (2 * kRgbMax - sum);
    const int rd = (d / 2 + (mx - r) * (kHlsMax / 6)) / d;
    const int gd = (d / 2 + (mx - g) * (kHlsMax / 6)) / d;
    const int bd = (d / 2 + (mx - b) * (kHlsMax / 6)) / d;
    int h;
    if (r == mx)
        h = bd - gd;
    else if (g == mx)
        h = rd + kHlsMax / 3 - bd;
    else
        h = gd + 2 * kHlsMax / 3 - rd;
    if (h < 0)
        h += kHlsMax;
    else if (h > kHlsMax)
        h -= kHlsMax;
    out.h = h;
    return out;
}

int HueToValue(int m1, int m2, int h) {
    if (h < 0)
        h += kHlsMax;
    else if (h > kHlsMax)
        h -= kHlsMax;
    if (h < kHlsMax / 6) return m1 + ((m2 - m1) * h + kHlsMax / 12) / (kHlsMax / 6);
    if (h < kHlsMax / 2) return m2;
    if (h < 2 * kHlsMax / 3)
        return m1 + ((m2 - m1) * (2 * kHlsMax / 3 - h) + kHlsMax / 12) / (kHlsMax / 6);
    return m1;
}

TColor HLSToRGB(std::uint8_t h, std::uint8_t l, std::uint8_t s) {
    const int hh = h, ll = l, ss = s;
    if (ss == 0) {
        const int v = (ll * kRgbMax) / kHlsMax;
        return ComposeColor(v, v, v);  // ComposeColor keeps the low byte (modulo 256)
    }
    const int m2 = ll <= kHlsMax / 2 ? (ll * (ss + kHlsMax) + kHlsMax / 2) / kHlsMax
                                     : ll + ss - (ll * ss + kHlsMax / 2) / kHlsMax;
    const int m1 = 2 * ll - m2;
    auto channel = [&](int hue) {
        return (HueToValue(m1, m2, hue) * kRgbMax + kHlsMax / 2) / kHlsMax;
    };
    return ComposeColor(channel(hh + kHlsMax / 3), channel(hh), channel(hh - kHlsMax / 3));
}

TColor GradientColor(TColor startColor, TColor finalColor, int i, int barLength) {
    if (startColor == finalColor || i == 0) return startColor;
    if (i >= barLength) return finalColor;
    // The fraction and the products are formed in extended precision, so a
    // product that should be whole may come out just below it and truncate
    // one lower; the colours depend on that.
    const long double t = static_cast<long double>(i) / barLength;
    auto blend = [t](int a, int b) {
        if (a < b) return a + static_cast<int>(static_cast<long double>(b - a) * t);
        if (a > b) return a - static_cast<int>(static_cast<long double>(a - b) * t);
        return a;
    };
    return ComposeColor(blend(RedOf(startColor), RedOf(finalColor)),
                        blend(GreenOf(startColor), GreenOf(finalColor)),
                        blend(BlueOf(startColor), BlueOf(finalColor)));
}

long double LuminanceProfile(long double x) {
    const long double x2 = x * x;
    const long double x3 = x2 * x;
    const long double x4 = x3 * x;
    const long double x5 = x4 * x;
    return -4342.9L * x5 + 10543.0L * x4 - 8216.0L * x3 + 2018.1L * x2 + 11.096L * x + 164.6L;
}

int ShadeLuminance(int k, int n, TBarLook look, int baseL) {
    const double x = static_cast<double>(k) / n;
    const long double p = LuminanceProfile(x);
    // Default rounding mode: a half goes to the even neighbour.
    if (look == blGlass) return static_cast<int>(std::nearbyint(p)) & 0xFF;
    return std::clamp(baseL + static_cast<int>(p) - kMetalDarkening, 0, kHlsMax);
}

TColorArray ShadeAcross(TColor c, int n, TBarLook look) {
    TColorArray out;
    if (n <= 0) return out;
    out.reserve(n);
    const THls base = RGBToHLS(c);
    for (int k = 0; k < n; ++k)
        out.push_back(HLSToRGB(base.h, ShadeLuminance(k, n, look, base.l), base.s));
    return out;
}

TColor InvertLuminance(TColor c) {
    const THls hls = RGBToHLS(c);
    return HLSToRGB(hls.h, (kHlsMax - hls.l) & 0xFF, hls.s);
}

}  // namespace LevelBar

// Colour arithmetic: the integer HLS model, the gradient and the cylinder shading,
// checked against the meter's published colour values.
#include "widgets/levelbar/levelbar_colors.h"

#include <gtest/gtest.h>

#include <vector>

using namespace LevelBar;

namespace {
constexpr TColor kMeterStart = 0x804000;
constexpr TColor kMeterFinal = 0xFFE6CC;
constexpr TColor kMeterInactive = 0x6CD9F9;
constexpr int kMeterBarLength = 95;
constexpr int kMeterThickness = 23;

std::vector<TColor> Entries3To22(const TColorArray& row) {
    return std::vector<TColor>(row.begin() + 3, row.begin() + 23);
}
}  // namespace

TEST(LevelBarHls, ConvertsTheMeterColours) {
    EXPECT_EQ(RGBToHLS(kMeterStart), (THls{140, 60, 240}));
    EXPECT_EQ(RGBToHLS(kMeterFinal), (THls{140, 216, 240}));
    EXPECT_EQ(RGBToHLS(kMeterInactive), (THls{31, 168, 221}));
    EXPECT_EQ(RGBToHLS(0xFDE4C9), (THls{139, 214, 223}));
    EXPECT_EQ(RGBToHLS(0xC2976B), (THls{140, 142, 100}));
}

TEST(LevelBarHls, GreysHaveHue160AndNoSaturationAndTopByteIsIgnored) {
    EXPECT_EQ(RGBToHLS(0x000000), (THls{160, 0, 0}));
    EXPECT_EQ(RGBToHLS(0xFFFFFF), (THls{160, 240, 0}));
    EXPECT_EQ(RGBToHLS(0x808080), (THls{160, 120, 0}));  // (256 * 240 + 255) / 510
    EXPECT_EQ(RGBToHLS(0xFF804000), RGBToHLS(kMeterStart));
    // Pure primaries land on the thirds of the hue circle.
    EXPECT_EQ(RGBToHLS(0x0000FF), (THls{0, 120, 240}));
    EXPECT_EQ(RGBToHLS(0x00FF00), (THls{80, 120, 240}));
    EXPECT_EQ(RGBToHLS(0xFF0000), (THls{160, 120, 240}));
}

TEST(LevelBarHls, GreyLuminanceWrapsModulo256) {
    EXPECT_EQ(HLSToRGB(160, 240, 0), 0xFFFFFFu);
    EXPECT_EQ(HLSToRGB(160, 120, 0), 0x7F7F7Fu);
    // 255 * 255 / 240 = 270, kept in a byte as 14.
    EXPECT_EQ(HLSToRGB(0, 255, 0), 0x0E0E0Eu);
}

TEST(LevelBarHls, HueToValueWrapsOnceAndTruncatesTowardZero) {
    // (100 - 200) * 20 + 20 = -1980; / 40 truncates to -49, not -50.
    EXPECT_EQ(HueToValue(200, 100, 20), 151);
    EXPECT_EQ(HueToValue(100, 200, 20), 150);
    EXPECT_EQ(HueToValue(100, 200, 80), 200);
    EXPECT_EQ(HueToValue(100, 200, 150), 100 + (100 * 10 + 20) / 40);
    EXPECT_EQ(HueToValue(100, 200, 200), 100);
    EXPECT_EQ(HueToValue(100, 200, -10), 100);                         // -10 + 240 = 230
    EXPECT_EQ(HueToValue(100, 200, 250), 100 + (100 * 10 + 20) / 40);  // 250 - 240 = 10
    EXPECT_EQ(HueToValue(100, 200, 240), 100);
}

TEST(LevelBarHls, PrimariesSurviveTheRoundTrip) {
    for (TColor c : {0x0000FFu, 0x00FF00u, 0xFF0000u, 0xFFFFFFu, 0x000000u}) {
        const THls hls = RGBToHLS(c);
        EXPECT_EQ(HLSToRGB(hls.h, hls.l, hls.s), c) << std::hex << c;
    }
}

TEST(LevelBarShading, GlassLuminancesForTheMeterThickness) {
    const std::vector<int> expected = {165, 168, 176, 185, 193, 199, 203, 202, 199, 193, 185, 176,
                                       166, 158, 151, 146, 145, 146, 151, 158, 167, 175, 180};
    std::vector<int> actual;
    for (int k = 0; k < kMeterThickness; ++k)
        actual.push_back(ShadeLuminance(k, kMeterThickness, blGlass, 0));
    EXPECT_EQ(actual, expected);
    // The base luminance plays no part for glass.
    EXPECT_EQ(ShadeLuminance(6, kMeterThickness, blGlass, 240), 203);
}

TEST(LevelBarShading, MetalLuminancesForBase168AndLimits) {
    const std::vector<int> expected = {120, 124, 132, 141, 149, 155, 158, 158, 155, 149, 140, 131,
                                       122, 113, 106, 102, 100, 102, 107, 114, 122, 130, 135};
    std::vector<int> actual;
    for (int k = 0; k < kMeterThickness; ++k)
        actual.push_back(ShadeLuminance(k, kMeterThickness, blMetal, 168));
    EXPECT_EQ(actual, expected);
    EXPECT_EQ(ShadeLuminance(16, kMeterThickness, blMetal, 0), 0);
    EXPECT_EQ(ShadeLuminance(6, kMeterThickness, blMetal, 240), 230);
    EXPECT_EQ(ShadeLuminance(6, kMeterThickness, blMetal, 255), 240);
}

TEST(LevelBarShading, ProfileShape) {
    EXPECT_NEAR(double(LuminanceProfile(0)), 164.6, 1e-12);
    EXPECT_NEAR(double(LuminanceProfile(1)), 177.896, 1e-9);
    EXPECT_TRUE(ShadeAcross(kMeterStart, 0, blGlass).empty());
    EXPECT_TRUE(ShadeAcross(kMeterStart, -3, blMetal).empty());
}

TEST(LevelBarShading, MeterInactiveEntries) {
    const std::vector<TColor> expected = {0x8EE2FB, 0x9FE7FB, 0xABEAFC, 0xB4ECFC, 0xB1EBFC,
                                          0xABEAFC, 0x9FE7FB, 0x8EE2FB, 0x7CDDFA, 0x68D8F9,
                                          0x57D5F9, 0x49D0F8, 0x3FCEF8, 0x3ECDF7, 0x3FCEF8,
                                          0x49D0F8, 0x57D5F9, 0x6AD9F9, 0x7ADDFA, 0x85DFFA};
    const TColorArray shaded = ShadeAcross(kMeterInactive, kMeterThickness, blGlass);
    ASSERT_EQ(shaded.size(), 23u);
    EXPECT_EQ(Entries3To22(shaded), expected);
}

TEST(LevelBarShading, InvertedLuminanceMirrorsAround120) {
    const TColorArray shaded = ShadeAcross(kMeterInactive, kMeterThickness, blGlass);
    for (TColor e : shaded) {
        const THls before = RGBToHLS(e);
        const THls after = RGBToHLS(InvertLuminance(e));
        EXPECT_NEAR(after.l, 240 - before.l, 1) << std::hex << e;
        EXPECT_LT(after.l, 120);
    }
}

TEST(LevelBarGradient, MeterRow94) {
    const TColor c = GradientColor(kMeterStart, kMeterFinal, 94, kMeterBarLength);
    EXPECT_EQ(c, 0xFDE4C9u);
    const std::vector<TColor> expected = {0xFBC88E, 0xFCCF9E, 0xFCD6AB, 0xFCDAB4, 0xFCD9B1,
                                          0xFCD6AB, 0xFCCF9E, 0xFBC88E, 0xFABE7C, 0xFAB467,
                                          0xF9AC57, 0xF9A548, 0xF89F3F, 0xF89E3D, 0xF89F3F,
                                          0xF9A548, 0xF9AC57, 0xFAB569, 0xFABD7A, 0xFBC284};
    EXPECT_EQ(Entries3To22(ShadeAcross(c, kMeterThickness, blGlass)), expected);
}

TEST(LevelBarGradient, MeterRow50) {
    const TColor c = GradientColor(kMeterStart, kMeterFinal, 50, kMeterBarLength);
    EXPECT_EQ(c, 0xC2976Bu);
    const std::vector<TColor> expected = {0xDDC5AC, 0xE2CDB8, 0xE6D3C1, 0xE8D8C8, 0xE8D7C6,
                                          0xE6D3C1, 0xE2CDB8, 0xDDC5AC, 0xD8BB9E, 0xD1B08F,
                                          0xCCA884, 0xC8A079, 0xC59B72, 0xC59A70, 0xC59B72,
                                          0xC8A079, 0xCCA884, 0xD1B192, 0xD7BA9D, 0xDABFA5};
    EXPECT_EQ(Entries3To22(ShadeAcross(c, kMeterThickness, blGlass)), expected);
}

TEST(LevelBarGradient, SaturationAlongTheMeter) {
    auto saturation = [](int i) {
        return RGBToHLS(GradientColor(kMeterStart, kMeterFinal, i, kMeterBarLength)).s;
    };
    EXPECT_EQ(saturation(0), 240);
    EXPECT_EQ(saturation(95), 240);
    EXPECT_EQ(saturation(4), 213);
    EXPECT_EQ(saturation(94), 223);
    EXPECT_EQ(saturation(50), 100);
}

TEST(LevelBarGradient, EndsAndEqualColoursPassAll32Bits) {
    constexpr TColor kSystemColour = 0x8000000F;
    EXPECT_EQ(GradientColor(kSystemColour, kSystemColour, 40, 95), kSystemColour);
    EXPECT_EQ(GradientColor(kSystemColour, 0x123456, 0, 95), kSystemColour);
    EXPECT_EQ(GradientColor(0x123456, kSystemColour, 95, 95), kSystemColour);
    EXPECT_EQ(GradientColor(0x123456, kSystemColour, 200, 95), kSystemColour);
    // In between only the low three bytes count and the result has a zero top byte.
    EXPECT_EQ(GradientColor(0xFF000000, 0xFF0000FF, 1, 2), 0x00007Fu);
}

TEST(LevelBarGradient, FallingChannelsAndExtendedPrecisionTruncation) {
    // Falling channel: 255 - trunc(255 * 1/3) = 255 - 85.
    EXPECT_EQ(GradientColor(0x0000FF, 0x000000, 1, 3), 0x0000AAu);
    // 21 * 5 / 7 is exactly 15, and a double product also gives 15; with 5 / 7
    // taken first in extended precision the product is just below 15.
    EXPECT_EQ(GradientColor(0x000000, 0x000015, 5, 7), 14u);
    EXPECT_EQ(GradientColor(0x000015, 0x000000, 5, 7), TColor(0x15 - 14));
}

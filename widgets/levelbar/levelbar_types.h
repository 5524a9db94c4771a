#pragma once
// Value types shared by the level bar widget and its pure helpers.

#include <QObject>
#include <cstdint>
#include <vector>

// A colour: red in bits 0-7, green in 8-15, blue in 16-23 (0xBBGGRR). The top
// byte may be non-zero (system colours); only the low three bytes are a colour.
using TColor = std::uint32_t;
using TColorArray = std::vector<TColor>;

namespace LevelBar {
Q_NAMESPACE

enum TBarOrientation { boHorizontal = 0, boVertical = 1 };
Q_ENUM_NS(TBarOrientation)

enum TBarKind { bkFlat = 0, bkCylinder = 1 };
Q_ENUM_NS(TBarKind)

enum TBarLook { blMetal = 0, blGlass = 1 };
Q_ENUM_NS(TBarLook)

enum TAlignment { taLeftJustify = 0, taRightJustify = 1, taCenter = 2 };
Q_ENUM_NS(TAlignment)

// One position along the bar: whether it lies inside a block, and the far end
// of the block it belongs to (a gap records the end of the block after it).
struct TBlockEntry {
    bool active = false;
    int blockEnd = 0;
    bool operator==(const TBlockEntry&) const = default;
};
using TBlockMap = std::vector<TBlockEntry>;

// Hue, luminance and saturation, each 0..240 (kept in a byte).
struct THls {
    int h = 0;
    int l = 0;
    int s = 0;
    bool operator==(const THls&) const = default;
};

}  // namespace LevelBar

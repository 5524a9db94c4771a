#include "meter_settings.h"

#include "levelbar.h"

using namespace LevelBar;

namespace {
constexpr TColor kMeterBackgroundColor = 0xF7F7F7;
constexpr TColor kMeterStartColor = 0x804000;
constexpr TColor kMeterFinalColor = 0xFFE6CC;
constexpr TColor kMeterInactivePosColor = 0x6CD9F9;
constexpr TColor kMeterShapeColor = 0xEFEFEF;
constexpr int kMeterBlockSize = 4;
constexpr int kMeterSpaceSize = 1;
constexpr int kMeterFontPixelSize = 11;  // a font height of -11: 11-pixel characters
}  // namespace

void ApplyMeterSettings(TLevelBar& bar) {
    // The writes keep their order; the colour tables are built once, from the final values.
    bar.beginUpdate();
    bar.setWidth(kMeterWidth);
    bar.setHeight(kMeterHeight);
    bar.setOrientation(boVertical);
    bar.setBarKind(bkCylinder);
    bar.setBarLook(blGlass);
    bar.setRoundCorner(true);
    bar.setBackgroundColor(kMeterBackgroundColor);
    bar.setBarColor(kMeterStartColor);
    bar.setStartColor(kMeterStartColor);
    bar.setFinalColor(kMeterFinalColor);
    bar.setShowInactivePos(true);
    bar.setInvertInactPos(false);
    bar.setInactivePosColor(kMeterInactivePosColor);
    bar.setShaped(true);
    bar.setShapeColor(kMeterShapeColor);
    bar.setBlockSize(kMeterBlockSize);
    bar.setSpaceSize(kMeterSpaceSize);
    bar.setShowFullBlock(false);
    bar.setMaximum(kMeterMaximum);
    bar.setPosition(0);
    bar.setCaptionAlign(taLeftJustify);
    QFont font(QStringLiteral("Tahoma"));
    font.setPixelSize(kMeterFontPixelSize);
    bar.setFont(font);
    bar.setAutoCaption(false);
    bar.setAutoHint(false);
    bar.setShowPosAsPct(false);
    bar.endUpdate();
}

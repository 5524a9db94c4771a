#pragma once
// Geometry of the level bar along its axis: blocks and gaps, how much of the
// bar a value lights, and the percentage text. Pure functions.

#include "levelbar_types.h"

#include <QString>

namespace LevelBar {

// The block map of a bar barLength long: barLength + 1 entries (1 when
// barLength <= 0). Horizontal blocks start at column 3 and run rightward;
// vertical blocks stack upward from row barLength - 3 and stop at row inset.
TBlockMap BuildBlockMap(TBarOrientation orientation, int barLength, int inset, int blockSize,
                        int spaceSize);

// position * 100 / maximum for 0 < position <= maximum, maximum > 0.
double PercentOf(int position, int maximum);

// The lit extent for a percentage: 0, or minLitLength to barLength.
int LitLengthFor(int barLength, int minLitLength, double percent);

// General float format with at most 15 significant digits and no trailing
// zeros: fixed notation from 0.00001 on, scientific (capital E) below that.
QString FormatPercent(double value, const QString& decimalPoint = QStringLiteral("."));

}  // namespace LevelBar

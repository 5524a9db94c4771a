#include "levelbar_geometry.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace LevelBar {

namespace {
// Horizontal blocks start here whatever the margin.
constexpr int kFirstBlockColumn = 3;
// The lowest vertical block starts this many rows above the bar's end.
constexpr int kFirstBlockRowOffset = 3;
constexpr int kSignificantDigits = 15;
constexpr double kSmallestFixed = 0.00001;

TBlockMap BuildHorizontal(int barLength, int blockSize, int spaceSize) {
    TBlockMap map(barLength + 1);
    int start = kFirstBlockColumn;
    int end = kFirstBlockColumn - 1 + blockSize;
    for (int p = 1; p <= barLength; ++p) {
        map[p].active = p >= start && p <= end;
        map[p].blockEnd = end;
        if (p == end) {
            start = end + spaceSize + 1;
            end = std::min(start + blockSize - 1, barLength);
        }
    }
    return map;
}

TBlockMap BuildVertical(int barLength, int inset, int blockSize, int spaceSize) {
    TBlockMap map(barLength + 1);
    int start = barLength - kFirstBlockRowOffset;                // the block's lowest row
    int end = barLength - kFirstBlockRowOffset + 1 - blockSize;  // its top row
    for (int p = barLength; p >= inset; --p) {
        map[p].active = p >= end && p <= start;
        map[p].blockEnd = end;
        if (p == end) {
            start = end - spaceSize - 1;
            end = std::max(start - blockSize + 1, inset);
        }
    }
    return map;
}
}  // namespace

TBlockMap BuildBlockMap(TBarOrientation orientation, int barLength, int inset, int blockSize,
                        int spaceSize) {
    if (barLength <= 0) return TBlockMap(1);
    return orientation == boHorizontal ? BuildHorizontal(barLength, blockSize, spaceSize)
                                       : BuildVertical(barLength, inset, blockSize, spaceSize);
}

double PercentOf(int position, int maximum) {
    // 64-bit product: a position above 21 million must not wrap.
    return static_cast<double>(static_cast<long double>(std::int64_t(position) * 100) / maximum);
}

int LitLengthFor(int barLength, int minLitLength, double percent) {
    const double t = static_cast<double>(static_cast<long double>(barLength) * percent / 100);
    if (t > 0 && t < minLitLength) return minLitLength;
    if (t > barLength) return barLength;
    return static_cast<int>(std::nearbyint(t));  // a half goes to the even neighbour
}

QString FormatPercent(double value, const QString& decimalPoint) {
    if (value == 0 || !std::isfinite(value)) return QStringLiteral("0");
    // Round to 15 significant digits first; the rounded value decides the notation.
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*e", kSignificantDigits - 1, value);
    std::string text(buf);
    const bool negative = text[0] == '-';
    if (negative) text.erase(0, 1);
    const auto ePos = text.find('e');
    const int exponent = std::atoi(text.c_str() + ePos + 1);
    std::string digits = text.substr(0, 1) + text.substr(2, ePos - 2);
    while (digits.size() > 1 && digits.back() == '0') digits.pop_back();

    std::string out;
    const double magnitude = std::fabs(std::strtod(buf, nullptr));
    if (magnitude >= kSmallestFixed && exponent < kSignificantDigits) {
        if (exponent < 0) {
            out = "0" + std::string(".") + std::string(-exponent - 1, '0') + digits;
        } else if (static_cast<int>(digits.size()) <= exponent + 1) {
            out = digits + std::string(exponent + 1 - digits.size(), '0');
        } else {
            out = digits.substr(0, exponent + 1) + "." + digits.substr(exponent + 1);
        }
    } else {
        out = digits.substr(0, 1);
        if (digits.size() > 1) out += "." + digits.substr(1);
        out += "E" + std::to_string(exponent);
    }
    if (negative) out.insert(0, "-");
    QString result = QString::fromLatin1(out.c_str());
    result.replace(QLatin1Char('.'), decimalPoint);
    return result;
}

}  // namespace LevelBar

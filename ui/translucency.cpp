#include "ui/translucency.h"

#include <algorithm>

#include <QGuiApplication>
#include <QWidget>

int TranslucencyAlpha(std::uint8_t percent) {
    constexpr long double kStep = 2.55L;
    constexpr int kFull = 100;
    const int opaque = kFull - std::min<int>(percent, kFull);
    const long double product = static_cast<long double>(opaque) * kStep;
    return static_cast<int>(product);  // truncation, not rounding
}

bool WindowOpacitySupported() {
    const QString platform = QGuiApplication::platformName();
    if (platform == QLatin1String("xcb")) return true;  // _NET_WM_WINDOW_OPACITY
    // Qt's Wayland and other platform plug-ins ignore a window's opacity.
    return false;
}

void SetTranslucency(QWidget* window, std::uint8_t percent) {
    if (!window || !WindowOpacitySupported()) return;
    window->setWindowOpacity(TranslucencyAlpha(percent) / 255.0);
}

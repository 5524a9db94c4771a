// Constant whole-window opacity.
#pragma once

#include <cstdint>

class QWidget;

// Opacity byte for a transparency in percent (above 100 counts as 100):
// in extended precision and truncated toward zero (10 -> 229, not 230).
int TranslucencyAlpha(std::uint8_t percent);

// Whether the running windowing system can show a window's opacity.
bool WindowOpacitySupported();

// Gives the window the opacity TranslucencyAlpha(percent). Where the windowing system has a
// window opacity it is used. Where the compositor shows the window's own alpha instead (native
// Wayland), the window gets a translucent background, no background fill, and a topmost layer
// that multiplies every pixel painted beneath it by the opacity; the window's outline then comes
// from its pixels' alpha. Elsewhere the window stays opaque. Reports nothing. Call it before the
// native window exists.
void SetTranslucency(QWidget* window, std::uint8_t percent);

// Constant whole-window opacity.
#pragma once

#include <cstdint>

class QWidget;

// Opacity byte for a transparency in percent (above 100 counts as 100):
// in extended precision and truncated toward zero (10 -> 229, not 230).
int TranslucencyAlpha(std::uint8_t percent);

// Whether the running windowing system can show a window's opacity.
bool WindowOpacitySupported();

// Gives the window the opacity TranslucencyAlpha(percent) where the windowing
// system supports it; elsewhere the window stays opaque. Reports nothing.
void SetTranslucency(QWidget* window, std::uint8_t percent);

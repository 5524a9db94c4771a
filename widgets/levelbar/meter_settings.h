#pragma once
// The stored settings of the main window's two level meters.

class TLevelBar;

constexpr int kMeterWidth = 26;
constexpr int kMeterHeight = 99;
constexpr int kMeterMaximum = 65535;

// Applies the meter settings to a bar, each as a property write, in the order
// in which the window loads them.
void ApplyMeterSettings(TLevelBar& bar);

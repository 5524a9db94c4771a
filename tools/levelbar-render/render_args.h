#pragma once
// Command line of levelbar-render: OUT.png [meter] [name=value ...].

#include "widgets/levelbar/levelbar.h"

#include <QRgb>
#include <QString>
#include <QStringList>

#include <functional>
#include <vector>

struct RenderJob {
    QString outPath;
    bool meter = false;      // apply the main window's meter settings first
    QRgb fill = 0xFFF0F0F0;  // the widget's own colour
    std::vector<std::function<void(TLevelBar&)>> writes;  // in the order given
};

// Fills job from the arguments (without the program name). On a bad argument
// returns false with a message in error.
bool ParseRenderArgs(const QStringList& args, RenderJob& job, QString& error);

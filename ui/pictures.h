// The window's pictures, compiled in as resources.
#pragma once

#include <QImage>
#include <QString>

// Makes the compiled-in pictures reachable (the resources live in a static library).
void InitWindowResources();

// A picture by its file name under assets/, e.g. "skin.bmp"; null when absent.
QImage WindowPicture(const QString& name);

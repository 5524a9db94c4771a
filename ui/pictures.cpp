#include "ui/pictures.h"

#include <QDir>
#include <QFileInfo>
#include <QImageReader>

// Q_INIT_RESOURCE must be used outside any namespace.
static void initResources() {
    Q_INIT_RESOURCE(resources);
}

void InitWindowResources() {
    static const bool done = (initResources(), true);
    (void)done;
}

QImage WindowPicture(const QString& name) {
    InitWindowResources();
    // Our pictures are BMP and PNG, which Qt reads itself. Named by their suffix, with format
    // detection off, they are read without Qt first loading every image plug-in to ask it.
    QImageReader reader(QStringLiteral(":/assets/") + name, QFileInfo(name).suffix().toLatin1());
    reader.setAutoDetectImageFormat(false);
    return reader.read();
}

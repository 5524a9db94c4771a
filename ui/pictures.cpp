#include "ui/pictures.h"

#include <QDir>

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
    return QImage(QStringLiteral(":/assets/") + name);
}

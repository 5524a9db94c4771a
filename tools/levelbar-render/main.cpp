// levelbar-render OUT.png [meter] [name=value ...]
// Makes a level bar, applies the property writes in the order given (after the
// main window's meter settings with "meter") and writes the painted widget 1:1
// as PNG. Bad arguments exit with code 2.
#include "widgets/levelbar/meter_settings.h"
#include "render_args.h"

#include <QApplication>
#include <QImage>
#include <QPalette>
#include <QTemporaryDir>

#include <cstdio>
#include <memory>

namespace {
constexpr int kBadArguments = 2;
constexpr int kWriteFailed = 1;
}  // namespace

int main(int argc, char** argv) {
    // Headless: the offscreen platform unless the caller chose one.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    std::unique_ptr<QTemporaryDir> runtimeDir;
    if (qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR")) {
        runtimeDir = std::make_unique<QTemporaryDir>();  // mode 0700
        if (runtimeDir->isValid())
            qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtimeDir->path()));
    }
    QApplication app(argc, argv);

    QStringList args = QCoreApplication::arguments();
    args.removeFirst();
    RenderJob job;
    QString error;
    if (!ParseRenderArgs(args, job, error)) {
        std::fprintf(stderr, "levelbar-render: %s\n", qPrintable(error));
        return kBadArguments;
    }

    TLevelBar bar;
    if (job.meter) ApplyMeterSettings(bar);
    for (const auto& write : job.writes) write(bar);

    QPalette palette = bar.palette();
    palette.setColor(QPalette::Window, QColor::fromRgb(job.fill));
    bar.setPalette(palette);
    QImage image(bar.size(), QImage::Format_RGB32);
    image.fill(QColor::fromRgb(job.fill));
    bar.render(&image);
    if (!image.save(job.outPath, "PNG")) {
        std::fprintf(stderr, "levelbar-render: cannot write %s\n", qPrintable(job.outPath));
        return kWriteFailed;
    }
    return 0;
}

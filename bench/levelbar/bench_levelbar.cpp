// Cost of a meter's paint at half level and of a position write, offscreen.
#include "widgets/levelbar/levelbar.h"
#include "widgets/levelbar/meter_settings.h"

#include <QApplication>
#include <QImage>
#include <QPainter>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>

namespace {
constexpr int kHalfLevel = 32768;

// The paint handler's work on the meter: frame, 1440 bar pixels, one image
// drawn onto the target.
void BM_MeterPaint(benchmark::State& state) {
    TLevelBar bar;
    ApplyMeterSettings(bar);
    bar.setPosition(kHalfLevel);
    QImage target(bar.size(), QImage::Format_ARGB32_Premultiplied);
    target.fill(Qt::white);
    QPainter painter(&target);
    for (auto _ : state) {
        bar.paintBar(painter);
        benchmark::DoNotOptimize(target.constBits());
    }
}
BENCHMARK(BM_MeterPaint);

// The same through Qt's whole off-screen render path (paint event, palette
// fill, redirected painter) into a QImage.
void BM_MeterRenderWidget(benchmark::State& state) {
    TLevelBar bar;
    ApplyMeterSettings(bar);
    bar.setPosition(kHalfLevel);
    QImage target(bar.size(), QImage::Format_ARGB32_Premultiplied);
    for (auto _ : state) {
        bar.render(&target);
        benchmark::DoNotOptimize(target.constBits());
    }
}
BENCHMARK(BM_MeterRenderWidget);

// A position write on a shown meter, as the level timer does it: lit length,
// percentage and an invalidation.
void BM_PositionWrite(benchmark::State& state) {
    TLevelBar bar;
    ApplyMeterSettings(bar);
    bar.show();
    QApplication::processEvents();
    int position = 0;
    for (auto _ : state) {
        bar.setPosition(position);
        position = (position + 4099) & 0xFFFF;
    }
    QApplication::processEvents();
}
BENCHMARK(BM_PositionWrite);
}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QTemporaryDir runtimeDir;  // mode 0700
    if (runtimeDir.isValid()) qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtimeDir.path()));
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

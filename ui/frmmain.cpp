#include "ui/frmmain.h"

#include <QLabel>
#include <QSlider>
#include <QTimer>

namespace {
constexpr int kWatchdogIntervalMs = 25000;

QLabel* MakeLabel(QWidget* parent, int left, int top, int width, int height, const char* text) {
    auto* label = new QLabel(QString::fromUtf8(text), parent);
    label->setTextFormat(Qt::PlainText);
    label->setGeometry(left, top, width, height);
    return label;
}

QWidget* MakeButton(QWidget* parent, int left, int top) {
    auto* button = new QWidget(parent);
    button->setGeometry(left, top, 16, 16);
    return button;
}
}  // namespace

TfrmMain::TfrmMain(QWidget* parent) : QWidget(parent) {
    setFixedSize(483, 195);
    btnDur = MakeButton(this, 36, 145);
    btnPlay = MakeButton(this, 18, 145);
    Label4 = MakeLabel(this, 69, 51, 302, 36, "");
    Label4->hide();
    sndBar = new QSlider(Qt::Horizontal, this);
    sndBar->setRange(0, 100);
    sndBar->setGeometry(66, 141, 143, 29);
    Label3 = MakeLabel(this, 67, 86, 302, 51, "");
    Label3->hide();
    lKbps = MakeLabel(this, 17, 27, 66, 18, "0 kbps aac");
    lHz = MakeLabel(this, 86, 27, 82, 18, "0 Hz");

    TimerKontrol = new QTimer(this);
    TimerKontrol->setInterval(kWatchdogIntervalMs);
    connect(TimerKontrol, &QTimer::timeout, this, &TfrmMain::TimerKontrolTimer);
    TimerKontrol->start();

    MainWindowHandle.attach(this);
}

TfrmMain::~TfrmMain() {
    FormDestroy();
}

#include "app/mpris_port.h"

#include <QApplication>
#include <QDir>
#include <QIcon>
#include <QPixmap>
#include <QSlider>

#include "audioengine.h"
#include "text/displaytext.h"
#include "playback/station.h"
#include "ui/frmmain.h"

namespace {
constexpr int kIconSize = 48;
// Message boxes shown inside one another (each handler of a nested event loop may show one).
constexpr int kMaxBoxesClosed = 16;
}  // namespace

void MprisWindowPort::play() {
    window_.btnPlayClick();
}

void MprisWindowPort::stop() {
    window_.btnDurClick();
}

void MprisWindowPort::raise() {
    window_.setWindowState(window_.windowState() & ~Qt::WindowMinimized);
    window_.show();
    window_.raise();
    window_.activateWindow();
}

void MprisWindowPort::quit() {
    // A message box runs an event loop of its own and keeps the program alive while it is
    // up; the window cannot be closed from under it, so every box goes first.
    for (int i = 0; i < kMaxBoxesClosed; ++i) {
        QWidget* box = QApplication::activeModalWidget();
        if (!box) break;
        box->close();
    }
    window_.btnKapatClick();
}

bool MprisWindowPort::isPlaying() const {
    return AE_ChannelIsActive(StreamHandle.load()) == AE_ACTIVE_PLAYING;
}

int MprisWindowPort::volumePercent() const {
    return window_.sndBar->value();
}

// Moving the slider runs its change handler, so the engine's volume follows.
void MprisWindowPort::setVolumePercent(int percent) {
    window_.sndBar->setValue(percent);
}

QString MprisWindowPort::songTitle() const {
    return ToDisplayText(SongTitle);
}

QString MprisWindowPort::stationTitle() const {
    return ToDisplayText(StationTitle);
}

QString MprisWindowPort::streamAddress() const {
    return ToDisplayText(StreamAddress);
}

QString MprisWindowPort::iconFile() const {
    // The icon is compiled into the program; desktop shells want a file, so write the window's
    // icon into the user's private runtime folder (never a shared one such as /tmp).
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (runtime.isEmpty() || !QDir(runtime).exists()) return {};
    const QString path = runtime + QStringLiteral("/velmora-icon-%1.png").arg(kIconSize);
    QIcon icon = QApplication::windowIcon();
    if (icon.isNull()) icon = QIcon(QStringLiteral(":/assets/icon.png"));
    if (icon.isNull()) return {};
    if (!icon.pixmap(kIconSize, kIconSize).save(path, "PNG")) return {};
    return path;
}

MediaControls::MediaControls(TfrmMain& window) : window_(window), port_(window), mpris_(port_) {
    window_.SetPlayerWatcher(this);
}

MediaControls::~MediaControls() {
    window_.SetPlayerWatcher(nullptr);
}

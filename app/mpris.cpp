#include "app/mpris.h"

#include <QCoreApplication>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDir>
#include <QFileInfo>
#include <QUrl>

#include <atomic>
#include <cmath>
#include <cstring>

#include "app/mpris_adaptors.h"

namespace mpris {

int volumeToPercent(double volume) {
    if (!(volume > 0)) return 0;  // negative or NaN
    if (volume >= 1) return 100;
    return static_cast<int>(std::nearbyint(volume * 100));  // default rounding: halves to even
}

QString instanceServiceName(qint64 pid) {
    return QStringLiteral("%1.instance%2").arg(QString::fromUtf8(kServiceName)).arg(pid);
}

QString findIconFile(const QString& programDir) {
    static const char* const kCandidates[] = {
        "velmora.png",
        "velmora-48.png",
        "assets/velmora-48.png",
        "assets/velmora.png",
        "assets/icons/velmora-48.png",
        "../assets/icons/velmora-48.png",
        "../assets/velmora-48.png",
        "../assets/velmora.png",
        "../share/icons/hicolor/48x48/apps/velmora.png",
        "../share/pixmaps/velmora.png",
    };
    const QDir dir(programDir);
    for (const char* candidate : kCandidates) {
        const QFileInfo info(dir.filePath(QString::fromUtf8(candidate)));
        if (info.isFile()) return info.canonicalFilePath();
    }
    return {};
}

bool sessionBusConfigured() {
    if (!qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS")) return true;
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    return !runtime.isEmpty() && QFileInfo::exists(runtime + QStringLiteral("/bus"));
}

SongParts splitSong(const QString& song) {
    const QString whole = song.trimmed();
    const qsizetype dash = whole.indexOf(QLatin1String(kArtistSeparator));
    if (dash > 0) {
        SongParts parts{whole.left(dash).trimmed(),
                        whole.mid(dash + qsizetype(std::strlen(kArtistSeparator))).trimmed()};
        if (!parts.artist.isEmpty() && !parts.title.isEmpty()) return parts;
    }
    return {QString(), whole};
}

QVariantMap buildMetadata(const TrackInfo& track, const QString& trackPath, const QString& artUrl) {
    QVariantMap map;
    map.insert(QStringLiteral("mpris:trackid"), QVariant::fromValue(QDBusObjectPath(trackPath)));
    const QString station = track.station.trimmed();
    const SongParts song = splitSong(track.song);
    const QString& title = song.title.isEmpty() ? station : song.title;
    if (!title.isEmpty()) map.insert(QStringLiteral("xesam:title"), title);
    if (!song.artist.isEmpty())
        map.insert(QStringLiteral("xesam:artist"), QStringList{song.artist});
    if (!station.isEmpty()) map.insert(QStringLiteral("xesam:album"), station);
    if (!track.address.isEmpty()) map.insert(QStringLiteral("xesam:url"), track.address);
    if (!artUrl.isEmpty()) map.insert(QStringLiteral("mpris:artUrl"), artUrl);
    return map;
}

}  // namespace mpris

namespace {

// Each Mpris has a connection of its own, so two of them in one process behave as two players.
QString nextConnectionName() {
    static std::atomic<int> counter{0};
    return QStringLiteral("velmora-mpris-%1").arg(++counter);
}

QString playbackStatusText(bool playing) {
    return playing ? QStringLiteral("Playing") : QStringLiteral("Stopped");
}

}  // namespace

Mpris::Mpris(MprisPort& port, QObject* parent) : QObject(parent), port_(port) {
    if (!mpris::sessionBusConfigured()) return;
    connectionName_ = nextConnectionName();
    start(QDBusConnection::connectToBus(QDBusConnection::SessionBus, connectionName_));
}

Mpris::Mpris(MprisPort& port, const QString& busAddress, QObject* parent)
    : QObject(parent), port_(port) {
    if (busAddress.isEmpty()) return;
    connectionName_ = nextConnectionName();
    start(QDBusConnection::connectToBus(busAddress, connectionName_));
}

Mpris::~Mpris() {
    poll_.stop();
    if (connectionName_.isEmpty()) return;
    // Teardown order matters: Qt's D-Bus thread holds signal connections to the exported object
    // (and to the adaptors' relay) until it deletes its connection, and that deletion runs on
    // the D-Bus thread as soon as the last handle goes. So first take the object off the bus,
    // then destroy it while this handle keeps the connection alive, and only then let go of the
    // connection. Nothing on the D-Bus thread refers to this object itself.
    QDBusConnection bus(connectionName_);
    if (registered()) {
        bus.unregisterService(serviceName_);
        bus.unregisterObject(QString::fromUtf8(mpris::kObjectPath));
    }
    exported_.reset();
    QDBusConnection::disconnectFromBus(connectionName_);
}

void Mpris::start(const QDBusConnection& connection) {
    QDBusConnection bus = connection;
    const QString path = QString::fromUtf8(mpris::kObjectPath);
    // The state the bus first sees; later changes are announced by refresh().
    playing_ = port_.isPlaying();
    volumePercent_ = port_.volumePercent();
    track_ = currentTrack();
    trackNumber_ = 1;
    exported_ = std::make_unique<QObject>();
    new MprisRootAdaptor(exported_.get(), this);
    new MprisPlayerAdaptor(exported_.get(), this);
    if (bus.isConnected() &&
        bus.registerObject(path, exported_.get(), QDBusConnection::ExportAdaptors)) {
        const QString names[] = {QString::fromUtf8(mpris::kServiceName),
                                 mpris::instanceServiceName(QCoreApplication::applicationPid())};
        for (const QString& name : names) {
            if (bus.registerService(name)) {
                serviceName_ = name;
                break;
            }
        }
        if (serviceName_.isEmpty()) bus.unregisterObject(path);
    }
    if (serviceName_.isEmpty()) {
        // No bus, or no name to be had: stay silent and let the player run as before. The
        // exported object goes first, for the reason given in the destructor.
        exported_.reset();
        QDBusConnection::disconnectFromBus(connectionName_);
        connectionName_.clear();
        return;
    }
    QString icon = mpris::findIconFile(QCoreApplication::applicationDirPath());
    if (icon.isEmpty()) icon = port_.iconFile();
    if (!icon.isEmpty()) artUrl_ = QUrl::fromLocalFile(icon).toString();
    poll_.setInterval(mpris::kPollIntervalMs);
    connect(&poll_, &QTimer::timeout, this, &Mpris::refresh);
    poll_.start();
}

mpris::TrackInfo Mpris::currentTrack() const {
    return {port_.songTitle(), port_.stationTitle(), port_.streamAddress()};
}

QString Mpris::playbackStatus() {
    refresh();
    return playbackStatusText(playing_);
}

QVariantMap Mpris::metadata() {
    refresh();
    return announcedMetadata();
}

QVariantMap Mpris::announcedMetadata() const {
    const QString trackPath =
        QString::fromUtf8(mpris::kTrackPathPrefix) + QString::number(trackNumber_);
    return mpris::buildMetadata(track_, trackPath, artUrl_);
}

double Mpris::volume() {
    refresh();
    return volumePercent_ / 100.0;
}

void Mpris::setVolume(double volume) {
    port_.setVolumePercent(mpris::volumeToPercent(volume));
    refresh();
}

void Mpris::play() {
    if (!port_.isPlaying()) port_.play();
    refresh();
}

void Mpris::playPause() {
    if (port_.isPlaying()) {
        port_.stop();
    } else {
        port_.play();
    }
    refresh();
}

void Mpris::stop() {
    port_.stop();
    refresh();
}

void Mpris::raise() {
    port_.raise();
}

void Mpris::quit() {
    // Closing the window may end the program; let the reply go out first.
    QTimer::singleShot(0, this, [this] { port_.quit(); });
}

void Mpris::refresh() {
    QVariantMap changed;
    const bool playing = port_.isPlaying();
    if (playing != playing_) {
        playing_ = playing;
        changed.insert(QStringLiteral("PlaybackStatus"), playbackStatusText(playing_));
    }
    const int percent = port_.volumePercent();
    if (percent != volumePercent_) {
        volumePercent_ = percent;
        changed.insert(QStringLiteral("Volume"), volumePercent_ / 100.0);
    }
    mpris::TrackInfo track = currentTrack();
    if (track != track_) {
        track_ = std::move(track);
        ++trackNumber_;
        changed.insert(QStringLiteral("Metadata"), announcedMetadata());
    }
    if (!changed.isEmpty()) announce(changed);
}

void Mpris::announce(const QVariantMap& changed) {
    if (!registered()) return;
    QDBusMessage signal = QDBusMessage::createSignal(
        QString::fromUtf8(mpris::kObjectPath), QStringLiteral("org.freedesktop.DBus.Properties"),
        QStringLiteral("PropertiesChanged"));
    signal << QString::fromUtf8(mpris::kPlayerInterface) << changed << QStringList();
    QDBusConnection(connectionName_).send(signal);
}

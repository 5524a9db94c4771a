// Desktop media controls: the player on the D-Bus session bus as an MPRIS 2.2 media player.
//
// The window implements MprisPort; Mpris exports /org/mpris/MediaPlayer2 with the root and the
// Player interface under org.mpris.MediaPlayer2.velmora (a second player on the same bus takes
// org.mpris.MediaPlayer2.velmora.instance<pid>). Without a session bus Mpris does nothing.
#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QVariantMap>

#include <memory>

// What the media controls need from the player. Every call comes on the thread that owns the
// Mpris object (the window's thread).
class MprisPort {
  public:
    virtual ~MprisPort() = default;

    virtual void play() = 0;   // the play button
    virtual void stop() = 0;   // the stop button
    virtual void raise() = 0;  // bring the window to the front
    virtual void quit() = 0;   // close the window, as the close button does

    virtual bool isPlaying() const = 0;     // the engine reports the current stream playing
    virtual int volumePercent() const = 0;  // the volume slider, 0..100
    virtual void setVolumePercent(int percent) = 0;

    virtual QString songTitle() const = 0;  // empty when the stream has sent none
    virtual QString stationTitle() const = 0;
    virtual QString streamAddress() const = 0;

    // A picture file of the program's icon, asked for when none lies in the usual places
    // beside the program (findIconFile). Empty: the metadata carries no art.
    virtual QString iconFile() const { return {}; }
};

namespace mpris {

inline constexpr const char* kServiceName = "org.mpris.MediaPlayer2.velmora";
inline constexpr const char* kObjectPath = "/org/mpris/MediaPlayer2";
inline constexpr const char* kRootInterface = "org.mpris.MediaPlayer2";
inline constexpr const char* kPlayerInterface = "org.mpris.MediaPlayer2.Player";
inline constexpr const char* kIdentity = "VARNO ZIVAV";
inline constexpr const char* kDesktopEntry = "velmora";
// Object paths of tracks: kTrackPathPrefix followed by a number that grows with every song.
inline constexpr const char* kTrackPathPrefix = "/org/velmora/track/";
// How often the engine's playing state is compared with the last one sent: it changes without
// any event of the window (a stream starts or stalls).
inline constexpr int kPollIntervalMs = 500;

// The volume slider's position for an MPRIS volume: 0..1 maps to 0..100, halves to the even
// neighbour; below 0 gives 0 and above 1 gives 100. NaN gives 0.
int volumeToPercent(double volume);

// The service name an instance asks for when kServiceName is taken.
QString instanceServiceName(qint64 pid);

// The first existing icon file among the usual places relative to the program's folder (beside
// it, an assets folder beside it or one level up, the installed share folders). Empty when none.
QString findIconFile(const QString& programDir);

// True when a session bus address is known: DBUS_SESSION_BUS_ADDRESS is set or
// $XDG_RUNTIME_DIR/bus exists. Without one we do not connect, so the D-Bus library never
// autolaunches a bus daemon of its own.
bool sessionBusConfigured();

// What the Player interface shows of the current stream; also decides when the track changes.
struct TrackInfo {
    QString song, station, address;
    bool operator==(const TrackInfo&) const = default;
};

// Streams send their song as "Artist - Title"; the first separator parts the two.
inline constexpr const char* kArtistSeparator = " - ";
struct SongParts {
    QString artist, title;
};
// The artist and title of a song text, both trimmed; a text without an artist before and a
// title after the separator is all title.
SongParts splitSong(const QString& song);

// The Metadata map (a{sv}) for a track: trackid is the track's object path. The song gives
// title and artist, the station (trimmed) the album and, without a song, the title.
QVariantMap buildMetadata(const TrackInfo& track, const QString& trackPath, const QString& artUrl);

}  // namespace mpris

class Mpris : public QObject {
    Q_OBJECT
  public:
    // Connects to the session bus, when there is one, and registers the player there.
    explicit Mpris(MprisPort& port, QObject* parent = nullptr);
    // Connects to the bus at `busAddress` instead (an empty address means no bus).
    Mpris(MprisPort& port, const QString& busAddress, QObject* parent = nullptr);
    ~Mpris() override;

    bool registered() const { return !serviceName_.isEmpty(); }
    const QString& serviceName() const { return serviceName_; }  // empty when not registered

    // What the bus sees; each first catches up with the player (refresh()).
    QString playbackStatus();
    QVariantMap metadata();
    double volume();
    void setVolume(double volume);

    // The bus's requests. Play starts the station unless it already plays; PlayPause stops a
    // playing station and starts a stopped one; Stop and Pause both stop (a live stream has no
    // pause). Quit runs after the reply has gone out, since it ends the program.
    void play();
    void playPause();
    void stop();
    void raise();
    void quit();

  public slots:
    // Compares the player's state with what was last announced and emits PropertiesChanged
    // for what differs. The window calls this, through MediaControls, right after a song,
    // station or volume change; a timer calls it every kPollIntervalMs for the engine's
    // playing state, which changes without a window event.
    void refresh();

  private:
    void start(const QDBusConnection& connection);
    void announce(const QVariantMap& changed);
    mpris::TrackInfo currentTrack() const;
    QVariantMap announcedMetadata() const;

    MprisPort& port_;
    QString connectionName_;
    // The object registered on the bus, carrying the adaptors. It is kept apart from this object
    // so the destructor can destroy it while the connection still lives: Qt's D-Bus thread keeps
    // signal connections to a registered object until the connection itself is deleted there.
    std::unique_ptr<QObject> exported_;
    QString serviceName_;
    QString artUrl_;
    QTimer poll_;

    // Last announced state; the track number grows whenever the track info changes.
    bool playing_ = false;
    int volumePercent_ = 0;
    mpris::TrackInfo track_;
    quint64 trackNumber_ = 0;
};

// The two MPRIS interfaces as Qt D-Bus adaptors. They sit on the object Mpris exports (`host`)
// and pass every request on to the Mpris object (`owner`). Only mpris.cpp uses them.
// The D-Bus names of properties and methods are fixed by MPRIS, hence the capitals.
#pragma once

#include <QDBusAbstractAdaptor>
#include <QDBusObjectPath>
#include <QStringList>
#include <QVariantMap>

#include "app/mpris.h"

class MprisRootAdaptor : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.mpris.MediaPlayer2")
    Q_PROPERTY(bool CanQuit READ canQuit)
    Q_PROPERTY(bool CanRaise READ canRaise)
    Q_PROPERTY(bool HasTrackList READ hasTrackList)
    Q_PROPERTY(QString Identity READ identity)
    Q_PROPERTY(QString DesktopEntry READ desktopEntry)
    Q_PROPERTY(QStringList SupportedUriSchemes READ supportedUriSchemes)
    Q_PROPERTY(QStringList SupportedMimeTypes READ supportedMimeTypes)

  public:
    MprisRootAdaptor(QObject* host, Mpris* owner) : QDBusAbstractAdaptor(host), owner_(owner) {
        setAutoRelaySignals(false);
    }

    bool canQuit() const { return true; }
    bool canRaise() const { return true; }
    bool hasTrackList() const { return false; }
    QString identity() const { return QString::fromUtf8(mpris::kIdentity); }
    QString desktopEntry() const { return QString::fromUtf8(mpris::kDesktopEntry); }
    // OpenUri does nothing (the player plays its one station), so nothing is claimed here.
    QStringList supportedUriSchemes() const { return {}; }
    QStringList supportedMimeTypes() const { return {}; }

  public slots:
    void Raise() { owner_->raise(); }
    void Quit() { owner_->quit(); }

  private:
    Mpris* owner_;
};

class MprisPlayerAdaptor : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.mpris.MediaPlayer2.Player")
    Q_PROPERTY(QString PlaybackStatus READ playbackStatus)
    Q_PROPERTY(double Rate READ rate)
    Q_PROPERTY(double MinimumRate READ rate)
    Q_PROPERTY(double MaximumRate READ rate)
    Q_PROPERTY(QVariantMap Metadata READ metadata)
    Q_PROPERTY(double Volume READ volume WRITE setVolume)
    Q_PROPERTY(qlonglong Position READ position)
    Q_PROPERTY(bool CanGoNext READ no)
    Q_PROPERTY(bool CanGoPrevious READ no)
    Q_PROPERTY(bool CanPlay READ yes)
    Q_PROPERTY(bool CanPause READ yes)
    Q_PROPERTY(bool CanSeek READ no)
    Q_PROPERTY(bool CanControl READ yes)

  public:
    MprisPlayerAdaptor(QObject* host, Mpris* owner) : QDBusAbstractAdaptor(host), owner_(owner) {
        setAutoRelaySignals(false);
    }

    QString playbackStatus() const { return owner_->playbackStatus(); }
    double rate() const { return 1.0; }
    QVariantMap metadata() const { return owner_->metadata(); }
    double volume() const { return owner_->volume(); }
    void setVolume(double volume) { owner_->setVolume(volume); }
    qlonglong position() const { return 0; }  // a live stream has no position
    bool yes() const { return true; }
    bool no() const { return false; }

  public slots:
    void Play() { owner_->play(); }
    void PlayPause() { owner_->playPause(); }
    void Pause() { owner_->stop(); }
    void Stop() { owner_->stop(); }
    // One live station: no other track to go to and nothing to seek in.
    void Next() {}
    void Previous() {}
    void Seek(qlonglong) {}
    void SetPosition(const QDBusObjectPath&, qlonglong) {}
    void OpenUri(const QString&) {}

  signals:
    void Seeked(qlonglong position);

  private:
    Mpris* owner_;
};

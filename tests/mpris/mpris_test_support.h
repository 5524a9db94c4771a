// Helpers for the media-control tests: a scripted player, a bus client and a signal recorder.
//
// The Mpris object under test lives on this thread, so every wait here keeps the event loop
// running: a blocking call would leave its requests unanswered.
#pragma once

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QObject>
#include <QProcess>
#include <QStringList>
#include <QTimer>
#include <QVariantMap>

#include <chrono>
#include <functional>
#include <ostream>
#include <vector>

#include "app/mpris.h"

// Readable QStrings in test failures.
inline void PrintTo(const QString& text, std::ostream* os) {
    *os << '"' << text.toStdString() << '"';
}

namespace mprist {

// Set in the environment of a child test process that must run without a session bus.
inline constexpr const char* kNoBusChild = "VELMORA_MPRIS_NO_BUS_CHILD";

// Generous: the test machine is small and loaded.
inline constexpr std::chrono::milliseconds kWait{20000};

// Runs the event loop until pred() holds or the time is up; returns pred()'s last value.
inline bool waitFor(const std::function<bool()>& pred, std::chrono::milliseconds timeout = kWait) {
    QElapsedTimer clock;
    clock.start();
    while (!pred()) {
        if (clock.elapsed() > timeout.count()) return pred();
        QEventLoop loop;
        QTimer::singleShot(10, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}

// A player whose state the test sets; it counts what the bus asked of it.
class FakePort : public MprisPort {
  public:
    void play() override {
        ++plays;
        playing = true;
    }
    void stop() override {
        ++stops;
        playing = false;
    }
    void raise() override { ++raises; }
    void quit() override { ++quits; }
    bool isPlaying() const override { return playing; }
    int volumePercent() const override { return volume; }
    void setVolumePercent(int percent) override { volume = percent; }
    QString songTitle() const override { return song; }
    QString stationTitle() const override { return station; }
    QString streamAddress() const override { return address; }

    bool playing = false;
    int volume = 50;
    QString song, station = QStringLiteral("Station A"),
                  address = QStringLiteral("http://127.0.0.1:8000/a.mp3");
    int plays = 0, stops = 0, raises = 0, quits = 0;
};

struct ProcessResult {
    int exitCode = -1;  // -1: did not start or did not finish in time
    QString out;        // stdout, trimmed
    QString err;
};

// Runs a program to its end while this thread's event loop keeps serving the bus.
inline ProcessResult runProcess(const QString& program, const QStringList& args,
                                std::chrono::milliseconds timeout = kWait) {
    QProcess process;
    process.start(program, args);
    ProcessResult result;
    if (!process.waitForStarted(10000)) return result;
    if (!waitFor([&] { return process.state() == QProcess::NotRunning; }, timeout)) {
        process.kill();
        process.waitForFinished(5000);
        return result;
    }
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    result.out = QString::fromUtf8(process.readAllStandardOutput()).trimmed();
    result.err = QString::fromUtf8(process.readAllStandardError()).trimmed();
    return result;
}

inline ProcessResult playerctl(const QStringList& args) {
    return runProcess(QStringLiteral("playerctl"),
                      QStringList{QStringLiteral("-p"), QStringLiteral("velmora")} + args);
}

// A client connection of its own on the session bus, as a desktop applet would have.
class BusClient {
  public:
    BusClient();
    ~BusClient();
    QDBusConnection& bus() { return bus_; }

    // Method call on org.mpris.MediaPlayer2.Player (or `interface`); true when it was answered
    // without an error.
    bool call(const QString& service, const QString& method, const QVariantList& args = {},
              const QString& interface = QString::fromUtf8(mpris::kPlayerInterface));
    // Properties.Get; an invalid QVariant on error.
    QVariant get(const QString& service, const QString& interface, const QString& property);
    bool set(const QString& service, const QString& interface, const QString& property,
             const QVariant& value);
    bool nameHasOwner(const QString& name);

  private:
    QDBusMessage send(const QDBusMessage& message);
    QString name_;
    QDBusConnection bus_;
};

// Collects the PropertiesChanged signals of the MPRIS object path.
class ChangeRecorder : public QObject {
    Q_OBJECT
  public:
    explicit ChangeRecorder(QDBusConnection& bus);
    // Every changed map received so far for the Player interface.
    std::vector<QVariantMap> changes;
    // The last value announced for `property`, invalid when none.
    QVariant last(const QString& property) const;

  public slots:
    void onPropertiesChanged(const QDBusMessage& message);
};

// Metadata as read from the bus (a{sv} arrives as a QDBusArgument).
QVariantMap toMap(const QVariant& value);

}  // namespace mprist

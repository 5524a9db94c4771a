// Single-instance guard and hand-off of a location to the running player.
//
// Every player holds a shared lock on "Velmora.lock" in the user's private runtime folder for
// as long as it lives; a start that finds the lock already held knows another player runs.
// One of the players (the one holding the socket guard) listens on the local socket "Velmora"
// in the same folder. A courier connects, sends the location and waits for the acknowledgement
// that the player has opened it.
//
// Wire format, courier to player: two bytes of length (big-endian, 1 to kMaxLocationBytes),
// then that many bytes of location, no NUL. Player to courier: one kAckByte once the location
// has been handled, then the player closes the connection. Anything else is dropped.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string>

#include <QObject>

class QLocalServer;
class QLocalSocket;
class QTimer;

namespace velmora {

inline constexpr const char* kInstanceName = "Velmora";
inline constexpr size_t kMaxLocationBytes = 255;  // what a global atom could hold
inline constexpr char kAckByte = 0x06;

// The folder that holds the lock and the socket: $XDG_RUNTIME_DIR when it is set and is a
// private folder of this user's (a real folder, not a link, owned by uid, no access for group
// or others), else <tmpRoot>/velmora-<uid>, created 0700. An existing fallback folder must be a
// real folder owned by this user (its mode is tightened to 0700); anything else is refused and
// nullopt returned with the reason in *error.
std::optional<std::string> runtimeDirectory(const char* xdgRuntimeDir, uid_t uid,
                                            const std::string& tmpRoot, std::string* error);
// The same for this process: $XDG_RUNTIME_DIR, getuid(), /tmp.
std::optional<std::string> runtimeDirectory(std::string* error);

std::string socketPath(const std::string& dir);
std::string lockPath(const std::string& dir);

// The instance lock. Byte-range locks on one file, held per open file description, so they
// vanish with the process that holds them and are never stale:
//   byte 0  gate: held exclusively for the instant of the check, so two starts at the same
//           moment cannot both conclude that they are alone
//   byte 1  instance: every player (and a courier, for its short life) holds it shared
//   byte 2  socket guard: the one player that owns the socket name holds it exclusively
class InstanceLock {
  public:
    // The lock file must be a regular file of this user's; anything else under its name is
    // replaced.
    enum class State {
        Alone,        // no other player held the lock; we hold it now
        AnotherRuns,  // another player holds it; we hold it shared beside it
        Unavailable,  // no lock could be taken (folder or file unusable)
    };

    InstanceLock() = default;
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    State acquire(const std::string& dir);
    // Takes the socket guard if no other player holds it. True once it is ours.
    bool tryOwnSocket();
    bool ownsSocket() const { return ownsSocket_; }
    void release();
    const std::string& dir() const { return dir_; }

  private:
    int fd_ = -1;
    bool ownsSocket_ = false;
    std::string dir_;
};

// The location as the player should get it: the player runs in another folder, so a file path
// relative to ours is made absolute against `cwd` ("." steps dropped, links kept, so the name
// and its extension stay the ones given). An address with a scheme ("http:") is left as it is.
// nullopt, with the reason in *error, when no file of that name exists (or it is a folder).
std::optional<std::string> courierLocation(const std::string& location, const std::string& cwd,
                                           std::string* error);

// The courier's side of the hand-off, without any window. Returns the process exit code:
// 0 when the player acknowledged the location or nobody listens (no player runs); 1, with
// the reason on err, when the location names no file, is too long or the socket or the process
// listening on it is not this user's (nothing is sent), or when the player did not acknowledge
// it. The location is first made what courierLocation gives against the current folder.
int handOver(const std::string& dir, const std::string& location, std::ostream& err,
             std::chrono::milliseconds ackTimeout = std::chrono::seconds(60));

// Checks one complete message from a courier. Returns the location, or nullopt when the
// bytes are not exactly one well-formed message. Needs at least the two length bytes.
std::optional<std::string> parseHandOver(const std::string& bytes);
std::string encodeHandOver(const std::string& location);

// The player's side: listens on the socket while this player owns the socket guard, and
// keeps trying to take the guard over when another player owns it (that player may close
// first). Runs on the thread that owns it (the window thread), driven by its event loop;
// a courier's message is read without blocking, and `handler` runs on that thread.
class InstanceServer : public QObject {
    Q_OBJECT
  public:
    using Handler = std::function<void(const std::string&)>;
    static constexpr std::chrono::milliseconds kMessageTimeout{3000};
    static constexpr std::chrono::milliseconds kTakeOverInterval{250};
    // Connections served side by side, each with its own read time-out: a few held open
    // idle cannot shut real couriers out, and a flood is bounded.
    static constexpr int kMaxCouriers = 64;

    InstanceServer(InstanceLock& lock, Handler handler, QObject* parent = nullptr);
    ~InstanceServer() override;  // stops listening and removes the socket it created

    // Starts listening now if the guard is ours, else retries every kTakeOverInterval.
    void start();
    void stop();
    bool listening() const;

  private:
    void tryListen();
    void acceptPending();
    void readFrom(QLocalSocket* socket);

    InstanceLock& lock_;
    Handler handler_;
    QLocalServer* server_ = nullptr;
    QTimer* retry_ = nullptr;
    int couriers_ = 0;
    bool ownSocketFile_ = false;
};

}  // namespace velmora

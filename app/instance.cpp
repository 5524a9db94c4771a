#include "app/instance.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <filesystem>

#include <QLocalServer>
#include <QLocalSocket>
#include <QPointer>
#include <QTimer>
#include <QVariant>

namespace velmora {

namespace {

constexpr off_t kGateByte = 0;
constexpr off_t kInstanceByte = 1;
constexpr off_t kSocketGuardByte = 2;
constexpr size_t kLengthBytes = 2;

bool isFolderOf(const struct stat& st, uid_t uid) {
    return S_ISDIR(st.st_mode) && st.st_uid == uid;
}

bool othersMayEnter(const struct stat& st) {
    return (st.st_mode & 077) != 0;
}

// Opens `dir` without following a link in its last step, and checks it through the handle, so a
// link or a folder swapped in between cannot be taken for ours. -1 when it is not a folder of
// uid's; *st describes it otherwise.
int openFolderOf(const std::string& dir, uid_t uid, struct stat* st) {
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0 && (fstat(fd, st) != 0 || !isFolderOf(*st, uid))) {
        close(fd);
        fd = -1;
    }
    return fd;
}

// The lock file, opened read-write: a regular file of uid's that only uid may open. Whatever
// else stands under its name (a file another user left while the folder was open to others, a
// link, a pipe) is not trusted: it is removed, once, and the file made anew.
int openLockFile(const std::string& path, uid_t uid) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        int fd = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
        struct stat st {};
        if (fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == uid &&
            (!othersMayEnter(st) || fchmod(fd, 0600) == 0))
            return fd;
        if (fd >= 0) close(fd);
        if (unlink(path.c_str()) != 0) return -1;
    }
    return -1;
}

// True when the socket file at path is a socket of uid's. A courier hands nothing to a listener
// that another user set up.
bool socketFileOf(const std::string& path, uid_t uid) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode) && st.st_uid == uid;
}

// True when the process at the other end of a connected unix socket runs as uid.
bool peerIs(int fd, uid_t uid) {
    ucred cred{};
    socklen_t size = sizeof(cred);
    return getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &size) == 0 && cred.uid == uid;
}

// One byte of an open-file-description lock. wait: block until it is granted.
bool lockByte(int fd, off_t byte, short type, bool wait) {
    struct flock fl {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = byte;
    fl.l_len = 1;
    int rc;
    do {
        rc = fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &fl);
    } while (rc != 0 && errno == EINTR);
    return rc == 0;
}

// True when some other open file description holds a lock that an exclusive lock would meet.
bool byteHeldElsewhere(int fd, off_t byte) {
    struct flock fl {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = byte;
    fl.l_len = 1;
    if (fcntl(fd, F_OFD_GETLK, &fl) != 0) return false;
    return fl.l_type != F_UNLCK;
}

bool fillAddress(const std::string& path, sockaddr_un& addr) {
    if (path.size() >= sizeof(addr.sun_path)) return false;
    memset(&addr, 0, sizeof(addr));
    addr.sun_family = AF_UNIX;
    memcpy(addr.sun_path, path.data(), path.size());
    return true;
}

bool writeAll(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// "http:", "mms:": a scheme of letters, digits, "+", "-" and "." that begins with a letter.
bool hasScheme(const std::string& location) {
    const auto colon = location.find(':');
    if (colon == std::string::npos || colon == 0 ||
        !std::isalpha(static_cast<unsigned char>(location[0])))
        return false;
    return std::all_of(location.begin(), location.begin() + static_cast<long>(colon), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.';
    });
}

void drop(QLocalSocket* socket) {
    socket->abort();
    socket->deleteLater();
}

}  // namespace

std::optional<std::string> runtimeDirectory(const char* xdgRuntimeDir, uid_t uid,
                                            const std::string& tmpRoot, std::string* error) {
    struct stat st {};
    // $XDG_RUNTIME_DIR is the session's, not ours to change: used only when it is private.
    if (xdgRuntimeDir && *xdgRuntimeDir) {
        int fd = openFolderOf(xdgRuntimeDir, uid, &st);
        if (fd >= 0) {
            close(fd);
            if (!othersMayEnter(st)) return std::string(xdgRuntimeDir);
        }
    }

    std::string dir = tmpRoot + "/velmora-" + std::to_string(uid);
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        if (error) *error = dir + ": " + strerror(errno);
        return std::nullopt;
    }
    int fd = openFolderOf(dir, uid, &st);
    if (fd < 0) {
        if (error) *error = dir + ": not a folder of this user's own";
        return std::nullopt;
    }
    bool ok = !othersMayEnter(st) || fchmod(fd, 0700) == 0;
    close(fd);
    if (!ok) {
        if (error) *error = dir + ": cannot be made private";
        return std::nullopt;
    }
    return dir;
}

std::optional<std::string> runtimeDirectory(std::string* error) {
    return runtimeDirectory(getenv("XDG_RUNTIME_DIR"), getuid(), "/tmp", error);
}

std::string socketPath(const std::string& dir) {
    return dir + "/" + kInstanceName;
}
std::string lockPath(const std::string& dir) {
    return dir + "/" + kInstanceName + ".lock";
}

InstanceLock::~InstanceLock() {
    release();
}

InstanceLock::State InstanceLock::acquire(const std::string& dir) {
    release();
    fd_ = openLockFile(lockPath(dir), getuid());
    if (fd_ < 0) return State::Unavailable;
    dir_ = dir;
    if (!lockByte(fd_, kGateByte, F_WRLCK, true)) {
        release();
        return State::Unavailable;
    }
    bool another = byteHeldElsewhere(fd_, kInstanceByte);
    bool held = lockByte(fd_, kInstanceByte, F_RDLCK, false);
    lockByte(fd_, kGateByte, F_UNLCK, false);
    if (!held) {
        release();
        return State::Unavailable;
    }
    return another ? State::AnotherRuns : State::Alone;
}

bool InstanceLock::tryOwnSocket() {
    if (fd_ < 0) return false;
    if (!ownsSocket_) ownsSocket_ = lockByte(fd_, kSocketGuardByte, F_WRLCK, false);
    return ownsSocket_;
}

void InstanceLock::release() {
    if (fd_ >= 0) close(fd_);  // drops every lock of this description
    fd_ = -1;
    ownsSocket_ = false;
}

std::string encodeHandOver(const std::string& location) {
    std::string out;
    out.push_back(static_cast<char>((location.size() >> 8) & 0xff));
    out.push_back(static_cast<char>(location.size() & 0xff));
    return out + location;
}

std::optional<std::string> parseHandOver(const std::string& bytes) {
    if (bytes.size() < kLengthBytes) return std::nullopt;
    size_t length =
        (static_cast<unsigned char>(bytes[0]) << 8) | static_cast<unsigned char>(bytes[1]);
    if (length == 0 || length > kMaxLocationBytes) return std::nullopt;
    if (bytes.size() != kLengthBytes + length) return std::nullopt;
    std::string location = bytes.substr(kLengthBytes);
    if (location.find('\0') != std::string::npos) return std::nullopt;
    return location;
}

std::optional<std::string> courierLocation(const std::string& location, const std::string& cwd,
                                           std::string* error) {
    namespace fs = std::filesystem;
    struct stat st {};
    const fs::path given(location);
    const fs::path full = given.is_absolute() ? given : fs::path(cwd) / given;
    if (stat(full.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) {
        if (hasScheme(location)) return location;
        if (error) *error = "velmora: " + location + ": no such file\n";
        return std::nullopt;
    }
    fs::path resolved;
    for (const fs::path& part : full)
        if (part != ".") resolved /= part;
    return resolved.string();
}

int handOver(const std::string& dir, const std::string& given, std::ostream& err,
             std::chrono::milliseconds ackTimeout) {
    std::string why;
    std::error_code noFolder;  // a folder removed under us: only absolute paths will do
    const std::optional<std::string> resolved =
        courierLocation(given, std::filesystem::current_path(noFolder).string(), &why);
    if (!resolved) {
        err << why;
        return 1;
    }
    const std::string& location = *resolved;
    if (location.size() > kMaxLocationBytes) {
        err << "velmora: the location is " << location.size() << " bytes long; at most "
            << kMaxLocationBytes << " can be handed to the running player\n";
        return 1;
    }
    const std::string path = socketPath(dir);
    sockaddr_un addr;
    if (!fillAddress(path, addr)) return 0;
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return 0;
    // No listener (no socket file, or nobody accepting): the hand-off goes nowhere.
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        close(fd);
        return 0;
    }
    if (!socketFileOf(path, getuid()) || !peerIs(fd, getuid())) {
        close(fd);
        err << "velmora: " << path << " is not this user's player; nothing was handed over\n";
        return 1;
    }
    // Only the acknowledgement says the player took the location; a player that drops us,
    // closes, or does not answer in time has not, and the one who started us must know.
    bool acknowledged = false;
    if (writeAll(fd, encodeHandOver(location))) {
        auto deadline = std::chrono::steady_clock::now() + ackTimeout;
        for (;;) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) break;
            pollfd p{fd, POLLIN, 0};
            int rc = poll(&p, 1, static_cast<int>(left.count()));
            if (rc < 0 && errno == EINTR) continue;
            if (rc <= 0) break;
            char ack = 0;
            ssize_t n = recv(fd, &ack, 1, 0);
            if (n < 0 && errno == EINTR) continue;
            acknowledged = n == 1 && ack == kAckByte;
            break;
        }
    }
    close(fd);
    if (acknowledged) return 0;
    err << "velmora: the running player did not take " << location << "\n";
    return 1;
}

InstanceServer::InstanceServer(InstanceLock& lock, Handler handler, QObject* parent)
    : QObject(parent), lock_(lock), handler_(std::move(handler)) {}

InstanceServer::~InstanceServer() {
    stop();
}

void InstanceServer::start() {
    tryListen();
    if (listening() || retry_) return;
    retry_ = new QTimer(this);
    retry_->setInterval(static_cast<int>(kTakeOverInterval.count()));
    connect(retry_, &QTimer::timeout, this, [this] {
        tryListen();
        if (listening()) retry_->stop();
    });
    retry_->start();
}

bool InstanceServer::listening() const {
    return server_ && server_->isListening();
}

void InstanceServer::tryListen() {
    if (listening() || !lock_.tryOwnSocket()) return;
    // The guard is ours, so a socket file still there was left by a player that died.
    const std::string path = socketPath(lock_.dir());
    unlink(path.c_str());
    if (!server_) {
        server_ = new QLocalServer(this);
        server_->setSocketOptions(QLocalServer::UserAccessOption);
        server_->setMaxPendingConnections(kMaxCouriers);
        connect(server_, &QLocalServer::newConnection, this, &InstanceServer::acceptPending);
    }
    mode_t old = umask(0177);
    bool ok = server_->listen(QString::fromStdString(path));
    umask(old);
    if (!ok) return;
    chmod(path.c_str(), 0600);
    ownSocketFile_ = true;
}

void InstanceServer::stop() {
    if (retry_) retry_->stop();
    if (server_) {
        server_->close();  // QLocalServer removes its socket file here
        delete server_;
        server_ = nullptr;
    }
    if (ownSocketFile_) unlink(socketPath(lock_.dir()).c_str());
    ownSocketFile_ = false;
}

void InstanceServer::acceptPending() {
    while (server_ && server_->hasPendingConnections()) {
        QLocalSocket* socket = server_->nextPendingConnection();
        if (couriers_ >= kMaxCouriers) {
            drop(socket);
            continue;
        }
        ++couriers_;
        connect(socket, &QObject::destroyed, this, [this] { --couriers_; });
        // A courier that sends too little, too slowly, is cut off.
        auto* timer = new QTimer(socket);
        timer->setSingleShot(true);
        connect(timer, &QTimer::timeout, socket, [socket] { drop(socket); });
        timer->start(static_cast<int>(kMessageTimeout.count()));
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] { readFrom(socket); });
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        if (socket->bytesAvailable() > 0) readFrom(socket);
    }
}

void InstanceServer::readFrom(QLocalSocket* socket) {
    if (socket->property("done").toBool()) {
        socket->readAll();
        return;
    }
    if (socket->bytesAvailable() < static_cast<qint64>(kLengthBytes)) return;
    QByteArray head = socket->peek(kLengthBytes);
    size_t length =
        (static_cast<unsigned char>(head[0]) << 8) | static_cast<unsigned char>(head[1]);
    qint64 whole = static_cast<qint64>(kLengthBytes + length);
    if (length == 0 || length > kMaxLocationBytes || socket->bytesAvailable() > whole) {
        drop(socket);  // oversized or malformed: nothing is opened
        return;
    }
    if (socket->bytesAvailable() < whole) return;  // the rest is still coming
    QByteArray bytes = socket->read(whole);
    std::optional<std::string> location = parseHandOver(bytes.toStdString());
    if (!location) {
        drop(socket);
        return;
    }
    socket->setProperty("done", true);
    // The courier has said all it will and now waits for the acknowledgement, however long the
    // handler takes (a message box may stay up until the user answers it).
    if (auto* timer = socket->findChild<QTimer*>()) timer->stop();
    // A modal box in the handler runs a nested event loop, where a courier that hung up has its
    // socket deleted: only a socket that is still there is touched afterwards.
    QPointer<QLocalSocket> alive(socket);
    handler_(*location);
    if (alive && alive->state() == QLocalSocket::ConnectedState) {
        alive->write(&kAckByte, 1);
        alive->disconnectFromServer();
    }
}

}  // namespace velmora

#include "app/instance.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <sstream>
#include <thread>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <gtest/gtest.h>

#include "fixtures.h"

using namespace std::chrono_literals;
using velmora::InstanceLock;
using State = InstanceLock::State;

namespace {

std::string selfExe() {
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof(buf) - 1);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

mode_t modeOf(const std::string& path) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) return 0;
    return st.st_mode & 07777;
}

bool exists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

// Runs the Qt event loop of this thread until pred holds or the time is up.
bool spinUntil(const std::function<bool()>& pred, fx::Millis timeout = 10s) {
    QElapsedTimer t;
    t.start();
    while (!pred()) {
        if (t.elapsed() > timeout.count()) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

// A plain AF_UNIX client, for sending what a real courier never would.
int connectRaw(const std::string& path) {
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// A listener that is not the player: accepts one courier, records what it sent, and
// acknowledges after `ackDelay`.
class FakeListener {
  public:
    FakeListener(const std::string& path, std::chrono::milliseconds ackDelay, bool ack = true) {
        fd_ = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
        bound_ =
            bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 && listen(fd_, 4) == 0;
        thread_ = std::thread([this, ackDelay, ack] {
            int c = accept(fd_, nullptr, nullptr);
            if (c < 0) return;
            accepted_ = true;
            char buf[1024];
            ssize_t n;
            std::string got;
            // Reads until the message is complete (length bytes + body).
            while ((n = read(c, buf, sizeof(buf))) > 0) {
                got.append(buf, static_cast<size_t>(n));
                if (got.size() >= 2 &&
                    got.size() >= 2u + ((unsigned char)got[0] << 8 | (unsigned char)got[1]))
                    break;
            }
            received_ = got;
            std::this_thread::sleep_for(ackDelay);
            ackedAt_ = std::chrono::steady_clock::now();
            if (ack) (void)!write(c, &velmora::kAckByte, 1);
            close(c);
        });
    }
    ~FakeListener() {
        shutdown(fd_, SHUT_RDWR);
        thread_.join();
        close(fd_);
    }
    bool bound() const { return bound_; }
    bool accepted() const { return accepted_; }
    std::string received() {
        thread_.join();
        thread_ = std::thread([] {});
        return received_;
    }
    std::chrono::steady_clock::time_point ackedAt() const { return ackedAt_; }

  private:
    int fd_ = -1;
    bool bound_ = false;
    std::atomic<bool> accepted_{false};
    std::string received_;
    std::chrono::steady_clock::time_point ackedAt_{};
    std::thread thread_;
};

}  // namespace

TEST(RuntimeDirectory, UsesXdgRuntimeDirWhenItIsOurs) {
    fx::TempDir xdg, tmp;
    std::string err;
    EXPECT_EQ(velmora::runtimeDirectory(xdg.path().c_str(), getuid(), tmp.path(), &err),
              xdg.path());
}

TEST(RuntimeDirectory, FallsBackToAPrivateFolderUnderTmp) {
    fx::TempDir tmp;
    std::string err;
    const std::string expected = tmp.path() + "/velmora-" + std::to_string(getuid());
    // Ours but open to others, and a link to a private folder of ours: someone else could
    // have put a lock and a socket there, or swap the link.
    fx::TempDir open, target;
    chmod(open.path().c_str(), 0777);
    const std::string link = target.file("link");
    fx::TempDir linked;
    ASSERT_EQ(symlink(linked.path().c_str(), link.c_str()), 0);
    // Unset, empty, a folder of someone else's, or one of those: the fallback, created 0700.
    for (const char* xdg : {(const char*)nullptr, "", "/", open.path().c_str(), link.c_str()}) {
        if (xdg && std::string(xdg) == "/" && getuid() == 0) continue;  // "/" is root's
        auto dir = velmora::runtimeDirectory(xdg, getuid(), tmp.path(), &err);
        ASSERT_TRUE(dir) << err;
        EXPECT_EQ(*dir, expected);
        EXPECT_EQ(modeOf(expected), 0700u);
    }
    // An existing folder of ours that others can enter is made private again.
    chmod(expected.c_str(), 0755);
    ASSERT_TRUE(velmora::runtimeDirectory(nullptr, getuid(), tmp.path(), &err));
    EXPECT_EQ(modeOf(expected), 0700u);
}

TEST(RuntimeDirectory, RefusesAFolderItDoesNotOwn) {
    fx::TempDir tmp, elsewhere;
    std::string err;
    const std::string name = tmp.path() + "/velmora-" + std::to_string(getuid());
    // A link, even to a private folder of ours, could be swapped: refused.
    ASSERT_EQ(symlink(elsewhere.path().c_str(), name.c_str()), 0);
    EXPECT_FALSE(velmora::runtimeDirectory(nullptr, getuid(), tmp.path(), &err));
    EXPECT_NE(err.find(name), std::string::npos);
    unlink(name.c_str());
    // A plain file in its place.
    fx::writeFile(name, "x");
    EXPECT_FALSE(velmora::runtimeDirectory(nullptr, getuid(), tmp.path(), &err));
    unlink(name.c_str());
    // A folder that belongs to another user is neither used nor changed.
    if (getuid() == 0) {
        ASSERT_EQ(mkdir(name.c_str(), 0777), 0);
        chmod(name.c_str(), 0777);
        ASSERT_EQ(chown(name.c_str(), 65534, 65534), 0);
        EXPECT_FALSE(velmora::runtimeDirectory(nullptr, 0, tmp.path(), &err));
        EXPECT_EQ(modeOf(name), 0777u);
    }
}

TEST(InstanceLock, SecondHolderSeesTheFirstUntilEveryPlayerHasGone) {
    fx::TempDir dir;
    InstanceLock first, second, third;
    EXPECT_EQ(first.acquire(dir.path()), State::Alone);
    EXPECT_EQ(modeOf(velmora::lockPath(dir.path())), 0600u);
    EXPECT_EQ(second.acquire(dir.path()), State::AnotherRuns);
    // The first closes; the second player still holds the lock, as a mutex stays while
    // any handle to it is open.
    first.release();
    EXPECT_EQ(third.acquire(dir.path()), State::AnotherRuns);
    second.release();
    third.release();
    EXPECT_EQ(first.acquire(dir.path()), State::Alone);
}

TEST(InstanceLock, OnlyOnePlayerOwnsTheSocketAndTheGuardPassesOn) {
    fx::TempDir dir;
    InstanceLock first, second;
    first.acquire(dir.path());
    second.acquire(dir.path());
    EXPECT_TRUE(first.tryOwnSocket());
    EXPECT_TRUE(first.tryOwnSocket());  // asking again keeps it
    EXPECT_FALSE(second.tryOwnSocket());
    first.release();
    EXPECT_TRUE(second.tryOwnSocket());
}

// A lock file someone else left (and holds) while the folder was open to others is not
// trusted: ours replaces it, so that user cannot pose as the running player.
TEST(InstanceLock, ALockFileOfAnotherUserIsReplaced) {
    if (getuid() != 0) GTEST_SKIP() << "needs root to make a file of another user";
    fx::TempDir dir;
    const std::string path = velmora::lockPath(dir.path());
    fx::writeFile(path, "");
    ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0);
    chmod(path.c_str(), 0666);
    // Held the way a player holds it: byte 1, shared.
    int theirs = open(path.c_str(), O_RDWR);
    ASSERT_GE(theirs, 0);
    struct flock fl {};
    fl.l_type = F_RDLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = 1;
    fl.l_len = 1;
    ASSERT_EQ(fcntl(theirs, F_OFD_SETLK, &fl), 0);
    InstanceLock lock;
    EXPECT_EQ(lock.acquire(dir.path()), State::Alone);
    struct stat st {};
    ASSERT_EQ(lstat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, getuid());
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    close(theirs);
}

TEST(InstanceLock, UnusableFolderGivesNoLock) {
    InstanceLock lock;
    EXPECT_EQ(lock.acquire("/nonexistent/velmora"), State::Unavailable);
    EXPECT_FALSE(lock.tryOwnSocket());
}

TEST(InstanceLock, HeldByAnotherProcessAndFreedWhenItDies) {
    fx::TempDir dir;
    fx::ChildProcess holder;
    ASSERT_TRUE(holder.start({selfExe(), "--hold-lock", dir.path()}));
    ASSERT_TRUE(fx::waitUntil([&] { return !holder.stdoutText().empty(); }));
    EXPECT_EQ(holder.stdoutText(), "alone\n");
    {
        InstanceLock lock;
        EXPECT_EQ(lock.acquire(dir.path()), State::AnotherRuns);
    }
    // A player that crashes leaves nothing stale behind.
    holder.signal(SIGKILL);
    ASSERT_TRUE(holder.wait(10s));
    InstanceLock lock;
    EXPECT_EQ(lock.acquire(dir.path()), State::Alone);

    // And the other way round: a helper started while we hold it sees us.
    fx::ChildProcess second;
    ASSERT_TRUE(second.start({selfExe(), "--hold-lock", dir.path()}));
    ASSERT_TRUE(fx::waitUntil([&] { return !second.stdoutText().empty(); }));
    EXPECT_EQ(second.stdoutText(), "another\n");
}

// Handed over as it is: an address needs no file.
constexpr const char* kAddress = "http://127.0.0.1:8000/a.pls";

TEST(HandOverMessage, EncodesAndChecksEveryField) {
    EXPECT_EQ(velmora::parseHandOver(velmora::encodeHandOver("a.pls")), "a.pls");
    std::string longest(velmora::kMaxLocationBytes, 'x');
    EXPECT_EQ(velmora::parseHandOver(velmora::encodeHandOver(longest)), longest);
    EXPECT_EQ(velmora::encodeHandOver("ab"), std::string("\0\2ab", 4));

    EXPECT_FALSE(velmora::parseHandOver(""));
    EXPECT_FALSE(velmora::parseHandOver(std::string("\0", 1)));
    EXPECT_FALSE(velmora::parseHandOver(std::string("\0\0", 2)));                  // empty
    EXPECT_FALSE(velmora::parseHandOver(velmora::encodeHandOver(longest + "x")));  // 256
    EXPECT_FALSE(velmora::parseHandOver(std::string("\0\3ab", 4)));                // short
    EXPECT_FALSE(velmora::parseHandOver(std::string("\0\1ab", 4)));                // trailing
    EXPECT_FALSE(velmora::parseHandOver(std::string("\0\3a\0b", 5)));              // NUL inside
}

TEST(Courier, SendsTheLocationAndWaitsForTheAcknowledgement) {
    fx::TempDir dir;
    FakeListener listener(velmora::socketPath(dir.path()), 300ms);
    ASSERT_TRUE(listener.bound());
    std::ostringstream err;
    const std::string playlist = dir.file("b.pls");
    fx::writeFile(playlist, "[playlist]\n");
    EXPECT_EQ(velmora::handOver(dir.path(), playlist, err), 0);
    auto returnedAt = std::chrono::steady_clock::now();
    EXPECT_EQ(listener.received(), velmora::encodeHandOver(playlist));
    EXPECT_GE(returnedAt, listener.ackedAt());
    EXPECT_TRUE(err.str().empty());
}

// The player runs in another folder: a relative path is made absolute against the courier's,
// an address is left alone, and a file that is not there is the courier's error to report.
TEST(Courier, MakesARelativePathAbsoluteAndRefusesAMissingFile) {
    fx::TempDir dir;
    ::mkdir(dir.file("music").c_str(), 0700);
    fx::writeFile(dir.file("music/s.m3u"), "http://127.0.0.1:1/\n");
    ASSERT_EQ(::symlink("s.m3u", dir.file("music/link.m3u").c_str()), 0);
    std::string why;
    EXPECT_EQ(velmora::courierLocation("s.m3u", dir.file("music"), &why), dir.file("music/s.m3u"));
    EXPECT_EQ(velmora::courierLocation("./music/./s.m3u", dir.path(), &why),
              dir.file("music/s.m3u"));
    EXPECT_EQ(velmora::courierLocation("../music/link.m3u", dir.file("music"), &why),
              dir.file("music/../music/link.m3u"));  // the link itself, not what it names
    EXPECT_EQ(velmora::courierLocation(dir.file("music/s.m3u"), "/", &why),
              dir.file("music/s.m3u"));
    for (const char* address : {"http://127.0.0.1:8000/a.mp3", "mms://h/x", "HTTPS://h/y.pls"})
        EXPECT_EQ(velmora::courierLocation(address, dir.path(), &why), address);
    EXPECT_TRUE(why.empty()) << why;

    for (const char* missing : {"s.m3u", "music", "music/none.pls"}) {
        EXPECT_FALSE(velmora::courierLocation(missing, dir.path(), &why)) << missing;
        EXPECT_NE(why.find(missing), std::string::npos) << why;
    }

    FakeListener listener(velmora::socketPath(dir.path()), 0ms);
    std::ostringstream err;
    EXPECT_EQ(velmora::handOver(dir.path(), dir.file("none.pls"), err), 1);
    EXPECT_NE(err.str().find("none.pls: no such file"), std::string::npos) << err.str();
    EXPECT_FALSE(listener.accepted());
}

TEST(Courier, NoListenerMeansTheHandOverGoesNowhere) {
    fx::TempDir dir;
    std::ostringstream err;
    EXPECT_EQ(velmora::handOver(dir.path(), kAddress, err), 0);  // no socket file
    {
        // A socket file left by a player that died: connection refused.
        FakeListener dead(velmora::socketPath(dir.path()), 0ms);
    }
    ASSERT_TRUE(exists(velmora::socketPath(dir.path())));
    EXPECT_EQ(velmora::handOver(dir.path(), kAddress, err), 0);
    EXPECT_TRUE(err.str().empty());
}

TEST(Courier, HandsNothingToASocketOfAnotherUser) {
    if (getuid() != 0) GTEST_SKIP() << "needs root to make a socket of another user";
    fx::TempDir dir;
    FakeListener listener(velmora::socketPath(dir.path()), 0ms, /*ack=*/false);
    ASSERT_EQ(chown(velmora::socketPath(dir.path()).c_str(), 65534, 65534), 0);
    std::ostringstream err;
    EXPECT_EQ(velmora::handOver(dir.path(), kAddress, err), 1);
    EXPECT_NE(err.str().find("not this user's"), std::string::npos) << err.str();
    EXPECT_EQ(listener.received(), "");
}

// The location is lost: whoever started the courier must hear of it.
TEST(Courier, APlayerThatDropsItWithoutAnAnswerEndsTheWaitAndFails) {
    fx::TempDir dir;
    FakeListener listener(velmora::socketPath(dir.path()), 0ms, /*ack=*/false);
    std::ostringstream err;
    EXPECT_EQ(velmora::handOver(dir.path(), kAddress, err, 20s), 1);
    EXPECT_EQ(listener.received(), velmora::encodeHandOver(kAddress));
    EXPECT_NE(err.str().find(std::string("did not take ") + kAddress), std::string::npos)
        << err.str();
}

TEST(Courier, RefusesALocationOverTheLimitAndSendsNothing) {
    fx::TempDir dir;
    FakeListener listener(velmora::socketPath(dir.path()), 0ms);
    std::ostringstream err;
    EXPECT_EQ(velmora::handOver(dir.path(), "http://" + std::string(249, 'p'), err), 1);
    EXPECT_NE(err.str().find("255"), std::string::npos) << err.str();
    EXPECT_FALSE(listener.accepted());
}

class ServerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(lock.acquire(dir.path()), State::Alone);
        server = std::make_unique<velmora::InstanceServer>(lock, [this](const std::string& s) {
            // Slow on purpose: the courier must wait for the handler's end.
            std::this_thread::sleep_for(100ms);
            opened.push_back(s);
            if (whileOpening) whileOpening();
        });
    }
    // Hands over on another thread while this one runs the event loop.
    int courier(const std::string& location, std::vector<std::string>* seenOnReturn = nullptr) {
        std::atomic<bool> done{false};
        int rc = -1;
        std::ostringstream err;
        std::thread t([&] {
            rc = velmora::handOver(dir.path(), location, err, 20s);
            done = true;
        });
        spinUntil([&] { return done.load(); }, 30s);
        t.join();
        if (seenOnReturn) *seenOnReturn = opened;
        return rc;
    }

    fx::TempDir dir;
    InstanceLock lock;
    std::unique_ptr<velmora::InstanceServer> server;
    std::vector<std::string> opened;
    std::function<void()> whileOpening;  // runs inside the handler, after it has opened
};

TEST_F(ServerTest, OpensEachHandedOverLocationBeforeTheCourierReturns) {
    server->start();
    ASSERT_TRUE(server->listening());
    EXPECT_EQ(modeOf(velmora::socketPath(dir.path())) & 0777, 0600u);
    std::vector<std::string> seen;
    EXPECT_EQ(courier("http://h/b.pls", &seen), 0);
    EXPECT_EQ(seen, std::vector<std::string>{"http://h/b.pls"});
    // The same location twice is opened twice.
    EXPECT_EQ(courier("http://h/b.pls"), 0);
    EXPECT_EQ(courier("http://" + std::string(248, 'z')), 0);
    EXPECT_EQ(opened, (std::vector<std::string>{"http://h/b.pls", "http://h/b.pls",
                                                "http://" + std::string(248, 'z')}));
    server.reset();
    EXPECT_FALSE(exists(velmora::socketPath(dir.path())));
}

TEST_F(ServerTest, DropsMalformedOversizedAndSilentCouriersAndKeepsServing) {
    server->start();
    const std::string path = velmora::socketPath(dir.path());
    const std::vector<std::string> bad = {
        std::string("\xff\xff", 2) + std::string(300, 'a'),  // oversized
        std::string("\0\0", 2),                              // empty
        std::string("\0\2abEXTRA", 9),                       // more than it announced
        std::string("\0\3a\0b", 5),                          // NUL inside
    };
    std::vector<int> fds;
    for (const auto& msg : bad) {
        int fd = connectRaw(path);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(write(fd, msg.data(), msg.size()), static_cast<ssize_t>(msg.size()));
        fds.push_back(fd);
    }
    // One that announces more than it sends and then falls silent: cut off by the time-out.
    int slow = connectRaw(path);
    ASSERT_EQ(write(slow,
                    "\0\x10"
                    "abc",
                    5),
              5);
    auto closedByPeer = [](int fd) {
        char c;
        return recv(fd, &c, 1, MSG_DONTWAIT) == 0;
    };
    EXPECT_TRUE(spinUntil([&] {
        for (int fd : fds)
            if (!closedByPeer(fd)) return false;
        return true;
    }));
    EXPECT_TRUE(spinUntil([&] { return closedByPeer(slow); },
                          velmora::InstanceServer::kMessageTimeout + 10s));
    for (int fd : fds) close(fd);
    close(slow);
    EXPECT_TRUE(opened.empty());
    EXPECT_EQ(courier("http://h/a.pls"), 0);
    EXPECT_EQ(opened, std::vector<std::string>{"http://h/a.pls"});
}

// Connections of the same user held open and silent do not shut a courier out.
TEST_F(ServerTest, EightIdleConnectionsHeldOpenDoNotBlockACourier) {
    server->start();
    std::vector<int> idle;
    for (int i = 0; i < 8; ++i) {
        idle.push_back(connectRaw(velmora::socketPath(dir.path())));
        ASSERT_GE(idle.back(), 0);
    }
    spinUntil([] { return false; }, 200ms);  // the server has taken them in
    EXPECT_EQ(courier("http://h/a.pls"), 0);
    EXPECT_EQ(opened, std::vector<std::string>{"http://h/a.pls"});
    for (int fd : idle) close(fd);
}

TEST_F(ServerTest, ReplacesAStaleSocketFileLeftByADeadPlayer) {
    { FakeListener dead(velmora::socketPath(dir.path()), 0ms); }
    ASSERT_TRUE(exists(velmora::socketPath(dir.path())));
    server->start();
    ASSERT_TRUE(server->listening());
    EXPECT_EQ(courier("http://h/a.pls"), 0);
    EXPECT_EQ(opened, std::vector<std::string>{"http://h/a.pls"});
}

TEST_F(ServerTest, ASecondPlayerTakesOverTheSocketWhenTheFirstCloses) {
    server->start();
    InstanceLock secondLock;
    ASSERT_EQ(secondLock.acquire(dir.path()), State::AnotherRuns);
    std::vector<std::string> secondOpened;
    velmora::InstanceServer second(secondLock,
                                   [&](const std::string& s) { secondOpened.push_back(s); });
    second.start();
    EXPECT_FALSE(second.listening());  // the first one's socket is left alone
    EXPECT_EQ(courier("http://h/a.pls"), 0);
    EXPECT_EQ(opened.size(), 1u);

    server.reset();
    lock.release();
    EXPECT_TRUE(spinUntil([&] { return second.listening(); },
                          velmora::InstanceServer::kTakeOverInterval * 20));
    EXPECT_EQ(courier("http://h/b.pls"), 0);
    EXPECT_EQ(secondOpened, std::vector<std::string>{"http://h/b.pls"});
}

// A message box in the handler runs a nested event loop for as long as it stays up: longer than
// the read time-out, and long enough for the courier to hang up.
TEST_F(ServerTest, AModalBoxInTheHandlerOutlastsTheTimeOutAndTheCourier) {
    auto modalBox = [](std::chrono::milliseconds upFor) {
        QEventLoop loop;
        QTimer::singleShot(upFor, &loop, &QEventLoop::quit);
        loop.exec();
    };
    server->start();
    whileOpening = [&] { modalBox(velmora::InstanceServer::kMessageTimeout + 1s); };
    EXPECT_EQ(courier("http://h/a.pls"), 0);

    int fd = connectRaw(velmora::socketPath(dir.path()));
    ASSERT_GE(fd, 0);
    const std::string message = velmora::encodeHandOver("http://h/b.pls");
    ASSERT_EQ(write(fd, message.data(), message.size()), static_cast<ssize_t>(message.size()));
    whileOpening = [&] {
        close(fd);
        modalBox(1s);
    };
    EXPECT_TRUE(spinUntil([&] { return opened.size() == 2; }));
    whileOpening = nullptr;
    EXPECT_EQ(courier("http://h/c.pls"), 0);
    EXPECT_EQ(opened,
              (std::vector<std::string>{"http://h/a.pls", "http://h/b.pls", "http://h/c.pls"}));
}

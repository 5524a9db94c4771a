// Helpers shared by the player's tests.
#pragma once

#include <gtest/gtest.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "playback/connectworker.h"

namespace test {

// Runs the window thread's events until pred holds or the time-out passes.
inline bool PumpUntil(const std::function<bool()>& pred,
                      std::chrono::milliseconds timeout = std::chrono::milliseconds(20000)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

inline bool WaitForWorkers() {
    return PumpUntil([] { return ConnectWorkersRunning() == 0; });
}

// The text of a label (a QLabel or the window's own label class).
template <typename Label>
std::string Text(const Label* label) {
    return label->text().toStdString();
}

// A private folder removed with everything in it.
class TempFolder {
  public:
    TempFolder() {
        char pattern[] = "/tmp/velmora-test-XXXXXX";
        path_ = mkdtemp(pattern);
    }
    ~TempFolder() {
        for (int fd : sockets_) ::close(fd);
        std::filesystem::remove_all(path_);
    }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    std::string write(const std::string& name, const std::string& bytes) const {
        std::ofstream(file(name), std::ios::binary) << bytes;
        return file(name);
    }
    // A unix socket: it exists, is no folder, and cannot be opened as a file (even by root).
    std::string socket(const std::string& name) {
        const std::string path = file(name);
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        path.copy(address.sun_path, sizeof address.sun_path - 1);
        ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        sockets_.push_back(fd);
        return path;
    }
    // A FIFO that nobody writes to: opening it for reading the usual way waits for ever.
    std::string fifo(const std::string& name) const {
        ::mkfifo(file(name).c_str(), 0600);
        return file(name);
    }
    std::string symlink(const std::string& name, const std::string& target) const {
        std::filesystem::create_symlink(target, file(name));
        return file(name);
    }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
    std::vector<int> sockets_;

  public:
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
};

// Guards a test against a reader that waits for ever in opening a FIFO: after a grace period far
// beyond any real open, it opens the write end so the reader goes on. released() says whether
// it had to.
class FifoRelease {
  public:
    explicit FifoRelease(std::string path)
        : thread_([this, path = std::move(path)] {
              std::unique_lock lock(mutex_);
              if (stopped_.wait_for(lock, std::chrono::seconds(10), [this] { return stop_; }))
                  return;
              released_ = true;
              const int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK);
              if (fd >= 0) ::close(fd);
          }) {}
    ~FifoRelease() { released(); }
    bool released() {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        stopped_.notify_all();
        if (thread_.joinable()) thread_.join();
        return released_;
    }

  private:
    std::mutex mutex_;
    std::condition_variable stopped_;
    bool stop_ = false;
    bool released_ = false;
    std::thread thread_;
};

}  // namespace test

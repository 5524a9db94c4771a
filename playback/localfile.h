// Local files the player reads on the window thread: playlists and the station record.
#pragma once

#include <cstddef>
#include <string>

// No playlist or record file that a station publishes comes near this; reading stops here, so
// a huge file costs no more memory than this.
inline constexpr std::size_t kLocalFileReadMax = std::size_t{1} << 20;

// The error a file that is not a regular one (a FIFO, a device, a socket) opens with.
inline constexpr int kNotRegularFileError = 6;  // ENXIO, as the system gives for a socket

// Opens a regular file for reading; the descriptor, or -1 with errno set. Opening never blocks:
// a FIFO nobody writes to, or a device, fails with kNotRegularFileError.
int OpenRegularFile(const std::string& path);

// Reads from the start of the descriptor until its end or maxBytes; 0, or the errno of a failed
// read.
int ReadAtMost(int fd, std::size_t maxBytes, std::string& bytes);

// Closes a descriptor on every path out of a scope.
class TFileCloser {
  public:
    explicit TFileCloser(int fd) : fd_(fd) {}
    ~TFileCloser();
    TFileCloser(const TFileCloser&) = delete;
    TFileCloser& operator=(const TFileCloser&) = delete;

  private:
    int fd_;
};

#include "playback/localfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

static_assert(kNotRegularFileError == ENXIO);

namespace {
constexpr std::size_t kReadBlock = 64 * 1024;
}  // namespace

int OpenRegularFile(const std::string& path) {
    // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return -1;
    struct stat info {};
    int error = 0;
    if (::fstat(fd, &info) != 0)
        error = errno;
    else if (!S_ISREG(info.st_mode))
        error = kNotRegularFileError;
    if (error == 0) return fd;
    ::close(fd);
    errno = error;
    return -1;
}

int ReadAtMost(int fd, std::size_t maxBytes, std::string& bytes) {
    bytes.clear();
    while (bytes.size() < maxBytes) {
        const std::size_t want = std::min(kReadBlock, maxBytes - bytes.size());
        const std::size_t had = bytes.size();
        bytes.resize(had + want);
        const ssize_t n = ::read(fd, bytes.data() + had, want);
        const int error = n < 0 ? errno : 0;
        bytes.resize(had + static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
        if (n == 0) break;
        if (n < 0 && error != EINTR) return error;
    }
    return 0;
}

TFileCloser::~TFileCloser() {
    if (fd_ >= 0) ::close(fd_);
}

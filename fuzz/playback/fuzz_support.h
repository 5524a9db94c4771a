// Writes a fuzz input to a private temporary file that the readers open like any other.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

class FuzzFile {
  public:
    FuzzFile(const uint8_t* data, size_t size, const char* suffix) {
        path_ = std::string("/tmp/velmora-fuzz-XXXXXX") + suffix;
        const int fd = mkstemps(path_.data(), int(std::string(suffix).size()));
        if (fd < 0) abort();
        size_t done = 0;
        while (done < size) {
            const ssize_t n = write(fd, data + done, size - done);
            if (n <= 0) abort();
            done += size_t(n);
        }
        close(fd);
    }
    ~FuzzFile() { unlink(path_.c_str()); }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

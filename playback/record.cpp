#include "playback/record.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits.h>

#include "playback/errors.h"
#include "playback/localfile.h"
#include "playback/station.h"

namespace {

struct TField {
    std::size_t offset;    // of the length byte
    std::size_t capacity;  // characters that follow it
};
constexpr TField kTitleField{0, 40};
constexpr TField kHomeField{41, 50};
constexpr TField kStreamField{92, 60};

std::string& RecordPathOverride() {
    static std::string path;
    return path;
}

std::string FieldText(const unsigned char (&bytes)[kStationRecordSize], TField field) {
    const std::size_t length = std::min<std::size_t>(bytes[field.offset], field.capacity);
    return std::string(reinterpret_cast<const char*>(bytes) + field.offset + 1, length);
}

}  // namespace

std::string RecordPathFor(const std::string& executablePath) {
    const auto dot = executablePath.rfind('.');
    if (dot != std::string::npos && executablePath.find('/', dot) == std::string::npos)
        return executablePath.substr(0, dot) + ".dta";
    return executablePath + ".dta";
}

std::string ExecutablePath() {
    char path[PATH_MAX];
    const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path);
    if (length <= 0 || static_cast<std::size_t>(length) >= sizeof path) return "";
    return std::string(path, static_cast<std::size_t>(length));
}

std::string StationRecordPath() {
    if (!RecordPathOverride().empty()) return RecordPathOverride();
    return RecordPathFor(ExecutablePath());
}

void SetStationRecordPath(const std::string& path) {
    RecordPathOverride() = path;
}

TStationRecord DecodeStationRecord(const unsigned char (&bytes)[kStationRecordSize]) {
    return {FieldText(bytes, kTitleField), FieldText(bytes, kHomeField),
            FieldText(bytes, kStreamField)};
}

namespace {

// The error box names the file: the user has to find it to mend it.
std::optional<TStationRecord> ReadStationRecordOrThrow(const std::string& path);

}  // namespace

std::optional<TStationRecord> ReadStationRecord(const std::string& path) {
    try {
        return ReadStationRecordOrThrow(path);
    } catch (const EInOutError& error) {
        const int code = error.errorCode();
        const std::string reason =
            code == kNotRegularFileError ? "not a regular file" : std::strerror(code);
        throw EInOutError(code, "Cannot read the station file \"" + path + "\" (" + reason +
                                    "): " + error.what());
    }
}

namespace {

std::optional<TStationRecord> ReadStationRecordOrThrow(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || S_ISDIR(info.st_mode)) return std::nullopt;
    // Read-only: the program never writes the file, so a read-only file still works. Only a
    // regular file opens, so a FIFO cannot hold up the window thread.
    const int fd = OpenRegularFile(path);
    if (fd < 0) throw EInOutError(errno);
    TFileCloser closer(fd);
    if (::fstat(fd, &info) != 0) throw EInOutError(errno);
    if (info.st_size < static_cast<off_t>(kStationRecordSize)) return std::nullopt;

    unsigned char bytes[kStationRecordSize];
    std::size_t got = 0;
    while (got < kStationRecordSize) {
        const ssize_t n = ::pread(fd, bytes + got, kStationRecordSize - got, off_t(got));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw EInOutError(errno);
        if (n == 0) throw EInOutError(EIO);  // shrank while being read
        got += static_cast<std::size_t>(n);
    }
    return DecodeStationRecord(bytes);
}

}  // namespace

void Readini() {
    const auto record = ReadStationRecord(StationRecordPath());
    if (!record) return;
    StationTitle = record->title;
    StreamAddress = record->streamAddress;
    HomeAddress = record->homeAddress;
}

#include "playback/playlists.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "playback/errors.h"
#include "playback/localfile.h"

namespace {

constexpr std::string_view kExtInf = "#EXTINF:-1,";
constexpr std::string_view kTitleOpen = "<title>";
constexpr std::string_view kTitleClose = "</title>";
constexpr std::string_view kHref = "href";
constexpr std::string_view kReferenceEnd = "\"/>";

bool FileExists(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && !S_ISDIR(info.st_mode);
}

bool AsciiEqualIgnoringCase(const std::string& a, const std::string& b) {
    return AsciiLower(a) == AsciiLower(b);
}

// The value of the first line whose text before its first "=" is the key; empty when none.
std::string KeyValue(const std::vector<std::string>& lines, const std::string& key) {
    for (const std::string& line : lines) {
        const auto equals = line.find('=');
        if (equals != std::string::npos && AsciiEqualIgnoringCase(line.substr(0, equals), key))
            return line.substr(equals + 1);
    }
    return "";
}

bool Contains(const std::string& text, std::string_view part) {
    return text.find(part) != std::string::npos;
}

// A line whose first non-blank character is "#": a comment or an information line, never an
// address, even when it holds one (a station's retired address, commented out).
bool IsM3uComment(const std::string& line) {
    const auto first = std::find_if(line.begin(), line.end(),
                                    [](char c) { return static_cast<unsigned char>(c) > ' '; });
    return first != line.end() && *first == '#';
}

// Removes characters of code 32 and below at both ends, then every space.
std::string Squeeze(const std::string& line) {
    std::size_t begin = 0, end = line.size();
    while (begin < end && static_cast<unsigned char>(line[begin]) <= ' ') ++begin;
    while (end > begin && static_cast<unsigned char>(line[end - 1]) <= ' ') --end;
    std::string squeezed;
    for (std::size_t i = begin; i < end; ++i)
        if (line[i] != ' ') squeezed += line[i];
    return squeezed;
}

}  // namespace

std::string LocationExtension(const std::string& location) {
    const auto dot = location.rfind('.');
    if (dot == std::string::npos) return "";
    if (location.find_first_of("/\\:", dot) != std::string::npos) return "";
    return location.substr(dot);
}

std::string AsciiLower(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    return text;
}

std::string AsciiUpper(std::string text) {
    for (char& c : text)
        if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
    return text;
}

std::vector<std::string> ReadPlaylistLines(const std::string& path) {
    const int fd = OpenRegularFile(path);
    if (fd < 0) {
        const int error = errno;
        throw EFOpenError(
            "Cannot open file \"" + path + "\". " +
            (error == kNotRegularFileError ? "Not a regular file" : std::strerror(error)));
    }
    TFileCloser closer(fd);
    std::string text;
    if (const int error = ReadAtMost(fd, kLocalFileReadMax, text)) throw EInOutError(error);
    text.resize(std::strlen(text.c_str()));  // a NUL ends the text

    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        const auto end = text.find_first_of("\r\n", start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
        if (text[end] == '\r' && start < text.size() && text[start] == '\n') ++start;
    }
    return lines;
}

void plsurl(const std::string& location, std::string& title, std::string& address) {
    if (!FileExists(location)) return;
    const auto lines = ReadPlaylistLines(location);
    address = KeyValue(lines, "File1");
    title = KeyValue(lines, "Title1");
}

void m3uurl(const std::string& location, std::string& title, std::string& address) {
    if (!FileExists(location)) return;
    for (const std::string& line : ReadPlaylistLines(location)) {
        const std::string upper = AsciiUpper(line);
        // The title follows "#EXTINF:-1," wherever the line has it, so an indented line cuts
        // from the tag rather than from the line's start.
        if (const auto info = upper.find(kExtInf); info != std::string::npos)
            title = line.substr(info + kExtInf.size());
        // Secure addresses count as well: most stations stream over https.
        if (!IsM3uComment(line) && (Contains(upper, "HTTP://") || Contains(upper, "HTTPS://")))
            address = line;
    }
}

void asxurl(const std::string& location, std::string& title, std::string& address) {
    if (!FileExists(location)) return;
    for (const std::string& line : ReadPlaylistLines(location)) {
        const auto open = AsciiLower(line).find(kTitleOpen);
        if (open != std::string::npos) {
            const std::string rest = line.substr(open + kTitleOpen.size());
            const auto close = AsciiLower(rest).find(kTitleClose);
            title = " " + (close == std::string::npos ? "" : rest.substr(0, close)) + " ";
        }
        if (address.empty()) {
            const std::string squeezed = Squeeze(line);
            const auto href = AsciiLower(squeezed).find(kHref);
            if (href != std::string::npos) {
                // Past "href" and the two characters after it: ="
                const std::string rest = squeezed.substr(std::min(squeezed.size(), href + 6));
                const auto end = rest.find(kReferenceEnd);
                address = end == std::string::npos ? "" : rest.substr(0, end);
            }
        }
        if (!title.empty() && !address.empty()) break;
    }
}

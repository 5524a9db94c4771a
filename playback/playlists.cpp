#include "playback/playlists.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cctype>
#include <cstring>
#include <iterator>
#include <optional>
#include <utility>

#include "playback/errors.h"
#include "playback/localfile.h"

namespace {

constexpr std::string_view kExtInf = "#EXTINF:-1,";
constexpr std::string_view kTitleOpen = "<title>";
constexpr std::string_view kTitleClose = "</title>";
constexpr std::string_view kHref = "href";
constexpr std::string_view kSelfClosingEnd = "/>";
// A reference written with its own closing tag: <ref href="..."></ref>.
constexpr std::string_view kClosingTagEnd = "></ref>";
constexpr std::string_view kRefElement = "<ref";
constexpr std::string_view kUtf8ByteOrderMark = "\xEF\xBB\xBF";
// Tags found only in HLS media playlists, whose lines name segments rather than stations.
constexpr std::string_view kHlsMediaTags[] = {"#EXT-X-TARGETDURATION", "#EXT-X-MEDIA-SEQUENCE"};

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\v' || c == '\f';
}

// Removes blanks at both ends.
std::string TrimBlanks(const std::string& text) {
    std::size_t begin = 0, end = text.size();
    while (begin < end && IsBlank(text[begin])) ++begin;
    while (end > begin && IsBlank(text[end - 1])) --end;
    return text.substr(begin, end - begin);
}

bool FileExists(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && !S_ISDIR(info.st_mode);
}

bool AsciiEqualIgnoringCase(const std::string& a, const std::string& b) {
    return AsciiLower(a) == AsciiLower(b);
}

// The value of the first line whose text before its first "=" is the key; empty when none.
// Blanks around the key and the value belong to the spelling ("File1 = http://..."), not to
// them.
std::string KeyValue(const std::vector<std::string>& lines, const std::string& key) {
    for (const std::string& line : lines) {
        const auto equals = line.find('=');
        if (equals != std::string::npos &&
            AsciiEqualIgnoringCase(TrimBlanks(line.substr(0, equals)), key))
            return TrimBlanks(line.substr(equals + 1));
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

bool IsHlsMediaPlaylist(const std::vector<std::string>& lines) {
    return std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
        const std::string upper = AsciiUpper(line);
        return std::any_of(std::begin(kHlsMediaTags), std::end(kHlsMediaTags),
                           [&](std::string_view tag) { return Contains(upper, tag); });
    });
}

// The entity at text[at] ("&amp;", "&#38;", "&#x26;") as the byte it stands for, and its
// length; nullopt for anything else, which then stays as written.
std::optional<std::pair<char, std::size_t>> XmlEntityAt(const std::string& text, std::size_t at) {
    static constexpr std::pair<std::string_view, char> kNamed[] = {
        {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}};
    for (const auto& [name, byte] : kNamed)
        if (AsciiLower(text.substr(at, name.size())) == name) return std::pair{byte, name.size()};
    const auto end = text.find(';', at);
    if (end == std::string::npos || text.compare(at, 2, "&#") != 0) return std::nullopt;
    const bool hex = at + 2 < end && (text[at + 2] == 'x' || text[at + 2] == 'X');
    const std::string digits = text.substr(at + (hex ? 3 : 2), end - at - (hex ? 3 : 2));
    if (digits.empty() || digits.size() > 3 ||
        !std::all_of(digits.begin(), digits.end(), [hex](char c) {
            return hex ? std::isxdigit(static_cast<unsigned char>(c))
                       : std::isdigit(static_cast<unsigned char>(c));
        }))
        return std::nullopt;
    // Only single bytes: an address's characters are ASCII.
    const unsigned long code = std::stoul(digits, nullptr, hex ? 16 : 10);
    if (code == 0 || code > 0x7F) return std::nullopt;
    return std::pair{static_cast<char>(code), end - at + 1};
}

// An address as written in XML: "&amp;" in a query is "&" to the server.
std::string DecodeXmlEntities(const std::string& text) {
    std::string decoded;
    for (std::size_t i = 0; i < text.size();) {
        if (text[i] == '&') {
            if (const auto entity = XmlEntityAt(text, i)) {
                decoded += entity->first;
                i += entity->second;
                continue;
            }
        }
        decoded += text[i++];
    }
    return decoded;
}

// The address of the reference that starts with "href" at `href` in a squeezed line: after
// "href" and the two characters "=" and a quote (double, or single), up to the same quote that
// ends the tag, "/>", or closes a ref element at once, "></ref>". Empty when the tag does not
// end on this line.
std::string ReferenceAddress(const std::string& squeezed, std::size_t href) {
    const std::size_t valueAt = href + kHref.size() + 2;
    if (valueAt > squeezed.size()) return "";
    const char quote = squeezed[valueAt - 1] == '\'' ? '\'' : '"';
    const std::string rest = squeezed.substr(valueAt);
    const std::string lower = AsciiLower(rest);
    auto end = lower.find(quote + std::string(kSelfClosingEnd));
    const auto open = AsciiLower(squeezed.substr(0, href)).rfind('<');
    if (open != std::string::npos &&
        TrimBlanks(AsciiLower(squeezed.substr(open, href - open))) == kRefElement)
        end = std::min(end, lower.find(quote + std::string(kClosingTagEnd)));
    return end == std::string::npos ? "" : DecodeXmlEntities(rest.substr(0, end));
}

}  // namespace

TPlaylistKind PlaylistKindOf(const std::string& location) {
    // The file names the shared MIME database gives the playlist types the menu entry claims.
    static constexpr std::pair<std::string_view, TPlaylistKind> kExtensions[] = {
        {".pls", TPlaylistKind::Pls}, {".m3u", TPlaylistKind::M3u}, {".m3u8", TPlaylistKind::M3u},
        {".vlc", TPlaylistKind::M3u}, {".asx", TPlaylistKind::Asx}, {".wax", TPlaylistKind::Asx},
        {".wvx", TPlaylistKind::Asx}, {".wmx", TPlaylistKind::Asx}};
    const std::string extension = LocationExtension(AsciiLower(location));
    for (const auto& [name, kind] : kExtensions)
        if (extension == name) return kind;
    return TPlaylistKind::None;
}

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
    // Editors that save UTF-8 (.m3u8 files above all) may start it with a byte order mark.
    if (text.starts_with(kUtf8ByteOrderMark)) text.erase(0, kUtf8ByteOrderMark.size());

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
    const auto lines = ReadPlaylistLines(location);
    const bool segments = IsHlsMediaPlaylist(lines);
    for (const std::string& line : lines) {
        const std::string upper = AsciiUpper(line);
        // The title follows "#EXTINF:-1," wherever the line has it, so an indented line cuts
        // from the tag rather than from the line's start.
        if (const auto info = upper.find(kExtInf); info != std::string::npos)
            title = line.substr(info + kExtInf.size());
        // Secure addresses count as well: most stations stream over https. An HLS master
        // playlist's lines name media playlists, which the engine plays as HLS; a media
        // playlist's lines name a few seconds of sound each, never a station.
        if (!segments && !IsM3uComment(line) &&
            (Contains(upper, "HTTP://") || Contains(upper, "HTTPS://")))
            address = TrimBlanks(line);
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
            if (href != std::string::npos) address = ReferenceAddress(squeezed, href);
        }
        if (!title.empty() && !address.empty()) break;
    }
}

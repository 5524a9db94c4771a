#include "playlist.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <map>

#include "ascii_text.h"

namespace ae {

namespace {

bool startsWithNoCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(text[i])) !=
            std::tolower(static_cast<unsigned char>(prefix[i])))
            return false;
    }
    return true;
}

size_t findNoCase(std::string_view text, std::string_view needle, size_t from = 0) {
    if (needle.empty() || text.size() < needle.size()) return std::string_view::npos;
    for (size_t i = from; i + needle.size() <= text.size(); ++i) {
        if (startsWithNoCase(text.substr(i), needle)) return i;
    }
    return std::string_view::npos;
}

// Splits into lines on CR, LF or both.
std::vector<std::string_view> lines(std::string_view text) {
    std::vector<std::string_view> out;
    size_t start = 0;
    for (size_t i = 0; i <= text.size(); ++i) {
        if (i == text.size() || text[i] == '\n' || text[i] == '\r') {
            out.push_back(text.substr(start, i - start));
            start = i + 1;
        }
    }
    return out;
}

void addEntry(std::vector<std::string>& out, std::string_view entry) {
    entry = trim(entry);
    if (entry.empty() || entry.size() > kMaxEntryLength || out.size() >= kMaxPlaylistEntries)
        return;
    out.emplace_back(entry);
}

std::string decodeXmlEntities(std::string_view text) {
    static const std::pair<std::string_view, char> kEntities[] = {
        {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}};
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        bool replaced = false;
        if (text[i] == '&') {
            for (const auto& [name, c] : kEntities) {
                if (startsWithNoCase(text.substr(i), name)) {
                    out += c;
                    i += name.size();
                    replaced = true;
                    break;
                }
            }
        }
        if (!replaced) out += text[i++];
    }
    return out;
}

std::string_view skipBomAndBlanks(std::string_view text) {
    if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
    while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
    return text;
}

PlaylistKind sniff(std::string_view head) {
    head = skipBomAndBlanks(head);
    if (startsWithNoCase(head, "[playlist]")) return PlaylistKind::Pls;
    if (startsWithNoCase(head, "#EXTM3U")) {
        return head.find("#EXT-X-") != std::string_view::npos ? PlaylistKind::Hls
                                                              : PlaylistKind::M3u;
    }
    if (startsWithNoCase(head, "<asx")) return PlaylistKind::Asx;
    if (startsWithNoCase(head, "<?xml")) {
        if (findNoCase(head, "<asx") != std::string_view::npos) return PlaylistKind::Asx;
        if (findNoCase(head, "<playlist") != std::string_view::npos) return PlaylistKind::Xspf;
    }
    return PlaylistKind::None;
}

std::string_view pathOf(std::string_view url) {
    size_t scheme = url.find("://");
    size_t start = scheme == std::string_view::npos ? 0 : scheme + 3;
    size_t slash = url.find('/', start);
    if (slash == std::string_view::npos) return {};
    std::string_view path = url.substr(slash);
    size_t end = path.find_first_of("?#");
    return path.substr(0, end);
}

bool endsWithNoCase(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() &&
           startsWithNoCase(text.substr(text.size() - suffix.size()), suffix);
}

}  // namespace

PlaylistKind detectPlaylist(std::string_view contentType, std::string_view url,
                            std::string_view head) {
    PlaylistKind sniffed = sniff(head);
    if (sniffed != PlaylistKind::None) return sniffed;

    std::string type = toLower(trim(contentType.substr(0, contentType.find(';'))));
    if (type == "audio/x-scpls" || type == "application/pls+xml" || type == "audio/scpls")
        return PlaylistKind::Pls;
    if (type == "audio/x-mpegurl" || type == "audio/mpegurl" || type == "application/x-mpegurl" ||
        type == "application/vnd.apple.mpegurl")
        return PlaylistKind::M3u;
    // video/x-ms-asf names both ASX playlists and ASF streams: only sniffing tells them apart.
    if (type == "video/x-ms-asx" || type == "audio/x-ms-asx" || type == "video/x-ms-wax" ||
        type == "audio/x-ms-wax" || type == "video/x-ms-wvx")
        return PlaylistKind::Asx;
    if (type == "application/xspf+xml") return PlaylistKind::Xspf;

    // A generic type: believe the address's extension.
    bool generic = type.empty() || type.starts_with("text/") || type == "application/octet-stream";
    if (!generic) return PlaylistKind::None;
    std::string_view path = pathOf(url);
    if (endsWithNoCase(path, ".pls")) return PlaylistKind::Pls;
    if (endsWithNoCase(path, ".m3u") || endsWithNoCase(path, ".m3u8")) return PlaylistKind::M3u;
    if (endsWithNoCase(path, ".asx") || endsWithNoCase(path, ".wax")) return PlaylistKind::Asx;
    if (endsWithNoCase(path, ".xspf")) return PlaylistKind::Xspf;
    return PlaylistKind::None;
}

std::vector<std::string> parsePls(std::string_view text) {
    // FileN=address, ordered by N; equal numbers keep their order of appearance.
    std::multimap<unsigned long, std::string_view> files;
    for (std::string_view line : lines(text)) {
        line = trim(line);
        if (!startsWithNoCase(line, "file")) continue;
        size_t eq = line.find('=');
        if (eq == std::string_view::npos || eq == 4) continue;
        std::string_view number = line.substr(4, eq - 4);
        if (number.size() > 9 ||
            !std::all_of(number.begin(), number.end(), [](char c) { return c >= '0' && c <= '9'; }))
            continue;
        unsigned long n = std::strtoul(std::string(number).c_str(), nullptr, 10);
        if (files.size() < kMaxPlaylistEntries) files.emplace(n, line.substr(eq + 1));
    }
    std::vector<std::string> out;
    for (const auto& [n, entry] : files) addEntry(out, entry);
    return out;
}

std::vector<std::string> parseM3u(std::string_view text) {
    std::vector<std::string> out;
    for (std::string_view line : lines(text)) {
        line = trim(line);
        if (line.empty() || line.front() == '#') continue;
        addEntry(out, line);
    }
    return out;
}

std::vector<std::string> parseAsx(std::string_view text) {
    // Every <ref href="..."> and <entryref href="...">, in document order.
    std::vector<std::string> out;
    size_t pos = 0;
    while (out.size() < kMaxPlaylistEntries) {
        size_t tag = text.find('<', pos);
        if (tag == std::string_view::npos) break;
        size_t close = text.find('>', tag);
        if (close == std::string_view::npos) break;
        std::string_view element = text.substr(tag + 1, close - tag - 1);
        pos = close + 1;
        bool ref = startsWithNoCase(element, "ref") && element.size() > 3 && isBlank(element[3]);
        bool entryref =
            startsWithNoCase(element, "entryref") && element.size() > 8 && isBlank(element[8]);
        if (!ref && !entryref) continue;
        size_t attr = findNoCase(element, "href");
        if (attr == std::string_view::npos) continue;
        std::string_view rest = element.substr(attr + 4);
        while (!rest.empty() && isBlank(rest.front())) rest.remove_prefix(1);
        if (rest.empty() || rest.front() != '=') continue;
        rest.remove_prefix(1);
        while (!rest.empty() && isBlank(rest.front())) rest.remove_prefix(1);
        if (rest.empty()) continue;
        std::string_view value;
        if (rest.front() == '"' || rest.front() == '\'') {
            size_t end = rest.find(rest.front(), 1);
            if (end == std::string_view::npos) continue;
            value = rest.substr(1, end - 1);
        } else {
            size_t end = 0;
            while (end < rest.size() && !isBlank(rest[end]) && rest[end] != '/') ++end;
            value = rest.substr(0, end);
        }
        addEntry(out, decodeXmlEntities(value));
    }
    return out;
}

std::vector<std::string> parseXspf(std::string_view text) {
    std::vector<std::string> out;
    size_t pos = 0;
    while (out.size() < kMaxPlaylistEntries) {
        size_t open = findNoCase(text, "<location>", pos);
        if (open == std::string_view::npos) break;
        size_t start = open + 10;
        size_t end = findNoCase(text, "</location>", start);
        if (end == std::string_view::npos) break;
        addEntry(out, decodeXmlEntities(text.substr(start, end - start)));
        pos = end + 11;
    }
    return out;
}

std::vector<std::string> parsePlaylist(PlaylistKind kind, std::string_view text) {
    switch (kind) {
        case PlaylistKind::Pls:
            return parsePls(text);
        case PlaylistKind::M3u:
            return parseM3u(text);
        case PlaylistKind::Asx:
            return parseAsx(text);
        case PlaylistKind::Xspf:
            return parseXspf(text);
        case PlaylistKind::Hls:
        case PlaylistKind::None:
            break;
    }
    return {};
}

Scheme schemeOf(std::string_view url) {
    if (startsWithNoCase(url, "http://") || startsWithNoCase(url, "https://")) {
        return url.size() > url.find("://") + 3 ? Scheme::Http : Scheme::Unsupported;
    }
    if (startsWithNoCase(url, "mms://") || startsWithNoCase(url, "mmsh://") ||
        startsWithNoCase(url, "mmst://")) {
        return url.size() > url.find("://") + 3 ? Scheme::FfmpegProtocol : Scheme::Unsupported;
    }
    return Scheme::Unsupported;
}

std::string resolveUrl(std::string_view base, std::string_view ref) {
    ref = trim(ref);
    // Already absolute: a scheme of letters, digits, + - . before ':'.
    size_t colon = ref.find(':');
    if (colon != std::string_view::npos && colon > 0 &&
        std::isalpha(static_cast<unsigned char>(ref[0])) &&
        std::all_of(ref.begin(), ref.begin() + static_cast<long>(colon), [](char c) {
            return std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.';
        }))
        return std::string(ref);
    size_t schemeEnd = base.find("://");
    if (schemeEnd == std::string_view::npos) return std::string(ref);
    if (ref.starts_with("//")) return std::string(base.substr(0, schemeEnd + 1)) + std::string(ref);
    size_t authorityEnd = base.find_first_of("/?#", schemeEnd + 3);
    std::string_view origin = base.substr(0, authorityEnd);
    if (ref.starts_with("/")) return std::string(origin) + std::string(ref);
    std::string_view path =
        authorityEnd == std::string_view::npos ? std::string_view("/") : base.substr(authorityEnd);
    path = path.substr(0, path.find_first_of("?#"));
    size_t lastSlash = path.rfind('/');
    std::string dir =
        lastSlash == std::string_view::npos ? "/" : std::string(path.substr(0, lastSlash + 1));
    return std::string(origin) + dir + std::string(ref);
}

}  // namespace ae

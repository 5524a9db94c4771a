#include "asf_header.h"

#include <algorithm>
#include <cstring>

namespace ae {

namespace {

constexpr size_t kObjectHead = 24;  // GUID, 64-bit size
constexpr size_t kHeaderHead = 30;  // object head, sub-object count, two reserved bytes
const char kHeaderGuid[] = "\x30\x26\xB2\x75\x8E\x66\xCF\x11\xA6\xD9\x00\xAA\x00\x62\xCE\x6C";
const char kFilePropertiesGuid[] =
    "\xA1\xDC\xAB\x8C\x47\xA9\xCF\x11\x8E\xE4\x00\xC0\x0C\x20\x53\x65";
const char kScriptCommandGuid[] =
    "\x30\x1A\xFB\x1E\x62\x0B\xD0\x11\xA3\x9B\x00\xA0\xC9\x03\x48\xF6";
constexpr size_t kPrerollOffset = 56;  // in the file properties' body

// Little-endian reads that fail past the end.
struct Reader {
    std::string_view data;
    size_t pos = 0;
    bool ok = true;
    void skip(size_t bytes) {
        ok = ok && pos + bytes <= data.size();
        pos += bytes;
    }
    uint64_t get(size_t bytes) {  // at most 8
        if (pos + bytes > data.size()) {
            ok = false;
            return 0;
        }
        uint64_t v = 0;
        for (size_t i = 0; i < bytes; ++i)
            v |= uint64_t{static_cast<uint8_t>(data[pos + i])} << (8 * i);
        pos += bytes;
        return v;
    }
    // `chars` UTF-16LE code units as UTF-8, up to a NUL.
    std::string utf16(size_t chars) {
        std::string out;
        bool ended = false;
        for (size_t i = 0; i < chars && ok; ++i) {
            auto c = static_cast<uint32_t>(get(2));
            if (c >= 0xD800 && c < 0xDC00 && i + 1 < chars) {
                const auto low = static_cast<uint32_t>(get(2));
                ++i;
                c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
            }
            if (c == 0) ended = true;
            if (ended) continue;
            if (c < 0x80) {
                out += static_cast<char>(c);
            } else if (c < 0x800) {
                out += static_cast<char>(0xC0 | (c >> 6));
                out += static_cast<char>(0x80 | (c & 0x3F));
            } else if (c < 0x10000) {
                out += static_cast<char>(0xE0 | (c >> 12));
                out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
                out += static_cast<char>(0x80 | (c & 0x3F));
            } else {
                out += static_cast<char>(0xF0 | (c >> 18));
                out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
                out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
                out += static_cast<char>(0x80 | (c & 0x3F));
            }
        }
        return out;
    }
};

bool isGuid(std::string_view at, const char* guid) {
    return at.size() >= 16 && std::memcmp(at.data(), guid, 16) == 0;
}

void readScriptCommands(std::string_view body, AsfHeaderInfo& info) {
    Reader r{body};
    r.skip(16);  // reserved
    const auto commands = r.get(2), types = r.get(2);
    std::vector<std::string> names;
    for (uint64_t i = 0; i < types && r.ok; ++i) names.push_back(r.utf16(r.get(2)));
    for (uint64_t i = 0; i < commands && r.ok; ++i) {
        AsfScriptCommand c;
        c.timeMs = static_cast<int64_t>(r.get(4));
        const auto type = r.get(2);
        c.text = r.utf16(r.get(2));
        if (!r.ok || type >= names.size()) break;
        c.type = names[type];
        info.commands.push_back(std::move(c));
    }
    std::stable_sort(info.commands.begin(), info.commands.end(),
                     [](const auto& a, const auto& b) { return a.timeMs < b.timeMs; });
}

}  // namespace

std::optional<uint64_t> asfHeaderSize(std::string_view bytes) {
    if (bytes.size() < kObjectHead || !isGuid(bytes, kHeaderGuid)) return std::nullopt;
    return Reader{bytes.substr(16)}.get(8);
}

AsfHeaderInfo parseAsfHeader(std::string_view header) {
    AsfHeaderInfo info;
    const auto size = asfHeaderSize(header);
    if (!size) return info;
    header = header.substr(0, std::min<uint64_t>(*size, header.size()));
    for (size_t pos = kHeaderHead; pos + kObjectHead <= header.size();) {
        const uint64_t objectSize = Reader{header.substr(pos + 16)}.get(8);
        if (objectSize < kObjectHead || objectSize > header.size() - pos) break;
        const std::string_view object = header.substr(pos, objectSize);
        const std::string_view body = object.substr(kObjectHead);
        if (isGuid(object, kFilePropertiesGuid)) {
            Reader r{body, kPrerollOffset};
            const uint64_t preroll = r.get(8);
            if (r.ok) info.prerollMs = static_cast<int64_t>(preroll);
        } else if (isGuid(object, kScriptCommandGuid)) {
            readScriptCommands(body, info);
        }
        pos += objectSize;
    }
    return info;
}

}  // namespace ae

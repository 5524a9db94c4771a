// What the engine reads from an ASF header itself: the preroll and the script commands
// (FFmpeg's demuxer skips the Script Command Object).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ae {

struct AsfScriptCommand {
    int64_t timeMs = 0;  // presentation time, preroll included
    std::string type;    // e.g. "TITLE"
    std::string text;
};

struct AsfHeaderInfo {
    int64_t prerollMs = 0;
    std::vector<AsfScriptCommand> commands;  // in presentation order
};

// The total size an ASF header object starting at `bytes` declares, once its first 24 bytes
// are there; nullopt when they are not an ASF header object.
std::optional<uint64_t> asfHeaderSize(std::string_view bytes);

// Reads a whole header object; malformed parts are skipped.
AsfHeaderInfo parseAsfHeader(std::string_view header);

}  // namespace ae

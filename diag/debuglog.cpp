#include "diag/debuglog.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

bool DebugLogEnabled() {
    static const bool enabled = [] {
        const char* value = std::getenv("VELMORA_DEBUG");
        return value != nullptr && std::strcmp(value, "1") == 0;
    }();
    return enabled;
}

namespace {

// Control bytes (below 0x20, and 0x7f) as \xHH; every other byte as it is.
std::string escapeControlBytes(const char* text) {
    std::string out;
    for (const char* p = text; *p; ++p) {
        const char c = *p;
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte != 0x7f) {
            out.push_back(c);
            continue;
        }
        char escaped[5];
        std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
        out += escaped;
    }
    return out;
}

}  // namespace

void DebugLog(const char* format, ...) {
    if (!DebugLogEnabled()) return;
    char line[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    // Station names and titles come from servers: a terminal must not obey what they hold.
    // One fprintf per line keeps lines from different threads whole.
    std::fprintf(stderr, "velmora: %s\n", escapeControlBytes(line).c_str());
}

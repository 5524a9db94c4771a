#include "diag/debuglog.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

bool DebugLogEnabled() {
    static const bool enabled = [] {
        const char* value = std::getenv("VELMORA_DEBUG");
        return value != nullptr && std::strcmp(value, "1") == 0;
    }();
    return enabled;
}

void DebugLog(const char* format, ...) {
    if (!DebugLogEnabled()) return;
    char line[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    // One fprintf per line keeps lines from different threads whole.
    std::fprintf(stderr, "velmora: %s\n", line);
}

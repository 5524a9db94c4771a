// Engine settings (AE_SetConfig) and the codec families the plug-ins enable.
#pragma once

#include <cstdint>
#include <string>

namespace ae {

struct Config {
    uint32_t bufferMs = 500;      // playback (PCM) buffer
    uint32_t timeoutMs = 5000;    // connect / first answer time-out
    uint32_t netBufferMs = 5000;  // download buffer, ms of stream
    uint32_t prebufPercent = 75;  // sound held (downloaded or decoded) to start, % of netBufferMs
    uint32_t playlists = 0;       // 1: resolve playlist answers
    uint32_t updateThreads = 1;   // accepted for compatibility
    std::string agent;            // User-Agent; empty: libcurl's default
};

struct Plugins {
    bool wma = false;  // "aewma"
    bool aac = false;  // "aeaac"
};

inline constexpr uint32_t kPluginWma = 1;
inline constexpr uint32_t kPluginAac = 2;

// Everything a stream needs to know about the engine when it is created.
struct StreamSetup {
    Config config;
    Plugins plugins;
    uint32_t outputRate = 44100;
};

}  // namespace ae

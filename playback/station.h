// The current station and the stream that plays it: process-wide state shared by the window,
// the connection workers and the engine's callbacks.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "audioengine.h"

// Built-in station.
inline constexpr const char* DefaultStationName = "VARNO ZIVAV";
inline constexpr const char* DefaultStationCaption = "VARNO ZIVAV 96.2";
inline constexpr const char* DefaultStreamAddress = VELMORA_DEFAULT_STREAM_ADDRESS;
inline constexpr const char* DefaultHomeAddress = VELMORA_DEFAULT_HOME_ADDRESS;
inline constexpr const char* VendorAddress = VELMORA_VENDOR_ADDRESS;

// Window thread only: byte strings (single-byte or UTF-8 text, never converted). Workers reach
// them through MainWindowHandle.invoke, which runs on the window thread.
extern std::string StationTitle;
extern std::string StreamAddress;
extern std::string HomeAddress;
extern std::string SongTitle;

// Any thread: read afresh at every use, never cached.
extern std::atomic<AE_HANDLE> StreamHandle;
extern std::atomic<bool> IsWmaStream;

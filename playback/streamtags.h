// What a stream says about itself: station name, song title and format, sent to the window.
#pragma once

#include <cstdint>
#include <string>

#include "audioengine.h"

// Connection-time scan, on the worker thread: the station name (status 3) and the format labels.
void ScanConnectTags();
// Sends the song title current in the stream (status 7).
void ShowStreamTitle();

// Engine sync callbacks.
void MetaSyncProc(AE_SYNC handle, AE_HANDLE channel, uint32_t data, void* user);
void WmaChangeSyncProc(AE_SYNC handle, AE_HANDLE channel, uint32_t data, void* user);

// The current stream's bitrate in kbps from its headers, else the engine's measure; 0 unknown.
int32_t StreamBitrate();
// "mp3", "ogg"... of the current stream; empty when unknown.
std::string CodecName();

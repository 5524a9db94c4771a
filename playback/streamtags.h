// What a stream says about itself: station name, song title and format, sent to the window.
#pragma once

#include <cstdint>
#include <string>

#include "audioengine.h"

// Connection-time scan of the stream, on the worker thread: the station name (status 3) and the
// format labels.
void ScanConnectTags(AE_HANDLE stream);
// Sends the song title current in the stream (status 7).
void ShowStreamTitle(AE_HANDLE stream);

// Engine sync callbacks: they act on the current stream (StreamHandle).
void MetaSyncProc(AE_SYNC handle, AE_HANDLE channel, uint32_t data, void* user);
void WmaChangeSyncProc(AE_SYNC handle, AE_HANDLE channel, uint32_t data, void* user);

// The stream's bitrate in kbps from its headers, else the engine's measure; 0 unknown.
int32_t StreamBitrate(AE_HANDLE stream);
// "mp3", "ogg"... of the stream; empty when unknown.
std::string CodecName(AE_HANDLE stream);

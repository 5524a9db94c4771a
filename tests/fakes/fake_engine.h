// A scripted stand-in for the audio engine, linked in its place by tests (audioengine_fake).
//
// Every AE_* function of audioengine.h is implemented. Streams are scripted per address:
// AE_StreamCreateURL looks the address up, logs the call, optionally blocks until the test
// releases the address (or AE_StreamCreateAbort ends it with AE_ERROR_ABORTED), and returns
// the scripted handle (0: failure with the scripted error).
// File positions are consumed from a sequence per mode (the last value repeats), tags are kept
// per kind and may change while the stream lives, and syncs are fired by the test.
//
// In a real program build, a few settings come from the environment instead:
//   VELMORA_FAKE_VERSION=0x0205   the version word's high 16 bits
//   VELMORA_FAKE_INIT_FAIL=1      AE_Init fails, VELMORA_FAKE_INIT_ERROR=3 its error code
//   VELMORA_FAKE_PLAYING=1        every address connects to a playing MP3 stream with a moving
//                                 level
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "audioengine.h"

namespace fake {

struct StreamScript {
    AE_HANDLE handle = 0;  // 0: the connection fails
    int errorCode = AE_ERROR_CONNECT;
    bool block = false;  // AE_StreamCreateURL waits until Release(url) or AE_StreamCreateAbort
    // Per mode (AE_FILEPOS_*): values returned in turn, the last one repeating; no entry: -1.
    std::map<uint32_t, std::vector<uint64_t>> positions;
    // Per kind: the raw bytes (lists as NUL-separated texts; the closing empty text is added).
    std::map<uint32_t, std::string> tags;
    std::optional<AE_CHANNELINFO> info;   // nullopt: AE_ChannelGetInfo fails
    std::optional<float> bitrate;         // AE_ATTRIB_BITRATE; nullopt: fails
    uint32_t active = AE_ACTIVE_PLAYING;  // AE_ChannelIsActive once played
    uint32_t level = 0xFFFFFFFFu;
    uint64_t bytesPerMillisecond = 0;  // AE_ChannelSeconds2Bytes(0.001)
};

// Forgets every script, stream, sync and log entry; version and init result to defaults.
void Reset();
void Script(const std::string& url, const StreamScript& script);
// Lets a blocked AE_StreamCreateURL for the address return.
void Release(const std::string& url);
// Whether a call for the address is blocked now.
bool IsBlocked(const std::string& url);
// Waits until a call for the address is blocked (true) or the time-out passes.
bool WaitBlocked(const std::string& url,
                 std::chrono::milliseconds timeout = std::chrono::milliseconds(10000));

// Makes the next AE_ChannelSetSync or AE_ChannelPlay whose logged call starts with the prefix
// wait, before it acts, until ReleaseCall(prefix): a way to stop a thread at a chosen point.
void HoldCall(const std::string& prefix);
void ReleaseCall(const std::string& prefix);
// Waits until a call is waiting at the hold (true) or the time-out passes.
bool WaitCallHeld(const std::string& prefix,
                  std::chrono::milliseconds timeout = std::chrono::milliseconds(10000));

// Changes a live stream's tags of one kind (nullopt: none of that kind).
void SetTags(AE_HANDLE handle, uint32_t kind, const std::optional<std::string>& bytes);
void SetActive(AE_HANDLE handle, uint32_t active);
// Calls every sync of the type registered on the stream, on the calling thread. Returns the
// number called.
int FireSync(AE_HANDLE handle, uint32_t type);
// Syncs of the type registered on the stream.
int SyncCount(AE_HANDLE handle, uint32_t type);

void SetVersion(uint32_t version);
void SetInitResult(bool ok, int errorCode = AE_ERROR_NO_SERVER);
void SetVolumeValue(float volume);  // what AE_GetVolume returns until the next AE_SetVolume

// Streams created and not freed.
bool IsLive(AE_HANDLE handle);

// Calls in order, e.g. "AE_StreamCreateURL(http://a)", "AE_StreamFree(5)", "AE_Stop()",
// "AE_ChannelSetSync(5,4)", "AE_ChannelPlay(5,0)". Queries (positions, tags, info, levels,
// activity, volume reads) are not logged.
std::vector<std::string> Calls();
void ClearCalls();
// Index of the first logged call starting with the text, -1 when none.
int FindCall(const std::string& prefix);
int CountCalls(const std::string& prefix);

// Builds a NUL-separated list from entries.
std::string List(const std::vector<std::string>& entries);

}  // namespace fake

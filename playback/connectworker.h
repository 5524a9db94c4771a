// The connection worker: turns a stream location into a playing stream on a thread of its own.
#pragma once

#include <cstdint>
#include <string>

#include "audioengine.h"

// Flags of every stream the worker creates: status texts to the download callback, small
// blocks as a live stream, freed by the engine when playback ends.
inline constexpr uint32_t kStreamCreateFlags =
    AE_STREAM_STATUS | AE_STREAM_BLOCK | AE_STREAM_AUTOFREE;

// The share of the download buffer that must be filled before playback starts: a pass that
// reads more than this ends the buffering loop.
inline constexpr uint32_t kBufferingDonePercent = 75;

// Window thread: starts a ConnectWorker for the location on a detached thread. Every worker
// started earlier is superseded from this moment on: it frees its own stream, never stores its
// handle over this one's, and sends nothing more.
void StartConnectWorker(const std::string& location);

// The worker's thread routine. generation identifies it among the workers started.
void ConnectWorker(std::string location, uint64_t generation);

// Workers started and not yet ended (for an orderly wait in tests and at exit).
int ConnectWorkersRunning();

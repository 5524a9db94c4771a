// The connection worker: turns a stream location into a playing stream on a thread of its own.
#pragma once

#include <cstdint>
#include <string>

#include "audioengine.h"

// Flags of every stream the worker creates: the status flag (the worker gives no download
// callback, so no status text reaches it), small blocks as a live stream, freed by the engine
// when playback ends.
inline constexpr uint32_t kStreamCreateFlags =
    AE_STREAM_STATUS | AE_STREAM_BLOCK | AE_STREAM_AUTOFREE;

// The fill (the share of the network buffer's sound held) that the buffering loop waits for:
// a pass that reads more than this ends it.
inline constexpr uint32_t kBufferingDonePercent = 75;

// Window thread: starts a ConnectWorker for the location on a thread of its own, which the
// player keeps until JoinConnectWorkers. Every worker started earlier is superseded from this
// moment on: it frees its own stream, never stores its handle over this one's, and sends
// nothing more.
void StartConnectWorker(const std::string& location);

// At exit, once the window handle is closed: supersedes every worker, aborts a connection still
// being made and joins every worker thread.
void JoinConnectWorkers();

// The worker's thread routine. generation identifies it among the workers started.
void ConnectWorker(std::string location, uint64_t generation);

// Workers started and not yet ended (for tests).
int ConnectWorkersRunning();

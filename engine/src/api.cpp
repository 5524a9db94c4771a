// The C interface: argument checks, the per-thread error code and the one engine.
#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "audioengine.h"
#include "config.h"
#include "engine.h"
#include "stream.h"
#include "tags.h"

namespace {

thread_local int t_error = AE_OK;

std::mutex g_mtx;  // guards g_engine and g_config
std::shared_ptr<ae::Engine> g_engine;
ae::Config g_config;

// Sets the calling thread's error code and returns the given result.
template <typename T>
T fail(int error, T result) {
    t_error = error;
    return result;
}
template <typename T>
T ok(T result) {
    t_error = AE_OK;
    return result;
}

std::shared_ptr<ae::Engine> engine() {
    std::lock_guard lock(g_mtx);
    return g_engine;
}

// The engine and the stream behind a handle; sets the error code when either is missing.
std::pair<std::shared_ptr<ae::Engine>, std::shared_ptr<ae::Stream>> lookup(AE_HANDLE handle) {
    auto eng = engine();
    if (!eng) {
        t_error = AE_ERROR_INIT;
        return {};
    }
    auto stream = eng->find(handle);
    if (!stream) t_error = AE_ERROR_HANDLE;
    return {eng, stream};
}

// The END position each stream last gave this thread (its latest few streams), so that a fill
// worked out from END, DOWNLOAD and CURRENT read one after the other stays within 100%.
constexpr size_t kEndsKept = 8;
thread_local std::deque<std::pair<AE_HANDLE, uint64_t>> t_endsSeen;

void rememberEnd(AE_HANDLE handle, uint64_t end) {
    std::erase_if(t_endsSeen, [&](const auto& seen) { return seen.first == handle; });
    if (t_endsSeen.size() >= kEndsKept) t_endsSeen.pop_front();
    t_endsSeen.emplace_back(handle, end);
}

uint64_t endSeen(AE_HANDLE handle) {
    for (const auto& [seenHandle, end] : t_endsSeen)
        if (seenHandle == handle) return end;
    return 0;
}

}  // namespace

extern "C" {

uint32_t AE_GetVersion(void) {
    return AE_VERSION;
}

int AE_ErrorGetCode(void) {
    return t_error;
}

AE_BOOL AE_Init(int device, uint32_t freq, uint32_t /*flags*/, void* /*win*/,
                const void* /*clsid*/) {
    if (device != -1 && device != 1) return fail(AE_ERROR_DEVICE, 0);
    if (freq < 8000 || freq > 192000) return fail(AE_ERROR_DEVICE, 0);
    std::lock_guard lock(g_mtx);
    if (g_engine) return fail(AE_ERROR_ALREADY, 0);
    std::shared_ptr<ae::Engine> eng;
    int rc = ae::Engine::start(freq, eng);
    if (rc != AE_OK) return fail(rc, 0);
    g_engine = std::move(eng);
    return ok(1);
}

AE_BOOL AE_Free(void) {
    if (ae::Engine::onSyncThread()) return fail(AE_ERROR_CALLBACK, 0);
    std::shared_ptr<ae::Engine> eng;
    {
        std::lock_guard lock(g_mtx);
        eng.swap(g_engine);
    }
    if (!eng) return fail(AE_ERROR_INIT, 0);
    eng->shutdown();
    return ok(1);
}

AE_BOOL AE_SetConfig(uint32_t option, uint32_t value) {
    std::lock_guard lock(g_mtx);
    switch (option) {
        case AE_CONFIG_BUFFER:
            if (value < 10 || value > 5000) return fail(AE_ERROR_PARAM, 0);
            g_config.bufferMs = value;
            break;
        case AE_CONFIG_NET_TIMEOUT:
            if (value < 100 || value > 600000) return fail(AE_ERROR_PARAM, 0);
            g_config.timeoutMs = value;
            break;
        case AE_CONFIG_NET_BUFFER:
            if (value < 100 || value > 60000) return fail(AE_ERROR_PARAM, 0);
            g_config.netBufferMs = value;
            break;
        case AE_CONFIG_NET_PREBUF:
            if (value > 100) return fail(AE_ERROR_PARAM, 0);
            g_config.prebufPercent = value;
            break;
        case AE_CONFIG_NET_PLAYLIST:
            if (value > 1) return fail(AE_ERROR_PARAM, 0);
            g_config.playlists = value;
            break;
        case AE_CONFIG_UPDATETHREADS:
            if (value < 1 || value > 8) return fail(AE_ERROR_PARAM, 0);
            g_config.updateThreads = value;
            break;
        default:
            return fail(AE_ERROR_PARAM, 0);
    }
    return ok(1);
}

uint32_t AE_GetConfig(uint32_t option) {
    std::lock_guard lock(g_mtx);
    switch (option) {
        case AE_CONFIG_BUFFER:
            return ok(g_config.bufferMs);
        case AE_CONFIG_NET_TIMEOUT:
            return ok(g_config.timeoutMs);
        case AE_CONFIG_NET_BUFFER:
            return ok(g_config.netBufferMs);
        case AE_CONFIG_NET_PREBUF:
            return ok(g_config.prebufPercent);
        case AE_CONFIG_NET_PLAYLIST:
            return ok(g_config.playlists);
        case AE_CONFIG_UPDATETHREADS:
            return ok(g_config.updateThreads);
        default:
            return fail(AE_ERROR_PARAM, 0xFFFFFFFFu);
    }
}

AE_BOOL AE_SetConfigPtr(uint32_t option, const void* value) {
    if (option != AE_CONFIG_NET_AGENT) return fail(AE_ERROR_PARAM, 0);
    std::string agent = value ? static_cast<const char*>(value) : "";
    // A header value must stay on one line.
    if (agent.find_first_of("\r\n") != std::string::npos) return fail(AE_ERROR_PARAM, 0);
    std::lock_guard lock(g_mtx);
    g_config.agent = std::move(agent);
    return ok(1);
}

uint32_t AE_PluginLoad(const char* file, uint32_t /*flags*/) {
    if (!file) return fail(AE_ERROR_PARAM, 0u);
    auto eng = engine();
    if (!eng) return fail(AE_ERROR_INIT, 0u);
    uint32_t plugin = eng->loadPlugin(file);
    return plugin ? ok(plugin) : fail(AE_ERROR_PLUGIN, 0u);
}

AE_BOOL AE_Stop(void) {
    auto eng = engine();
    if (!eng) return fail(AE_ERROR_INIT, 0);
    return eng->setPaused(true) ? ok(1) : fail(AE_ERROR_OUTPUT, 0);
}

AE_BOOL AE_Start(void) {
    auto eng = engine();
    if (!eng) return fail(AE_ERROR_INIT, 0);
    return eng->setPaused(false) ? ok(1) : fail(AE_ERROR_OUTPUT, 0);
}

AE_BOOL AE_SetVolume(float volume) {
    if (!(volume >= 0.0f && volume <= 1.0f)) return fail(AE_ERROR_PARAM, 0);
    auto eng = engine();
    if (!eng) return fail(AE_ERROR_INIT, 0);
    return eng->setVolume(volume) ? ok(1) : fail(AE_ERROR_OUTPUT, 0);
}

float AE_GetVolume(void) {
    auto eng = engine();
    if (!eng) return fail(AE_ERROR_INIT, -1.0f);
    float v = eng->volume();
    return v < 0 ? fail(AE_ERROR_OUTPUT, -1.0f) : ok(v);
}

AE_HANDLE AE_StreamCreateURL(const char* url, uint32_t offset, uint32_t flags, AE_DOWNLOADPROC proc,
                             void* user) {
    if (!url) return fail(AE_ERROR_URL, 0u);
    if (offset != 0) return fail(AE_ERROR_PARAM, 0u);  // live streams cannot start elsewhere
    auto eng = engine();
    if (!eng) return fail(AE_ERROR_INIT, 0u);
    ae::Config config;
    {
        std::lock_guard lock(g_mtx);
        config = g_config;
    }
    AE_HANDLE handle = 0;
    int rc = eng->createStream(url, flags, proc, user, config, handle);
    return rc == AE_OK ? ok(handle) : fail(rc, 0u);
}

AE_BOOL AE_StreamCreateAbort(void) {
    auto eng = engine();
    if (!eng) return fail(AE_ERROR_INIT, 0);
    eng->abortCreations();
    return ok(1);
}

AE_BOOL AE_StreamFree(AE_HANDLE handle) {
    auto eng = engine();
    if (!eng) return fail(AE_ERROR_INIT, 0);
    return eng->freeStream(handle) ? ok(1) : fail(AE_ERROR_HANDLE, 0);
}

uint64_t AE_StreamGetFilePosition(AE_HANDLE handle, uint32_t mode) {
    auto [eng, stream] = lookup(handle);
    if (!stream) return ~uint64_t{0};
    uint64_t pos = 0;
    int rc = stream->filePosition(mode, pos, mode == AE_FILEPOS_CURRENT ? endSeen(handle) : 0);
    if (rc == AE_OK && mode == AE_FILEPOS_END) rememberEnd(handle, pos);
    return rc == AE_OK ? ok(pos) : fail(rc, ~uint64_t{0});
}

const char* AE_ChannelGetTags(AE_HANDLE handle, uint32_t tags) {
    auto [eng, stream] = lookup(handle);
    if (!stream) return nullptr;
    ae::TagBlock block = stream->tags(tags);
    if (!block) return fail(AE_ERROR_NOT_AVAILABLE, static_cast<const char*>(nullptr));
    return ok(ae::holdForThread(handle, tags, std::move(block)));
}

AE_SYNC AE_ChannelSetSync(AE_HANDLE handle, uint32_t type, uint64_t /*param*/, AE_SYNCPROC proc,
                          void* user) {
    auto [eng, stream] = lookup(handle);
    if (!stream) return 0;
    if (!proc) return fail(AE_ERROR_PARAM, 0u);
    if (type != AE_SYNC_META && type != AE_SYNC_OGG_CHANGE && type != AE_SYNC_WMA_CHANGE &&
        type != AE_SYNC_WMA_META)
        return fail(AE_ERROR_PARAM, 0u);
    AE_SYNC sync = 0;
    int rc = eng->addSync(handle, type, proc, user, sync);
    return rc == AE_OK ? ok(sync) : fail(rc, 0u);
}

AE_BOOL AE_ChannelRemoveSync(AE_HANDLE handle, AE_SYNC sync) {
    auto eng = engine();
    if (!eng) return fail(AE_ERROR_INIT, 0);
    int rc = eng->removeSync(handle, sync);
    return rc == AE_OK ? ok(1) : fail(rc, 0);
}

AE_BOOL AE_ChannelPlay(AE_HANDLE handle, AE_BOOL /*restart*/) {
    auto eng = engine();
    if (!eng) return fail(AE_ERROR_INIT, 0);
    int rc = eng->play(handle);
    return rc == AE_OK ? ok(1) : fail(rc, 0);
}

uint32_t AE_ChannelIsActive(AE_HANDLE handle) {
    auto [eng, stream] = lookup(handle);
    if (!stream) return AE_ACTIVE_STOPPED;
    const uint32_t active = stream->activity(eng->paused());
    // Nothing is heard while the sound server is away: stalled, so a watchdog can act.
    return ok(active == AE_ACTIVE_PLAYING && eng->outputLost() ? AE_ACTIVE_STALLED : active);
}

uint32_t AE_ChannelGetLevel(AE_HANDLE handle) {
    auto [eng, stream] = lookup(handle);
    if (!stream) return 0xFFFFFFFFu;
    uint32_t active = stream->activity(eng->paused());
    if (active != AE_ACTIVE_PLAYING && active != AE_ACTIVE_STALLED)
        return fail(AE_ERROR_NOT_AVAILABLE, 0xFFFFFFFFu);
    return ok(stream->level(eng->framesPlayed()));
}

AE_BOOL AE_ChannelGetInfo(AE_HANDLE handle, AE_CHANNELINFO* info) {
    if (!info) return fail(AE_ERROR_PARAM, 0);
    auto [eng, stream] = lookup(handle);
    if (!stream) return 0;
    stream->info(info);
    return ok(1);
}

uint64_t AE_ChannelSeconds2Bytes(AE_HANDLE handle, double seconds) {
    auto [eng, stream] = lookup(handle);
    if (!stream) return ~uint64_t{0};
    if (!(seconds >= 0)) return fail(AE_ERROR_PARAM, ~uint64_t{0});
    return ok(stream->secondsToBytes(seconds));
}

AE_BOOL AE_ChannelGetAttribute(AE_HANDLE handle, uint32_t attrib, float* value) {
    if (!value) return fail(AE_ERROR_PARAM, 0);
    auto [eng, stream] = lookup(handle);
    if (!stream) return 0;
    if (attrib != AE_ATTRIB_BITRATE) return fail(AE_ERROR_PARAM, 0);
    *value = stream->bitrateKbps();
    return ok(1);
}

}  // extern "C"

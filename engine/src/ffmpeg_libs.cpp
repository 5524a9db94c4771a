#include "ffmpeg_libs.h"

#include <dlfcn.h>

#include <mutex>
#include <thread>

namespace ae::ff {

namespace {

// The sonames the headers were written for: another major version is another interface.
constexpr const char* kSonames[] = {
    "libavutil.so." AV_STRINGIFY(LIBAVUTIL_VERSION_MAJOR),
    "libswresample.so." AV_STRINGIFY(LIBSWRESAMPLE_VERSION_MAJOR),
    "libavcodec.so." AV_STRINGIFY(LIBAVCODEC_VERSION_MAJOR),
    "libavformat.so." AV_STRINGIFY(LIBAVFORMAT_VERSION_MAJOR),
};
enum Library { avutil, swresample, avcodec, avformat, kLibraryCount };

// Written once under g_once; read only by callers that load() has synchronised with.
Functions g_api;
bool g_loaded = false;
std::once_flag g_once;

// The preload thread. Never deleted: a process may end without AE_Free while it runs, and a
// joinable std::thread destroyed at exit would terminate the process.
std::mutex g_threadMutex;
std::thread* g_preloader = nullptr;

void loadLibraries() {
    // Opened for good: FFmpeg's libraries are not made to be unloaded.
    void* handles[kLibraryCount] = {};
    for (int i = 0; i < kLibraryCount; ++i) {
        handles[i] = ::dlopen(kSonames[i], RTLD_NOW | RTLD_LOCAL);
        if (!handles[i]) return;
    }
    Functions api;
#define AE_FFMPEG_RESOLVE(lib, name)                                              \
    api.name = reinterpret_cast<decltype(&::name)>(::dlsym(handles[lib], #name)); \
    if (!api.name) return;
    AE_FFMPEG_FUNCTIONS(AE_FFMPEG_RESOLVE)
#undef AE_FFMPEG_RESOLVE
    api.av_log_set_level(AV_LOG_QUIET);  // the engine reports through its error codes only
    g_api = api;
    g_loaded = true;
}

}  // namespace

void preload() {
    std::lock_guard lock(g_threadMutex);
    if (g_preloader) return;
    g_preloader = new std::thread([] { std::call_once(g_once, loadLibraries); });
}

void joinPreload() {
    std::lock_guard lock(g_threadMutex);
    if (g_preloader && g_preloader->joinable()) g_preloader->join();
}

bool load() {
    std::call_once(g_once, loadLibraries);
    return g_loaded;
}

const Functions& api() {
    return g_api;
}

}  // namespace ae::ff

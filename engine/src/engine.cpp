#include "engine.h"

#include <algorithm>

#include "cancel.h"
#include "ffmpeg_libs.h"
#include "output/pulse_output.h"
#include "stream.h"

namespace ae {

namespace {

// Handles are never reused within the process, not even across AE_Free and AE_Init.
std::atomic<AE_HANDLE> g_nextHandle{1};

constexpr uint32_t kOutputLatencyMs = 100;
// The sync thread sleeps until the next event could come due, within these bounds: the upper
// one covers what the streams' lower bounds cannot see (a paused output, a starved stream).
constexpr auto kSyncMinWait = std::chrono::milliseconds(10);
constexpr auto kSyncMaxWait = std::chrono::milliseconds(100);

}  // namespace

int Engine::start(uint32_t rate, std::shared_ptr<Engine>& out) {
    std::shared_ptr<Engine> engine(new Engine());
    engine->rate_ = rate;
    int error = AE_OK;
    Engine* raw = engine.get();
    engine->output_ = PulseOutput::open(
        rate, 2, kOutputLatencyMs, [raw](int16_t* o, size_t frames) { raw->fill(o, frames); },
        &error);
    if (!engine->output_) return error != AE_OK ? error : AE_ERROR_NO_SERVER;
    // The thread keeps the engine alive, so AE_Free from a callback cannot pull it away.
    engine->syncThread_ = std::thread([self = engine] { self->syncLoop(); });
    out = std::move(engine);
    return AE_OK;
}

Engine::~Engine() {
    shutdown();
}

void Engine::shutdown() {
    std::map<AE_HANDLE, std::shared_ptr<Stream>> streams;
    {
        std::lock_guard lock(mtx_);
        if (stopping_) return;
        stopping_ = true;
        streams.swap(streams_);
    }
    abortCreations();
    {
        std::lock_guard lock(syncMtx_);
        syncStop_ = true;
        syncWake_.notify_all();
    }
    if (syncThread_.joinable()) {
        if (syncThread_.get_id() == std::this_thread::get_id()) {
            syncThread_.detach();  // AE_Free from a sync callback: the loop ends on its own
        } else {
            syncThread_.join();
        }
    }
    std::unique_ptr<PulseOutput> output;
    {
        std::lock_guard lock(mtx_);
        output = std::move(output_);
    }
    output.reset();  // after this the mixer never runs again
    {
        std::lock_guard lock(mixMtx_);
        voices_.clear();
    }
    for (auto& [handle, stream] : streams) stream->shutdown();
    ff::joinPreload();
}

uint32_t Engine::loadPlugin(const std::string& name) {
    std::lock_guard lock(mtx_);
    if (name == "aewma") {
        plugins_.wma = true;
        return kPluginWma;
    }
    if (name == "aeaac") {
        plugins_.aac = true;
        return kPluginAac;
    }
    return 0;
}

int Engine::createStream(const std::string& url, uint32_t flags, AE_DOWNLOADPROC proc, void* user,
                         const Config& config, AE_HANDLE& out) {
    Cancel cancel;
    StreamSetup setup;
    setup.config = config;
    setup.outputRate = rate_;
    {
        std::lock_guard lock(mtx_);
        if (stopping_) return AE_ERROR_INIT;
        setup.plugins = plugins_;
        creating_.insert(&cancel);
    }
    std::shared_ptr<Stream> stream;
    int rc = Stream::create(url, flags, proc, user, setup, cancel, stream);
    std::lock_guard lock(mtx_);
    creating_.erase(&cancel);
    if (rc != AE_OK) return rc;
    if (stopping_) {
        stream->shutdown();
        return AE_ERROR_ABORTED;
    }
    AE_HANDLE handle = g_nextHandle++;
    if (handle == 0) handle = g_nextHandle++;
    stream->setHandle(handle);
    streams_[handle] = stream;
    out = handle;
    return AE_OK;
}

void Engine::abortCreations() {
    std::lock_guard lock(mtx_);
    for (Cancel* c : creating_) c->cancel();
}

std::shared_ptr<Stream> Engine::find(AE_HANDLE handle) {
    std::lock_guard lock(mtx_);
    auto it = streams_.find(handle);
    return it == streams_.end() ? nullptr : it->second;
}

bool Engine::freeStream(AE_HANDLE handle) {
    std::shared_ptr<Stream> stream;
    {
        std::lock_guard lock(mtx_);
        auto it = streams_.find(handle);
        if (it == streams_.end()) return false;
        stream = std::move(it->second);
        streams_.erase(it);
    }
    {
        std::lock_guard lock(mixMtx_);
        std::erase(voices_, stream);
    }
    stream->shutdown();
    return true;
}

int Engine::play(AE_HANDLE handle) {
    std::shared_ptr<Stream> stream = find(handle);
    if (!stream) return AE_ERROR_HANDLE;
    int rc = stream->play();
    if (rc != AE_OK) return rc;
    {
        std::lock_guard lock(mixMtx_);
        if (std::find(voices_.begin(), voices_.end(), stream) == voices_.end())
            voices_.push_back(stream);
    }
    {
        std::lock_guard lock(mtx_);
        if (output_) output_->soundReady();
    }
    {
        std::lock_guard lock(syncMtx_);
        syncKick_ = true;
    }
    syncWake_.notify_all();
    return AE_OK;
}

bool Engine::setPaused(bool paused) {
    std::lock_guard lock(mtx_);
    if (!output_) return false;
    output_->setPaused(paused);
    return true;
}

bool Engine::paused() {
    std::lock_guard lock(mtx_);
    return output_ && output_->paused();
}

bool Engine::setVolume(float volume) {
    std::lock_guard lock(mtx_);
    return output_ && output_->setVolume(volume);
}

float Engine::volume() {
    std::lock_guard lock(mtx_);
    return output_ ? output_->volume() : -1.0f;
}

int64_t Engine::framesPlayed() {
    std::lock_guard lock(mtx_);
    return output_ ? output_->framesPlayed() : 0;
}

bool Engine::outputLost() {
    std::lock_guard lock(mtx_);
    return output_ && output_->failed();
}

void Engine::fill(int16_t* out, size_t frames) {
    std::lock_guard lock(mixMtx_);
    acc_.assign(frames * 2, 0);
    for (const auto& voice : voices_) voice->mix(acc_.data(), frames, outFrames_);
    for (size_t i = 0; i < frames * 2; ++i) {
        out[i] = static_cast<int16_t>(std::clamp<int32_t>(acc_[i], INT16_MIN, INT16_MAX));
    }
    outFrames_ += static_cast<int64_t>(frames);
}

void Engine::syncLoop() {
    std::vector<SyncCall> calls;
    std::vector<std::pair<AE_HANDLE, std::shared_ptr<Stream>>> streams;
    std::chrono::milliseconds delay = kSyncMinWait;
    for (;;) {
        {
            std::unique_lock lock(syncMtx_);
            syncWake_.wait_for(lock, delay, [&] { return syncStop_ || syncKick_; });
            if (syncStop_) return;
            syncKick_ = false;
        }
        int64_t played = framesPlayed();
        {
            std::lock_guard lock(mtx_);
            streams.assign(streams_.begin(), streams_.end());
        }
        std::vector<std::shared_ptr<Stream>> ended;
        std::vector<AE_HANDLE> autofree;
        int64_t nextDue = INT64_MAX;
        for (auto& [handle, stream] : streams) {
            if (stream->collectDue(played, calls, nextDue)) {
                ended.push_back(stream);
                if (stream->flags() & AE_STREAM_AUTOFREE) autofree.push_back(handle);
            }
        }
        streams.clear();
        if (!ended.empty()) {
            std::lock_guard lock(mixMtx_);
            for (const auto& s : ended) std::erase(voices_, s);
        }
        ended.clear();
        // Callbacks run with no engine lock held: they may call the engine.
        for (const SyncCall& call : calls) call.proc(call.sync, call.channel, 0, call.user);
        calls.clear();
        for (AE_HANDLE handle : autofree) freeStream(handle);
        delay = kSyncMaxWait;
        if (nextDue < INT64_MAX) {
            // Rounded up: waking a little early would cost a whole minimum wait more.
            auto due = std::chrono::milliseconds(
                (std::max<int64_t>(nextDue, 0) * 1000 + rate_ - 1) / rate_);
            delay = std::clamp(due, kSyncMinWait, delay);
        }
    }
}

}  // namespace ae

#include "engine.h"

#include <algorithm>

#include "cancel.h"
#include "ffmpeg_libs.h"
#include "output/pulse_output.h"
#include "stream.h"
#include "tags.h"

namespace ae {

namespace {

// Handles are never reused within the process, not even across AE_Free and AE_Init.
std::atomic<AE_HANDLE> g_nextHandle{1};

constexpr uint32_t kOutputLatencyMs = 100;
// While a stream sounds, the sync thread sleeps until the next event could come due, within
// these bounds: the upper one covers what the streams' lower bounds cannot see (a starved
// stream, an output that lost its server).
constexpr auto kSyncMinWait = std::chrono::milliseconds(10);
constexpr auto kSyncMaxWait = std::chrono::milliseconds(100);

thread_local bool t_syncThread = false;

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
    // The thread keeps the engine alive until shutdown has stopped it.
    engine->syncThread_ = std::thread([self = engine] {
        t_syncThread = true;
        self->syncLoop();
    });
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
    {
        std::lock_guard lock(callMtx_);
        liveSyncs_.clear();  // no callback starts from here on
    }
    abortCreations();
    {
        std::lock_guard lock(syncMtx_);
        syncStop_ = true;
        syncWake_.notify_all();
    }
    // Waits for a callback that is running; the API refuses a shutdown from one.
    if (syncThread_.joinable()) syncThread_.join();
    std::unique_ptr<PulseOutput> output;
    {
        std::lock_guard lock(mtx_);
        output = std::move(output_);
    }
    output.reset();  // after this the mixer never runs again
    editVoices([](auto& voices) { voices.clear(); });
    for (auto& [handle, stream] : streams) stream->shutdown();
    ff::joinPreload();
}

bool Engine::onSyncThread() {
    return t_syncThread;
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
        std::lock_guard calls(callMtx_);
        {
            std::lock_guard lock(mtx_);
            auto it = streams_.find(handle);
            if (it == streams_.end()) return false;
            stream = std::move(it->second);
            streams_.erase(it);
        }
        std::erase_if(liveSyncs_, [&](const auto& entry) { return entry.second == handle; });
    }
    editVoices([&](auto& voices) { std::erase(voices, stream); });
    stream->shutdown();
    return true;
}

int Engine::addSync(AE_HANDLE handle, uint32_t type, AE_SYNCPROC proc, void* user, AE_SYNC& out) {
    std::lock_guard calls(callMtx_);
    std::shared_ptr<Stream> stream = find(handle);
    if (!stream) return AE_ERROR_HANDLE;
    out = stream->addSync(type, proc, user);
    liveSyncs_[out] = handle;
    return AE_OK;
}

int Engine::removeSync(AE_HANDLE handle, AE_SYNC sync) {
    std::lock_guard calls(callMtx_);
    std::shared_ptr<Stream> stream = find(handle);
    if (!stream) return AE_ERROR_HANDLE;
    if (!stream->removeSync(sync)) return AE_ERROR_HANDLE;
    liveSyncs_.erase(sync);
    return AE_OK;
}

int Engine::play(AE_HANDLE handle) {
    std::shared_ptr<Stream> stream = find(handle);
    if (!stream) return AE_ERROR_HANDLE;
    int rc = stream->play();
    if (rc != AE_OK) return rc;
    editVoices([&](auto& voices) {
        if (std::find(voices.begin(), voices.end(), stream) == voices.end())
            voices.push_back(stream);
    });
    {
        std::lock_guard lock(mtx_);
        if (output_) output_->soundReady();
    }
    kickSync();
    return AE_OK;
}

void Engine::kickSync() {
    {
        std::lock_guard lock(syncMtx_);
        syncKick_ = true;
    }
    syncWake_.notify_all();
}

bool Engine::setPaused(bool paused) {
    {
        std::lock_guard lock(mtx_);
        if (!output_) return false;
        output_->setPaused(paused);
    }
    if (!paused) kickSync();
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

template <typename Edit>
void Engine::editVoices(Edit edit) {
    std::lock_guard editing(voicesEditMtx_);
    // Only editors change voices_, and they take turns: reading it here needs no mixMtx_.
    std::vector<std::shared_ptr<Stream>> voices(voices_);
    edit(voices);
    {
        std::lock_guard lock(mixMtx_);
        voices_.swap(voices);
    }
    // The old list, and any stream only it held, go here, outside mixMtx_.
}

bool Engine::outputLost() {
    std::lock_guard lock(mtx_);
    return output_ && output_->failed();
}

void Engine::fill(int16_t* out, size_t frames) {
    std::lock_guard lock(mixMtx_);
    while (frames > 0) {
        const size_t n = std::min(frames, Stream::kMaxMixFrames);
        std::fill_n(acc_.begin(), n * 2, 0);
        for (const auto& voice : voices_) voice->mix(acc_.data(), n, outFrames_);
        for (size_t i = 0; i < n * 2; ++i)
            out[i] = static_cast<int16_t>(std::clamp<int32_t>(acc_[i], INT16_MIN, INT16_MAX));
        outFrames_ += static_cast<int64_t>(n);
        out += n * 2;
        frames -= n;
    }
}

void Engine::syncLoop() {
    std::vector<SyncCall> calls;
    std::vector<std::pair<AE_HANDLE, std::shared_ptr<Stream>>> streams;
    std::chrono::milliseconds delay = kSyncMinWait;
    bool idle = false;  // nothing can come due until a stream plays or the output resumes
    for (;;) {
        {
            std::unique_lock lock(syncMtx_);
            auto woken = [&] { return syncStop_ || syncKick_; };
            if (idle)
                syncWake_.wait(lock, woken);
            else
                syncWake_.wait_for(lock, delay, woken);
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
        bool sounding = false;
        for (auto& [handle, stream] : streams) {
            if (stream->activity(false) != AE_ACTIVE_STOPPED) sounding = true;
            if (stream->collectDue(played, calls, nextDue)) {
                ended.push_back(stream);
                if (stream->flags() & AE_STREAM_AUTOFREE) autofree.push_back(handle);
            }
        }
        streams.clear();
        if (!ended.empty()) {
            editVoices([&](auto& voices) {
                for (const auto& s : ended) std::erase(voices, s);
            });
        }
        ended.clear();
        // Callbacks run with no engine lock held: they may call the engine. One whose sync was
        // removed, or whose stream was freed, since it was collected does not start.
        for (const SyncCall& call : calls) {
            {
                std::lock_guard lock(callMtx_);
                if (!liveSyncs_.contains(call.sync)) continue;
            }
            call.proc(call.sync, call.channel, 0, call.user);
            releaseThreadTags();  // the tag texts it read were held until it returned
        }
        calls.clear();
        for (AE_HANDLE handle : autofree) freeStream(handle);
        // A stopped player's sync thread sleeps: play() and a resumed output wake it.
        idle = !sounding || paused();
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

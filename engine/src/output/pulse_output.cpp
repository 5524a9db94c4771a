#include "output/pulse_output.h"

#include <pulse/pulseaudio.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <deque>
#include <mutex>

#include "audioengine.h"

namespace ae {

namespace {

// How long open() waits for the server to accept the connection and the stream; a reconnection
// attempt that takes longer is dropped and made again.
constexpr pa_usec_t kConnectTimeoutUsec = 5 * PA_USEC_PER_SEC;
// Pause between reconnection attempts while no server answers (or it has no sink to play to).
constexpr pa_usec_t kReconnectIntervalUsec = 250 * PA_USEC_PER_MSEC;
constexpr uint32_t kMinBufferMs = 20;
constexpr uint32_t kMaxBufferMs = 2000;
constexpr const char* kStreamName = "Velmora";
// How far past the server's read position sound that follows silence is placed: the sink
// takes data in blocks, so the position is only known to about a block.
constexpr pa_usec_t kSoundStartMarginUsec = 20 * PA_USEC_PER_MSEC;
// After this much unbroken silence the stream asks for data at every sink period again, so
// that sound starting later is picked up without waiting out a half-buffer step.
constexpr pa_usec_t kSilenceBeforeQuickRequestsUsec = 2 * PA_USEC_PER_SEC;

using Clock = std::chrono::steady_clock;

// Volumes are the server's own scale, the one its mixers show in percent: v is v x normal.
pa_volume_t volumeToServer(float v) {
    return static_cast<pa_volume_t>(std::lround(double{v} * PA_VOLUME_NORM));
}
float volumeFromServer(pa_volume_t raw) {
    return std::clamp(static_cast<float>(raw) / PA_VOLUME_NORM, 0.0f, 1.0f);
}

}  // namespace

// Everything PulseAudio calls back into. The PulseAudio objects are used only on PulseAudio's
// thread or with its mainloop lock held (open and the destructor); other threads hand their
// requests over through the fields under `mutex` and an eventfd, so no caller ever waits for
// that lock while the fill callback might be waiting for one of the caller's.
struct PulseOutput::Impl {
    Fill fill;
    uint32_t rate = 0;
    uint32_t channels = 0;
    size_t frameBytes = 0;
    pa_sample_spec sampleSpec{};

    // Owned by PulseAudio's thread once open() has returned.
    pa_threaded_mainloop* loop = nullptr;
    pa_context* context = nullptr;
    pa_stream* stream = nullptr;
    pa_io_event* wakeEvent = nullptr;
    pa_time_event* timeoutEvent = nullptr;
    uint32_t sinkInput = PA_INVALID_INDEX;
    int64_t serverWritten = 0;  // frames written, as the server's queue counts them
    int64_t audibleEnd = 0;     // queue index just past the last frame that was not silence
    int64_t skipped = 0;        // queued silence replaced by sound (counted as played)
    int64_t silentRun = 0;      // frames of unbroken silence written last
    pa_buffer_attr attr{};
    std::deque<uint64_t> volumeInFlight;  // generations sent to the server, not yet confirmed
    bool sparseRequests = false;          // minreq of half a buffer (while sound plays)
    bool timedOut = false;
    bool opened = false;  // open() has returned: a lost connection is made again, not reported
    bool lost = false;    // the stream is gone; reconnectEvent brings it back
    pa_time_event* reconnectEvent = nullptr;
    int wakeFd = -1;

    // Requests from other threads and the state they read, guarded by mutex.
    mutable std::mutex mutex;
    bool corkRequested = false;
    bool corkValue = false;
    bool soundRequested = false;
    bool volumeRequested = false;
    pa_volume_t volumeValue = PA_VOLUME_NORM;
    uint64_t volumeGeneration = 0;  // sets requested so far

    float volume = 1.0f;
    pa_volume_t volumeSetRaw = PA_VOLUME_NORM;  // what `volume` maps to in the server
    uint64_t volumeAcked = 0;                   // generation the server has confirmed
    int64_t snapshotFrames = 0;                 // playback position at snapshotTime
    Clock::time_point snapshotTime{};
    bool snapshotRunning = false;  // stream uncorked when the snapshot was taken
    bool snapshotValid = false;

    std::atomic<bool> paused{false};
    std::atomic<bool> failed{false};
    std::atomic<int64_t> written{0};
    mutable std::atomic<int64_t> playedHigh{0};

    ~Impl();
    void wake();
    void takeSnapshot();
    void setSparseRequests(bool sparse);
    int64_t soundStartIndex();
    size_t writeChunk(size_t wanted, bool overSilenceOnly);
    int64_t toFrames(pa_usec_t usec) const {
        return static_cast<int64_t>(usec * rate / PA_USEC_PER_SEC);
    }
    void applyRequests();
    void queryVolume();
    void onVolumeInfo(const pa_sink_input_info* info);

    void connectionLost();
    void reconnected();
    void scheduleReconnect(pa_usec_t delay);
    void reconnect();
    bool connectStream();
    void dropStream();
    void dropContext();

    static void contextState(pa_context* c, void* self);
    static void streamState(pa_stream* s, void* self);
    static void streamWrite(pa_stream* s, size_t bytes, void* self);
    static void streamTiming(pa_stream* s, void* self);
    static void connectTimeout(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* self);
    static void reconnectDue(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* self);
    static void wakeUp(pa_mainloop_api*, pa_io_event*, int fd, pa_io_event_flags_t, void* self);
    static void subscribed(pa_context*, pa_subscription_event_type_t type, uint32_t index,
                           void* self);
    static void sinkInputInfo(pa_context*, const pa_sink_input_info* info, int eol, void* self);
};

PulseOutput::Impl::~Impl() {
    if (loop) {
        // Nothing on PulseAudio's thread waits, so this lock also ends a reconnection underway.
        pa_threaded_mainloop_lock(loop);
        dropStream();
        pa_mainloop_api* api = pa_threaded_mainloop_get_api(loop);
        if (wakeEvent) api->io_free(wakeEvent);
        if (timeoutEvent) api->time_free(timeoutEvent);
        if (reconnectEvent) api->time_free(reconnectEvent);
        dropContext();
        pa_threaded_mainloop_unlock(loop);
        pa_threaded_mainloop_stop(loop);
        pa_threaded_mainloop_free(loop);
    }
    if (wakeFd >= 0) ::close(wakeFd);
}

void PulseOutput::Impl::wake() {
    uint64_t one = 1;
    if (::write(wakeFd, &one, sizeof one) < 0) {
        // The counter only saturates when the loop is gone; nothing left to wake then.
    }
}

void PulseOutput::Impl::contextState(pa_context* c, void* self) {
    auto* impl = static_cast<Impl*>(self);
    pa_context_state_t state = pa_context_get_state(c);
    if (state == PA_CONTEXT_FAILED || state == PA_CONTEXT_TERMINATED) {
        impl->failed = true;
        if (impl->opened) impl->connectionLost();
    } else if (state == PA_CONTEXT_READY && impl->lost && !impl->stream && !impl->connectStream()) {
        impl->scheduleReconnect(kReconnectIntervalUsec);
    }
    pa_threaded_mainloop_signal(impl->loop, 0);
}

void PulseOutput::Impl::streamState(pa_stream* s, void* self) {
    auto* impl = static_cast<Impl*>(self);
    pa_stream_state_t state = pa_stream_get_state(s);
    if (state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED) {
        impl->failed = true;
        if (impl->opened) impl->connectionLost();
    } else if (state == PA_STREAM_READY && impl->lost) {
        impl->reconnected();
    }
    pa_threaded_mainloop_signal(impl->loop, 0);
}

// The server went away, or killed our stream (its only sink was unloaded). Everything handed
// to the old stream counts as played; the sound not yet handed over waits in the engine's
// buffers and plays on once a new stream is up. The old objects are dropped from the timer,
// not from inside their own callbacks.
void PulseOutput::Impl::connectionLost() {
    if (!lost) {
        lost = true;
        volumeInFlight.clear();  // answers on a dead connection never come
        std::lock_guard<std::mutex> lock(mutex);
        volumeAcked = volumeGeneration;
        snapshotFrames = written.load(std::memory_order_relaxed);
        snapshotTime = Clock::now();
        snapshotRunning = false;
        snapshotValid = true;
    }
    scheduleReconnect(kReconnectIntervalUsec);
}

void PulseOutput::Impl::scheduleReconnect(pa_usec_t delay) {
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(loop);
    struct timeval due;
    pa_timeval_add(pa_gettimeofday(&due), delay);
    if (reconnectEvent)
        api->time_restart(reconnectEvent, &due);
    else
        reconnectEvent = api->time_new(api, &due, reconnectDue, this);
}

void PulseOutput::Impl::reconnectDue(pa_mainloop_api*, pa_time_event*, const struct timeval*,
                                     void* self) {
    static_cast<Impl*>(self)->reconnect();
}

// One attempt, under the same server address rules as open(): a new stream on the connection
// when it still stands, else a new connection first (the stream follows once it is ready). An
// attempt that has not come up by the next due time is dropped and made again.
void PulseOutput::Impl::reconnect() {
    if (!lost) return;
    dropStream();
    if (context && pa_context_get_state(context) != PA_CONTEXT_READY) dropContext();
    bool started = false;
    if (context) {
        started = connectStream();
    } else {
        pa_proplist* props = pa_proplist_new();
        pa_proplist_sets(props, PA_PROP_APPLICATION_NAME, kStreamName);
        pa_proplist_sets(props, PA_PROP_APPLICATION_ID, "velmora");
        context =
            pa_context_new_with_proplist(pa_threaded_mainloop_get_api(loop), kStreamName, props);
        pa_proplist_free(props);
        if (context) {
            pa_context_set_state_callback(context, contextState, this);
            started = pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0;
        }
    }
    scheduleReconnect(started ? kConnectTimeoutUsec : kReconnectIntervalUsec);
}

// A new playback stream on the ready connection, at the volume and cork state the caller set.
bool PulseOutput::Impl::connectStream() {
    stream = pa_stream_new(context, kStreamName, &sampleSpec, nullptr);
    if (!stream) return false;
    pa_stream_set_state_callback(stream, streamState, this);
    pa_stream_set_write_callback(stream, streamWrite, this);
    pa_stream_set_latency_update_callback(stream, streamTiming, this);
    serverWritten = 0;
    audibleEnd = 0;
    silentRun = 0;
    skipped = written.load(std::memory_order_relaxed);  // the new queue counts from zero
    sparseRequests = false;
    attr.minreq = static_cast<uint32_t>(-1);
    pa_volume_t raw = PA_VOLUME_INVALID;
    {
        std::lock_guard<std::mutex> lock(mutex);
        raw = volumeSetRaw;
    }
    pa_cvolume cv;
    pa_cvolume_set(&cv, channels, raw);
    auto flags = static_cast<pa_stream_flags_t>(
        PA_STREAM_INTERPOLATE_TIMING | PA_STREAM_AUTO_TIMING_UPDATE | PA_STREAM_ADJUST_LATENCY);
    if (paused) flags = static_cast<pa_stream_flags_t>(flags | PA_STREAM_START_CORKED);
    if (pa_stream_connect_playback(stream, nullptr, &attr, flags,
                                   raw == PA_VOLUME_INVALID ? nullptr : &cv, nullptr) < 0) {
        dropStream();
        return false;
    }
    return true;
}

void PulseOutput::Impl::reconnected() {
    lost = false;
    failed = false;
    if (reconnectEvent) pa_threaded_mainloop_get_api(loop)->time_restart(reconnectEvent, nullptr);
    sinkInput = pa_stream_get_index(stream);
    pa_context_set_subscribe_callback(context, subscribed, this);
    if (pa_operation* op =
            pa_context_subscribe(context, PA_SUBSCRIPTION_MASK_SINK_INPUT, nullptr, nullptr))
        pa_operation_unref(op);
    queryVolume();
    applyRequests();
}

void PulseOutput::Impl::dropStream() {
    if (!stream) return;
    pa_stream_set_write_callback(stream, nullptr, nullptr);
    pa_stream_set_state_callback(stream, nullptr, nullptr);
    pa_stream_set_latency_update_callback(stream, nullptr, nullptr);
    pa_stream_disconnect(stream);
    pa_stream_unref(stream);
    stream = nullptr;
}

void PulseOutput::Impl::dropContext() {
    if (!context) return;
    pa_context_set_state_callback(context, nullptr, nullptr);
    pa_context_set_subscribe_callback(context, nullptr, nullptr);
    pa_context_disconnect(context);
    pa_context_unref(context);
    context = nullptr;
}

void PulseOutput::Impl::connectTimeout(pa_mainloop_api* api, pa_time_event* e,
                                       const struct timeval*, void* self) {
    auto* impl = static_cast<Impl*>(self);
    api->time_free(e);
    impl->timeoutEvent = nullptr;
    impl->timedOut = true;
    pa_threaded_mainloop_signal(impl->loop, 0);
}

void PulseOutput::Impl::streamWrite(pa_stream*, size_t bytes, void* self) {
    auto* impl = static_cast<Impl*>(self);
    while (bytes >= impl->frameBytes) {
        const size_t frames = impl->writeChunk(bytes / impl->frameBytes, false);
        if (frames == 0) return;
        bytes -= frames * impl->frameBytes;
    }
    impl->takeSnapshot();
}

// Writes up to `wanted` frames from the fill callback; returns how many were written. Sound
// that follows silence replaces the silence still queued: it is heard at once instead of
// after a full buffer, and the frames it replaces count as played. With `overSilenceOnly`
// nothing is appended: only queued silence is replaced, with sound or with silence.
size_t PulseOutput::Impl::writeChunk(size_t wanted, bool overSilenceOnly) {
    int64_t start = -1;
    if (overSilenceOnly) {
        start = soundStartIndex();
        if (start < 0) return 0;
        wanted = std::min(wanted, static_cast<size_t>(serverWritten - start));
    }
    void* data = nullptr;
    size_t size = wanted * frameBytes;
    if (wanted == 0 || pa_stream_begin_write(stream, &data, &size) < 0 || !data) return 0;
    const size_t frames = std::min(size / frameBytes, wanted);
    if (frames == 0) {
        pa_stream_cancel_write(stream);
        return 0;
    }
    auto* samples = static_cast<int16_t*>(data);
    fill(samples, frames);
    const bool silent =
        std::all_of(samples, samples + frames * channels, [](int16_t v) { return v == 0; });
    const int64_t at = overSilenceOnly ? start : silent ? -1 : soundStartIndex();
    int ok;
    if (at >= 0) {
        skipped += serverWritten - at;
        serverWritten = at;
        ok = pa_stream_write(stream, data, frames * frameBytes, nullptr,
                             at * static_cast<int64_t>(frameBytes), PA_SEEK_ABSOLUTE);
    } else {
        ok = pa_stream_write(stream, data, frames * frameBytes, nullptr, 0, PA_SEEK_RELATIVE);
    }
    if (ok < 0) return 0;
    serverWritten += static_cast<int64_t>(frames);
    if (!silent) audibleEnd = serverWritten;
    silentRun = silent ? silentRun + static_cast<int64_t>(frames) : 0;
    if (!silent && !sparseRequests) setSparseRequests(true);
    if (sparseRequests && silentRun >= toFrames(kSilenceBeforeQuickRequestsUsec))
        setSparseRequests(false);
    written.fetch_add(static_cast<int64_t>(frames), std::memory_order_relaxed);
    return frames;
}

// While sound plays, data is asked for in half-buffer steps rather than at every period of
// the sink, which may be a few milliseconds: far fewer wake-ups for the same latency. While
// only silence goes out, the quick requests let new sound start sooner.
void PulseOutput::Impl::setSparseRequests(bool sparse) {
    sparseRequests = sparse;
    attr.minreq = sparse ? attr.tlength / 2 / static_cast<uint32_t>(frameBytes) *
                               static_cast<uint32_t>(frameBytes)
                         : static_cast<uint32_t>(-1);
    if (pa_operation* op = pa_stream_set_buffer_attr(stream, &attr, nullptr, nullptr))
        pa_operation_unref(op);
}

// Where in the server's queue sound may start so that it is heard next: a little past the
// read position, when everything queued from there on is silence; -1 otherwise.
int64_t PulseOutput::Impl::soundStartIndex() {
    pa_usec_t usec = 0;
    const pa_timing_info* timing = pa_stream_get_timing_info(stream);
    if (!timing || pa_stream_is_corked(stream) || pa_stream_get_time(stream, &usec) < 0) return -1;
    // The stream's time is the read position less what the sink holds.
    const int64_t readIndex = toFrames(usec + timing->sink_usec);
    const int64_t at = readIndex + toFrames(kSoundStartMarginUsec);
    if (audibleEnd > readIndex || at >= serverWritten) return -1;
    return at;
}

void PulseOutput::Impl::streamTiming(pa_stream*, void* self) {
    static_cast<Impl*>(self)->takeSnapshot();
}

// Records where playback is now, so framesPlayed() can answer without PulseAudio's lock.
void PulseOutput::Impl::takeSnapshot() {
    pa_usec_t usec = 0;
    if (!stream || pa_stream_get_time(stream, &usec) < 0) return;
    const bool running = pa_stream_is_corked(stream) == 0;
    const int64_t frames = toFrames(usec) + skipped;
    std::lock_guard<std::mutex> lock(mutex);
    snapshotFrames = frames;
    snapshotTime = Clock::now();
    snapshotRunning = running;
    snapshotValid = true;
}

void PulseOutput::Impl::wakeUp(pa_mainloop_api*, pa_io_event*, int fd, pa_io_event_flags_t,
                               void* self) {
    uint64_t count;
    if (::read(fd, &count, sizeof count) < 0) {
        // EAGAIN: another wake-up already drained it.
    }
    static_cast<Impl*>(self)->applyRequests();
}

void PulseOutput::Impl::applyRequests() {
    if (lost || !stream || !context) return;  // they wait for the new stream
    bool cork = false, doCork = false, doVolume = false, doSound = false;
    pa_volume_t raw = PA_VOLUME_NORM;
    uint64_t generation = 0;
    {
        std::lock_guard<std::mutex> lock(mutex);
        std::swap(doCork, corkRequested);
        std::swap(doVolume, volumeRequested);
        std::swap(doSound, soundRequested);
        cork = corkValue;
        raw = volumeValue;
        generation = volumeGeneration;
    }
    if (doCork) {
        auto done = [](pa_stream*, int, void* self) { static_cast<Impl*>(self)->takeSnapshot(); };
        if (pa_operation* op = pa_stream_cork(stream, cork ? 1 : 0, done, this))
            pa_operation_unref(op);
        takeSnapshot();
    }
    if (doSound && !cork && pa_stream_get_state(stream) == PA_STREAM_READY) {
        writeChunk(toFrames(PA_USEC_PER_SEC), true);
        takeSnapshot();
    }
    if (doVolume) {
        pa_cvolume cv;
        pa_cvolume_set(&cv, channels, raw);
        // The server answers in order; each answer confirms the oldest generation sent.
        // Until then its reports of our volume may predate the change.
        auto done = [](pa_context*, int, void* self) {
            auto* impl = static_cast<Impl*>(self);
            if (impl->volumeInFlight.empty()) return;
            const uint64_t confirmed = impl->volumeInFlight.front();
            impl->volumeInFlight.pop_front();
            std::lock_guard<std::mutex> lock(impl->mutex);
            impl->volumeAcked = std::max(impl->volumeAcked, confirmed);
        };
        if (pa_operation* op =
                pa_context_set_sink_input_volume(context, sinkInput, &cv, done, this)) {
            volumeInFlight.push_back(generation);
            pa_operation_unref(op);
        }
    }
}

void PulseOutput::Impl::queryVolume() {
    if (pa_operation* op = pa_context_get_sink_input_info(context, sinkInput, sinkInputInfo, this))
        pa_operation_unref(op);
}

void PulseOutput::Impl::subscribed(pa_context*, pa_subscription_event_type_t type, uint32_t index,
                                   void* self) {
    auto* impl = static_cast<Impl*>(self);
    if ((type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK) == PA_SUBSCRIPTION_EVENT_SINK_INPUT &&
        (type & PA_SUBSCRIPTION_EVENT_TYPE_MASK) == PA_SUBSCRIPTION_EVENT_CHANGE &&
        index == impl->sinkInput)
        impl->queryVolume();
}

void PulseOutput::Impl::sinkInputInfo(pa_context*, const pa_sink_input_info* info, int eol,
                                      void* self) {
    if (eol == 0 && info) static_cast<Impl*>(self)->onVolumeInfo(info);
}

void PulseOutput::Impl::onVolumeInfo(const pa_sink_input_info* info) {
    const pa_volume_t raw = pa_cvolume_avg(&info->volume);
    std::lock_guard<std::mutex> lock(mutex);
    // While a set of ours is on its way, the server may still report the old value.
    if (volumeAcked < volumeGeneration) return;
    if (raw == volumeSetRaw) return;  // keep the exact value the caller set
    volumeSetRaw = raw;
    volume = volumeFromServer(raw);
}

PulseOutput::PulseOutput(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

PulseOutput::~PulseOutput() = default;

std::unique_ptr<PulseOutput> PulseOutput::open(uint32_t rate, uint32_t channels, uint32_t bufferMs,
                                               Fill fill, int* error) {
    int ignored = 0;
    if (!error) error = &ignored;
    if (!fill) {
        *error = AE_ERROR_PARAM;
        return nullptr;
    }
    pa_sample_spec sampleSpec{PA_SAMPLE_S16NE, rate, static_cast<uint8_t>(channels)};
    if (channels == 0 || channels > PA_CHANNELS_MAX || !pa_sample_spec_valid(&sampleSpec)) {
        *error = AE_ERROR_DEVICE;
        return nullptr;
    }
    auto impl = std::make_unique<Impl>();
    impl->fill = std::move(fill);
    impl->rate = rate;
    impl->channels = channels;
    impl->frameBytes = pa_frame_size(&sampleSpec);
    impl->sampleSpec = sampleSpec;
    impl->wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    impl->loop = pa_threaded_mainloop_new();
    if (impl->wakeFd < 0 || !impl->loop) {
        *error = AE_ERROR_MEMORY;
        return nullptr;
    }
    pa_threaded_mainloop_set_name(impl->loop, "ae-pulse");
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(impl->loop);
    Impl* p = impl.get();

    pa_proplist* props = pa_proplist_new();
    pa_proplist_sets(props, PA_PROP_APPLICATION_NAME, kStreamName);
    pa_proplist_sets(props, PA_PROP_APPLICATION_ID, "velmora");
    p->context = pa_context_new_with_proplist(api, kStreamName, props);
    pa_proplist_free(props);
    if (!p->context) {
        *error = AE_ERROR_MEMORY;
        return nullptr;
    }
    pa_context_set_state_callback(p->context, Impl::contextState, p);
    if (pa_context_connect(p->context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        *error = AE_ERROR_NO_SERVER;
        return nullptr;
    }
    pa_threaded_mainloop_lock(p->loop);
    if (pa_threaded_mainloop_start(p->loop) < 0) {
        pa_threaded_mainloop_unlock(p->loop);
        *error = AE_ERROR_MEMORY;
        return nullptr;
    }
    p->timeoutEvent = pa_context_rttime_new(p->context, pa_rtclock_now() + kConnectTimeoutUsec,
                                            Impl::connectTimeout, p);

    auto fail = [&](int code) {
        pa_threaded_mainloop_unlock(p->loop);
        *error = code;
        return nullptr;
    };
    while (pa_context_get_state(p->context) != PA_CONTEXT_READY) {
        if (p->failed || p->timedOut) return fail(AE_ERROR_NO_SERVER);
        pa_threaded_mainloop_wait(p->loop);
    }

    p->stream = pa_stream_new(p->context, kStreamName, &sampleSpec, nullptr);
    if (!p->stream) return fail(AE_ERROR_DEVICE);
    pa_stream_set_state_callback(p->stream, Impl::streamState, p);
    pa_stream_set_write_callback(p->stream, Impl::streamWrite, p);
    pa_stream_set_latency_update_callback(p->stream, Impl::streamTiming, p);
    const uint32_t ms = std::clamp(bufferMs, kMinBufferMs, kMaxBufferMs);
    pa_buffer_attr& attr = p->attr;
    attr.maxlength = static_cast<uint32_t>(-1);
    attr.tlength = static_cast<uint32_t>(pa_usec_to_bytes(ms * PA_USEC_PER_MSEC, &sampleSpec));
    attr.prebuf = static_cast<uint32_t>(-1);
    attr.minreq = static_cast<uint32_t>(-1);  // quick requests: it starts out silent
    attr.fragsize = static_cast<uint32_t>(-1);
    const auto flags = static_cast<pa_stream_flags_t>(
        PA_STREAM_INTERPOLATE_TIMING | PA_STREAM_AUTO_TIMING_UPDATE | PA_STREAM_ADJUST_LATENCY);
    if (pa_stream_connect_playback(p->stream, nullptr, &attr, flags, nullptr, nullptr) < 0)
        return fail(AE_ERROR_DEVICE);
    while (pa_stream_get_state(p->stream) != PA_STREAM_READY) {
        if (pa_stream_get_state(p->stream) == PA_STREAM_FAILED)
            return fail(pa_context_get_state(p->context) == PA_CONTEXT_READY ? AE_ERROR_DEVICE
                                                                             : AE_ERROR_NO_SERVER);
        if (p->failed || p->timedOut) return fail(AE_ERROR_NO_SERVER);
        pa_threaded_mainloop_wait(p->loop);
    }
    if (p->timeoutEvent) {
        api->time_free(p->timeoutEvent);
        p->timeoutEvent = nullptr;
    }
    p->sinkInput = pa_stream_get_index(p->stream);
    p->wakeEvent = api->io_new(api, p->wakeFd, PA_IO_EVENT_INPUT, Impl::wakeUp, p);
    pa_context_set_subscribe_callback(p->context, Impl::subscribed, p);
    if (pa_operation* op =
            pa_context_subscribe(p->context, PA_SUBSCRIPTION_MASK_SINK_INPUT, nullptr, nullptr))
        pa_operation_unref(op);
    {
        // Start from whatever the server gave the stream (it may restore a saved volume).
        std::lock_guard<std::mutex> lock(p->mutex);
        p->volumeSetRaw = PA_VOLUME_INVALID;
    }
    p->queryVolume();
    p->opened = true;
    pa_threaded_mainloop_unlock(p->loop);
    *error = AE_OK;
    return std::unique_ptr<PulseOutput>(new PulseOutput(std::move(impl)));
}

void PulseOutput::setPaused(bool paused) {
    impl_->paused = paused;
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        impl_->corkRequested = true;
        impl_->corkValue = paused;
    }
    impl_->wake();
}

void PulseOutput::soundReady() {
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        impl_->soundRequested = true;
    }
    impl_->wake();
}

bool PulseOutput::paused() const {
    return impl_->paused;
}

bool PulseOutput::setVolume(float v) {
    if (!(v >= 0.0f && v <= 1.0f)) return false;
    const pa_volume_t raw = volumeToServer(v);
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        impl_->volumeRequested = true;
        impl_->volumeValue = raw;
        ++impl_->volumeGeneration;
        impl_->volume = v;
        impl_->volumeSetRaw = raw;
    }
    impl_->wake();
    return true;
}

float PulseOutput::volume() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->volume;
}

int64_t PulseOutput::framesWritten() const {
    return impl_->written.load(std::memory_order_relaxed);
}

int64_t PulseOutput::framesPlayed() const {
    int64_t frames = 0;
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        if (impl_->snapshotValid) {
            frames = impl_->snapshotFrames;
            if (impl_->snapshotRunning && !impl_->paused) {
                auto elapsed = std::chrono::duration_cast<std::chrono::microseconds>(
                    Clock::now() - impl_->snapshotTime);
                frames += elapsed.count() * static_cast<int64_t>(impl_->rate) / 1000000;
            }
        }
    }
    frames = std::min(frames, framesWritten());
    // Several threads may ask; the answer never goes backwards.
    int64_t high = impl_->playedHigh.load();
    while (frames > high && !impl_->playedHigh.compare_exchange_weak(high, frames)) {
    }
    return std::max(frames, high);
}

bool PulseOutput::failed() const {
    return impl_->failed;
}

}  // namespace ae

// The engine's one playback stream in the sound server (PulseAudio, or PipeWire's pulse server).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

namespace ae {

class PulseOutput {
  public:
    // Pull callback, run on PulseAudio's thread: must fill exactly `frames` interleaved S16
    // frames of `channels` channels (write silence when nothing plays). Never block in it for
    // long. The PulseOutput methods below take no lock the callback could be waiting for, so
    // they may be called from anywhere, the callback included, with any engine lock held.
    using Fill = std::function<void(int16_t* out, size_t frames)>;

    // Connects to the sound server (PULSE_SERVER or default) and opens one playback stream named
    // "Velmora" at `rate` Hz, `channels` channels, with about `bufferMs` of latency. nullptr and
    // *error = AE_ERROR_NO_SERVER when no server answers within a few seconds; AE_ERROR_DEVICE
    // when the format is refused; AE_ERROR_PARAM without a fill callback. When the server or
    // the stream is lost afterwards, the output makes them again by itself (same address
    // rules, a few tries a second) and fill is not called until a new stream asks for data.
    static std::unique_ptr<PulseOutput> open(uint32_t rate, uint32_t channels, uint32_t bufferMs,
                                             Fill fill, int* error);
    ~PulseOutput();  // disconnects and joins PulseAudio's thread; fill is never called afterwards
    PulseOutput(const PulseOutput&) = delete;
    PulseOutput& operator=(const PulseOutput&) = delete;

    // Cork / uncork. Takes effect in the server shortly after the call returns.
    void setPaused(bool paused);
    bool paused() const;
    // A channel has started: its sound replaces the silence queued in the server right away
    // rather than at the server's next request for data.
    void soundReady();
    // Our stream's volume in the server (sink-input volume), 0..1 of its normal volume, as the
    // desktop's mixer shows it in percent (0.5 reads 50 %; the server's scale is cubic, so
    // that is an eighth of the amplitude). Applied shortly after the call returns, or to the
    // next stream while the connection is lost; false when v is out of range.
    bool setVolume(float v);
    // The value last set; follows changes made in the server by others (a desktop mixer, a
    // volume restored by the server) once they are reported.
    float volume() const;
    int64_t framesWritten() const;  // frames handed to the server so far
    int64_t framesPlayed()
        const;  // frames actually heard so far (written minus latency), monotonic
    // True while the connection to the server or the stream is lost: nothing is heard until
    // the output has reconnected.
    bool failed() const;

    struct Impl;

  private:
    explicit PulseOutput(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace ae

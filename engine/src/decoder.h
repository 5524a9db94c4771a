// The decoder thread: reads the input's packets, decodes them, converts the sound to stereo S16
// at the output rate and queues it, and ties the input's events to the PCM they come with.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <thread>
#include <vector>

struct AVCodecContext;
struct AVFrame;
struct AVPacket;
struct SwrContext;

#include "asf_header.h"

namespace ae {

class PcmQueue;
class Timeline;
struct Input;

// How many of the first `frames` interleaved stereo frames are digital silence (both samples
// zero), counting at most `budget`.
size_t leadingSilentFrames(const int16_t* stereo, size_t frames, size_t budget);

class Decoder {
  public:
    // netBufferMs: the sound the download buffer is sized to hold, at the measured byte rate.
    Decoder(Input& input, PcmQueue& pcm, Timeline& timeline, uint32_t outputRate,
            uint32_t netBufferMs);
    ~Decoder();  // joins the thread; stop it first (abort the input and the queue)
    Decoder(const Decoder&) = delete;
    Decoder& operator=(const Decoder&) = delete;

    void start();
    // After the input and the queue were aborted: waits for the thread. Never on the thread.
    void join();

  private:
    void run();
    void noteStreamEvents(AVPacket* pkt);
    void convertAndPush(AVFrame* frame);
    // Decodes and queues what the decoder still holds.
    void drain(AVCodecContext* dec, AVFrame* frame);
    // Counts a decoded packet's bytes and sound; resizes the download buffer when the
    // measured byte rate has moved.
    void measure(int64_t bytes, int64_t micros);
    // Takes the script commands of the current demuxer's ASF header.
    void loadScript();

    // Set on construction.
    Input& input_;
    PcmQueue& pcm_;
    Timeline& timeline_;
    const uint32_t outputRate_;
    const uint32_t netBufferMs_;
    std::thread thread_;

    // Decoder thread only.
    SwrContext* swr_ = nullptr;
    int swrFormat_ = -1, swrRate_ = 0, swrChannels_ = 0;
    std::vector<int16_t> convertBuf_;
    size_t leadingSilenceLeft_ = 0;          // silent frames that may still be dropped
    std::vector<std::string> lastComments_;  // the Ogg comments last reported
    double sizedForRate_ = 0;                // the byte rate the download buffer was sized for
    std::deque<AsfScriptCommand> script_;    // ASF script commands still to come, in order
    int64_t prerollMs_ = 0;                  // the current ASF header's preroll
    // Packets that share a stream position (those of one Ogg page) follow each other from it.
    int64_t lastPacketPos_ = -1, sizeSincePos_ = 0;
};

}  // namespace ae

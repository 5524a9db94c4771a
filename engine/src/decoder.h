// The decoder thread: reads the input's packets, decodes them, converts the sound to stereo S16
// at the output rate and queues it, and ties the input's events to the PCM they come with.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

struct AVFrame;
struct AVPacket;
struct SwrContext;

namespace ae {

class PcmQueue;
class Timeline;
struct Input;

// How many of the first `frames` interleaved stereo frames are digital silence (both samples
// zero), counting at most `budget`.
size_t leadingSilentFrames(const int16_t* stereo, size_t frames, size_t budget);

class Decoder {
  public:
    Decoder(Input& input, PcmQueue& pcm, Timeline& timeline, uint32_t outputRate);
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

    // Set on construction.
    Input& input_;
    PcmQueue& pcm_;
    Timeline& timeline_;
    const uint32_t outputRate_;
    std::thread thread_;

    // Decoder thread only.
    SwrContext* swr_ = nullptr;
    int swrFormat_ = -1, swrRate_ = 0, swrChannels_ = 0;
    std::vector<int16_t> convertBuf_;
    size_t leadingSilenceLeft_ = 0;          // silent frames that may still be dropped
    std::vector<std::string> lastComments_;  // the Ogg comments last reported
};

}  // namespace ae

// The engine behind the C interface: the stream table, the one output that mixes the playing
// streams, and the one thread that runs sync callbacks.
#pragma once

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "audioengine.h"
#include "config.h"

namespace ae {

class Cancel;
class PulseOutput;
class Stream;

class Engine {
  public:
    // Opens the output; AE_OK or an error code.
    static int start(uint32_t rate, std::shared_ptr<Engine>& out);
    ~Engine();

    // Stops the output, aborts creations, frees every stream and joins every engine thread.
    void shutdown();

    uint32_t loadPlugin(const std::string& name);
    int createStream(const std::string& url, uint32_t flags, AE_DOWNLOADPROC proc, void* user,
                     const Config& config, AE_HANDLE& out);
    // Aborts the creations in progress; they fail with AE_ERROR_ABORTED.
    void abortCreations();
    std::shared_ptr<Stream> find(AE_HANDLE handle);
    bool freeStream(AE_HANDLE handle);
    int play(AE_HANDLE handle);

    // Output operations; false when the output is gone.
    bool setPaused(bool paused);
    bool paused();
    bool setVolume(float volume);
    float volume();
    int64_t framesPlayed();
    // True while the sound server is lost and the output waits for it to come back.
    bool outputLost();

  private:
    Engine() = default;
    void fill(int16_t* out, size_t frames);
    void syncLoop();

    uint32_t rate_ = 44100;

    std::mutex mtx_;  // guards the table, creations, plug-ins, the output pointer, stopping_
    std::map<AE_HANDLE, std::shared_ptr<Stream>> streams_;
    std::set<Cancel*> creating_;
    Plugins plugins_;
    std::unique_ptr<PulseOutput> output_;
    bool stopping_ = false;

    std::mutex mixMtx_;  // guards voices_ and outFrames_; held by the output thread while mixing
    std::vector<std::shared_ptr<Stream>> voices_;
    int64_t outFrames_ = 0;
    std::vector<int32_t> acc_;

    std::mutex syncMtx_;  // guards syncStop_ and syncKick_
    std::condition_variable syncWake_;
    bool syncStop_ = false;
    bool syncKick_ = false;  // a stream started playing: its events may come due soon
    std::thread syncThread_;
};

}  // namespace ae

// The engine behind the C interface: the stream table, the one output that mixes the playing
// streams, and the one thread that runs sync callbacks.
#pragma once

#include <array>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "audioengine.h"
#include "config.h"
#include "stream.h"

namespace ae {

class Cancel;
class PulseOutput;

class Engine {
  public:
    // Opens the output; AE_OK or an error code.
    static int start(uint32_t rate, std::shared_ptr<Engine>& out);
    ~Engine();

    // Stops the output, aborts creations, frees every stream and joins every engine thread.
    // Never on the sync thread (see onSyncThread).
    void shutdown();
    // Whether the caller runs on a sync thread, that is, inside a sync callback.
    static bool onSyncThread();

    uint32_t loadPlugin(const std::string& name);
    int createStream(const std::string& url, uint32_t flags, AE_DOWNLOADPROC proc, void* user,
                     const Config& config, AE_HANDLE& out);
    // Aborts the creations in progress; they fail with AE_ERROR_ABORTED.
    void abortCreations();
    std::shared_ptr<Stream> find(AE_HANDLE handle);
    // Once it returns, no callback of the stream's syncs starts any more.
    bool freeStream(AE_HANDLE handle);
    // AE_OK or an error code. Once removeSync returns, no callback of that sync starts.
    int addSync(AE_HANDLE handle, uint32_t type, AE_SYNCPROC proc, void* user, AE_SYNC& out);
    int removeSync(AE_HANDLE handle, AE_SYNC sync);
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
    // Changes the list of playing streams (see voices_).
    template <typename Edit>
    void editVoices(Edit edit);
    void syncLoop();
    void kickSync();  // wakes the sync thread: a stream plays or the output resumes

    uint32_t rate_ = 44100;

    // Guards liveSyncs_, the registered syncs and their streams; taken before mtx_. The sync
    // thread starts a callback only while its sync is listed, which it checks under this lock,
    // so a removal or free that has returned is final.
    std::mutex callMtx_;
    std::map<AE_SYNC, AE_HANDLE> liveSyncs_;

    std::mutex mtx_;  // guards the table, creations, plug-ins, the output pointer, stopping_
    std::map<AE_HANDLE, std::shared_ptr<Stream>> streams_;
    std::set<Cancel*> creating_;
    Plugins plugins_;
    std::unique_ptr<PulseOutput> output_;
    bool stopping_ = false;

    // The playing streams. The output thread mixes them under mixMtx_; other threads build a
    // changed list outside it (one at a time, under voicesEditMtx_) and only swap it in under
    // mixMtx_, so the mixer never waits longer than a swap and never frees a stream.
    std::mutex voicesEditMtx_;
    std::mutex mixMtx_;
    std::vector<std::shared_ptr<Stream>> voices_;

    // Output thread only.
    int64_t outFrames_ = 0;
    std::array<int32_t, Stream::kMaxMixFrames * 2> acc_{};

    std::mutex syncMtx_;  // guards syncStop_ and syncKick_
    std::condition_variable syncWake_;
    bool syncStop_ = false;
    bool syncKick_ = false;  // a stream started playing or the output resumed
    std::thread syncThread_;
};

}  // namespace ae

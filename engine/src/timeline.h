// The stream's events on their way to the listener: metadata reported at an audio byte offset
// by the download, tied to a PCM frame once the decoder reaches that byte, to an output frame
// once the mixer takes that PCM, and applied (tag values changed, syncs fired) once the output
// has played that frame. Also the sync registrations and the tag values the events leave.
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "audioengine.h"

namespace ae {

// A sync callback due to run, collected under the timeline's lock and called without it.
struct SyncCall {
    AE_SYNCPROC proc;
    AE_SYNC sync;
    AE_HANDLE channel;
    void* user;
};

class Timeline {
  public:
    static constexpr size_t kMaxPendingEvents = 256;

    // Download thread: metadata that starts at audio byte `offset`.
    void addMeta(std::string_view text, uint64_t offset);
    // Decoder thread: the demuxer has taken the audio bytes before `reached`; the PCM they
    // decode to starts at queue position `pcmAt`. changed: new Ogg comments from this point.
    void reachBytes(int64_t reached, int64_t pcmAt, const std::vector<std::string>* changed);
    // Decoder thread, at the end of decoding: whatever was announced but not reached belongs at
    // the very end, queue position `pcmAt`.
    void endOfDecoding(int64_t pcmAt);
    // Output thread: queue positions [first, first + frames) are heard from output frame
    // `outFrame` on; drained: the queue has ended, every remaining event is heard at its end.
    void mixed(int64_t first, size_t frames, int64_t outFrame, bool drained);
    // Sync thread: applies the events heard by output frame `framesPlayed`, collecting the syncs
    // they fire for `channel`. True when no heard event is left waiting.
    bool collect(int64_t framesPlayed, AE_HANDLE channel, std::vector<SyncCall>& calls);

    struct Pending {
        int64_t heardAt = INT64_MAX;  // output frame of the next heard event
        int64_t pcmAt = INT64_MAX;    // queue position of the next decoded event
        bool bytes = false;           // events still wait for the decoder
    };
    Pending pending() const;

    // The playback has been started: from now on titles change when heard.
    void started();

    std::string metaText() const;
    std::vector<std::string> oggTags() const;
    void setOggTags(std::vector<std::string> tags);  // while opening

    AE_SYNC addSync(uint32_t type, AE_SYNCPROC proc, void* user);
    bool removeSync(AE_SYNC sync);

  private:
    enum class Kind { Meta, OggChange };
    struct Event {
        Kind kind;
        std::string text;               // Meta: the metadata text
        std::vector<std::string> list;  // OggChange: the new comments
        int64_t at = 0;                 // byte offset, queue position or output frame by list
    };
    struct SyncReg {
        AE_SYNC id;
        uint32_t type;
        AE_SYNCPROC proc;
        void* user;
    };

    mutable std::mutex mtx_;         // guards everything below
    std::deque<Event> byteEvents_;   // at: audio byte offset
    std::deque<Event> pcmEvents_;    // at: queue position
    std::deque<Event> heardEvents_;  // at: output frame
    bool started_ = false;
    std::string metaText_;
    std::vector<std::string> oggTags_;
    std::vector<SyncReg> syncs_;
};

}  // namespace ae

// The stream's events on their way to the listener: metadata reported at an audio byte offset
// by the download, tied to a PCM frame once the decoder reaches that byte, to an output frame
// once the mixer takes that PCM, and applied (tag values changed, syncs fired) once the output
// has played that frame. Also the sync registrations and the tag values the events leave.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "audioengine.h"
#include "spsc_ring.h"

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
    // Decoder thread: the next packet ends at audio byte `reached`; its PCM starts at queue
    // position `pcmAt`, where the events within its bytes are placed. changed: new Ogg comments
    // from this point.
    void reachBytes(int64_t reached, int64_t pcmAt, const std::vector<std::string>* changed);
    // Decoder thread, at the end of decoding: whatever was announced but not reached belongs at
    // the very end, queue position `pcmAt`.
    void endOfDecoding(int64_t pcmAt);
    // Decoder thread: a new Windows Media program with these header tags starts at queue
    // position `pcmAt`.
    void newProgram(int64_t pcmAt, std::vector<std::string> tags);
    // Decoder thread: Windows Media mid-stream metadata ("name=value") from queue position
    // `pcmAt` on.
    void wmaMeta(int64_t pcmAt, std::string entry);
    // Output thread: queue positions [first, first + frames) are heard from output frame
    // `outFrame` on; drained: the queue has ended, every remaining event is heard at its end.
    // Takes no lock and allocates nothing: the events are placed by collect().
    void mixed(int64_t first, size_t frames, int64_t outFrame, bool drained);
    // Sync thread: places the events the mixer has passed at their output frames, then applies
    // the events heard by output frame `framesPlayed`, collecting the syncs they fire for
    // `channel`. True when no heard event is left waiting.
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
    std::vector<std::string> wmaTags() const;
    std::vector<std::string> wmaMetaTags() const;
    void setWmaTags(std::vector<std::string> tags);  // while opening

    AE_SYNC addSync(uint32_t type, AE_SYNCPROC proc, void* user);
    bool removeSync(AE_SYNC sync);

  private:
    enum class Kind { Meta, OggChange, WmaChange, WmaMeta };
    struct Event {
        Kind kind;
        std::string text;               // Meta: the metadata text; WmaMeta: its entry
        std::vector<std::string> list;  // OggChange, WmaChange: the new tags
        int64_t at = 0;                 // byte offset, queue position or output frame by list
    };
    struct SyncReg {
        AE_SYNC id;
        uint32_t type;
        AE_SYNCPROC proc;
        void* user;
    };

    // Where a run of mixed queue positions is heard: output frame = position + offset.
    struct Segment {
        int64_t from = 0;  // first queue position of the run
        int64_t offset = 0;
    };
    // Offset changes the mixer may report before the sync thread takes them.
    static constexpr size_t kMaxSegments = 256;

    // Moves the events the mixer has passed to heardEvents_ (collect(), mtx_ held).
    void placeMixed();

    // Output thread only.
    int64_t mixOffset_ = 0;
    bool mixOffsetSent_ = false;
    // Written by the output thread, read by collect(): a new segment whenever the offset
    // changes (a start, or a restart after the queue ran dry), the queue position mixed up to,
    // and the output frame where a drained queue ended (-1 until then).
    SpscRing<Segment> segments_{kMaxSegments};
    std::atomic<int64_t> mixedEnd_{0};
    std::atomic<int64_t> drainedAt_{-1};

    mutable std::mutex mtx_;         // guards everything below
    std::deque<Event> byteEvents_;   // at: audio byte offset
    std::deque<Event> pcmEvents_;    // at: queue position
    std::deque<Event> heardEvents_;  // at: output frame
    std::deque<Segment> placing_;    // segments taken from segments_, the last one in force
    bool started_ = false;
    std::string metaText_;
    std::vector<std::string> oggTags_;
    std::vector<std::string> wmaTags_;
    std::vector<std::string> wmaMeta_;  // the latest entry of each name
    std::vector<SyncReg> syncs_;
};

}  // namespace ae

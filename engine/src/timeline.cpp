#include "timeline.h"

#include <algorithm>
#include <atomic>

namespace ae {

void Timeline::addMeta(std::string_view text, uint64_t offset) {
    std::lock_guard lock(mtx_);
    if (byteEvents_.size() >= kMaxPendingEvents) byteEvents_.pop_front();
    byteEvents_.push_back({Kind::Meta, std::string(text), {}, static_cast<int64_t>(offset)});
    // Until playback starts, the newest title is the one the listener will hear first.
    if (!started_) metaText_ = text;
}

void Timeline::reachBytes(int64_t reached, int64_t pcmAt, const std::vector<std::string>* changed) {
    std::lock_guard lock(mtx_);
    while (!byteEvents_.empty() && byteEvents_.front().at <= reached) {
        Event e = std::move(byteEvents_.front());
        byteEvents_.pop_front();
        e.at = pcmAt;
        pcmEvents_.push_back(std::move(e));
    }
    if (changed) pcmEvents_.push_back({Kind::OggChange, {}, *changed, pcmAt});
    while (pcmEvents_.size() > kMaxPendingEvents) pcmEvents_.pop_front();
}

void Timeline::endOfDecoding(int64_t pcmAt) {
    std::lock_guard lock(mtx_);
    for (Event& e : byteEvents_) {
        e.at = pcmAt;
        pcmEvents_.push_back(std::move(e));
    }
    byteEvents_.clear();
}

void Timeline::mixed(int64_t first, size_t frames, int64_t outFrame, bool drained) {
    const int64_t end = first + static_cast<int64_t>(frames);
    std::lock_guard lock(mtx_);
    while (!pcmEvents_.empty() && (pcmEvents_.front().at < end || drained)) {
        Event e = std::move(pcmEvents_.front());
        pcmEvents_.pop_front();
        e.at = outFrame + std::clamp<int64_t>(e.at - first, 0, static_cast<int64_t>(frames));
        heardEvents_.push_back(std::move(e));
    }
}

bool Timeline::collect(int64_t framesPlayed, AE_HANDLE channel, std::vector<SyncCall>& calls) {
    std::lock_guard lock(mtx_);
    while (!heardEvents_.empty() && heardEvents_.front().at <= framesPlayed) {
        Event e = std::move(heardEvents_.front());
        heardEvents_.pop_front();
        uint32_t type;
        if (e.kind == Kind::Meta) {
            metaText_ = std::move(e.text);
            type = AE_SYNC_META;
        } else {
            oggTags_ = std::move(e.list);
            type = AE_SYNC_OGG_CHANGE;
        }
        for (const SyncReg& reg : syncs_) {
            if (reg.type == type) calls.push_back({reg.proc, reg.id, channel, reg.user});
        }
    }
    return heardEvents_.empty();
}

Timeline::Pending Timeline::pending() const {
    std::lock_guard lock(mtx_);
    Pending p;
    if (!heardEvents_.empty()) p.heardAt = heardEvents_.front().at;
    if (!pcmEvents_.empty()) p.pcmAt = pcmEvents_.front().at;
    p.bytes = !byteEvents_.empty();
    return p;
}

void Timeline::started() {
    std::lock_guard lock(mtx_);
    started_ = true;
}

std::string Timeline::metaText() const {
    std::lock_guard lock(mtx_);
    return metaText_;
}

std::vector<std::string> Timeline::oggTags() const {
    std::lock_guard lock(mtx_);
    return oggTags_;
}

void Timeline::setOggTags(std::vector<std::string> tags) {
    std::lock_guard lock(mtx_);
    oggTags_ = std::move(tags);
}

AE_SYNC Timeline::addSync(uint32_t type, AE_SYNCPROC proc, void* user) {
    static std::atomic<AE_SYNC> nextSync{1};
    AE_SYNC id = nextSync++;
    if (id == 0) id = nextSync++;
    std::lock_guard lock(mtx_);
    syncs_.push_back({id, type, proc, user});
    return id;
}

bool Timeline::removeSync(AE_SYNC sync) {
    std::lock_guard lock(mtx_);
    return std::erase_if(syncs_, [&](const SyncReg& r) { return r.id == sync; }) > 0;
}

}  // namespace ae

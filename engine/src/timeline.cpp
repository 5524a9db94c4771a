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
    // An event at a packet's last byte boundary belongs to the next packet's sound.
    while (!byteEvents_.empty() && byteEvents_.front().at < reached) {
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

void Timeline::newProgram(int64_t pcmAt, std::vector<std::string> tags) {
    std::lock_guard lock(mtx_);
    pcmEvents_.push_back({Kind::WmaChange, {}, std::move(tags), pcmAt});
    while (pcmEvents_.size() > kMaxPendingEvents) pcmEvents_.pop_front();
}

void Timeline::wmaMeta(int64_t pcmAt, std::string entry) {
    std::lock_guard lock(mtx_);
    pcmEvents_.push_back({Kind::WmaMeta, std::move(entry), {}, pcmAt});
    while (pcmEvents_.size() > kMaxPendingEvents) pcmEvents_.pop_front();
}

void Timeline::mixed(int64_t first, size_t frames, int64_t outFrame, bool drained) {
    const int64_t offset = outFrame - first;
    if (frames > 0 && (!mixOffsetSent_ || offset != mixOffset_)) {
        // Full only when the sync thread has not looked for a long while: the change is sent
        // again with the next mix, and the events meanwhile keep the last offset.
        const Segment segment{first, offset};
        if (segments_.tryWrite(&segment, 1) == 1) {
            mixOffset_ = offset;
            mixOffsetSent_ = true;
        }
    }
    mixedEnd_ = first + static_cast<int64_t>(frames);
    if (drained) drainedAt_ = outFrame + static_cast<int64_t>(frames);
}

void Timeline::placeMixed() {
    const int64_t drainedAt = drainedAt_.load();  // first: once drained, the end is final
    const int64_t end = mixedEnd_.load();
    Segment segment;
    while (segments_.take(&segment, 1) == 1) placing_.push_back(segment);
    while (!pcmEvents_.empty()) {
        Event& e = pcmEvents_.front();
        if (e.at < end && !placing_.empty()) {
            while (placing_.size() > 1 && placing_[1].from <= e.at) placing_.pop_front();
            e.at = std::max(e.at, placing_.front().from) + placing_.front().offset;
        } else if (drainedAt >= 0) {
            e.at = drainedAt;
        } else {
            break;
        }
        heardEvents_.push_back(std::move(e));
        pcmEvents_.pop_front();
    }
    // Later events lie at or past `end`: only the segment in force there is needed.
    while (placing_.size() > 1 && placing_[1].from <= end) placing_.pop_front();
}

bool Timeline::collect(int64_t framesPlayed, AE_HANDLE channel, std::vector<SyncCall>& calls) {
    std::lock_guard lock(mtx_);
    placeMixed();
    while (!heardEvents_.empty() && heardEvents_.front().at <= framesPlayed) {
        Event e = std::move(heardEvents_.front());
        heardEvents_.pop_front();
        uint32_t type;
        if (e.kind == Kind::Meta) {
            metaText_ = std::move(e.text);
            type = AE_SYNC_META;
        } else if (e.kind == Kind::OggChange) {
            oggTags_ = std::move(e.list);
            type = AE_SYNC_OGG_CHANGE;
        } else if (e.kind == Kind::WmaChange) {
            wmaTags_ = std::move(e.list);
            type = AE_SYNC_WMA_CHANGE;
        } else {
            const std::string name = e.text.substr(0, e.text.find('=') + 1);
            auto same = std::find_if(wmaMeta_.begin(), wmaMeta_.end(),
                                     [&](const std::string& x) { return x.starts_with(name); });
            if (same != wmaMeta_.end())
                *same = std::move(e.text);
            else
                wmaMeta_.push_back(std::move(e.text));
            type = AE_SYNC_WMA_META;
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

std::vector<std::string> Timeline::wmaTags() const {
    std::lock_guard lock(mtx_);
    return wmaTags_;
}

std::vector<std::string> Timeline::wmaMetaTags() const {
    std::lock_guard lock(mtx_);
    return wmaMeta_;
}

void Timeline::setWmaTags(std::vector<std::string> tags) {
    std::lock_guard lock(mtx_);
    wmaTags_ = std::move(tags);
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

#include "tags.h"

#include <deque>

#include "ffmpeg_libs.h"
#include "ascii_text.h"

namespace ae {

std::vector<std::string> dictToList(const AVDictionary* dict) {
    std::vector<std::string> out;
    const AVDictionaryEntry* e = nullptr;
    while ((e = ff::api().av_dict_get(dict, "", e, AV_DICT_IGNORE_SUFFIX)) != nullptr) {
        out.push_back(std::string(e->key) + "=" + e->value);
    }
    return out;
}

std::vector<std::string> windowsMediaTags(const AVDictionary* dict) {
    std::vector<std::string> out;
    const AVDictionaryEntry* e = nullptr;
    while ((e = ff::api().av_dict_get(dict, "", e, AV_DICT_IGNORE_SUFFIX)) != nullptr) {
        std::string key = toLower(e->key);
        if (key == "artist") key = "author";
        if (key == "comment") key = "description";
        out.push_back(key + "=" + e->value);
    }
    return out;
}

TagBlock TagVersions::keep(uint32_t kind, std::string block) {
    std::lock_guard lock(mtx_);
    TagBlock& newest = newest_[kind];
    if (!newest || *newest != block) newest = std::make_shared<const std::string>(std::move(block));
    return newest;
}

namespace {

struct HeldTag {
    uint32_t handle;
    uint32_t kind;
    TagBlock block;
};

// Oldest first.
thread_local std::deque<HeldTag> t_held;

}  // namespace

const char* holdForThread(uint32_t handle, uint32_t kind, TagBlock block) {
    std::erase_if(t_held, [&](const HeldTag& h) { return h.handle == handle && h.kind == kind; });
    if (t_held.size() >= kMaxHeldTags) t_held.pop_front();
    const char* text = block->c_str();
    t_held.push_back({handle, kind, std::move(block)});
    return text;
}

void releaseThreadTags() {
    t_held.clear();
}

}  // namespace ae

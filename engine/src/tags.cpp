#include "tags.h"

#include "ffmpeg_libs.h"
#include "playlist.h"

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

const char* TagVersions::keep(uint32_t kind, std::string block) {
    std::lock_guard lock(mtx_);
    auto& versions = versions_[kind];
    if (versions.empty() || *versions.back() != block) {
        versions.push_back(std::make_unique<std::string>(std::move(block)));
        if (versions.size() > kKept) versions.pop_front();
    }
    return versions.back()->c_str();
}

}  // namespace ae

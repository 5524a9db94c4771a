// Tag texts: FFmpeg's dictionaries as "key=value" lists, and the blocks AE_ChannelGetTags
// hands out.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct AVDictionary;

namespace ae {

// Every entry as "key=value", in FFmpeg's order.
std::vector<std::string> dictToList(const AVDictionary* dict);

// Windows Media header tags under their own names: FFmpeg renames the content description's
// Author and Description to its generic artist and comment.
std::vector<std::string> windowsMediaTags(const AVDictionary* dict);

// Keeps the tag blocks handed out alive: a changed text gets a new buffer, and the last few
// stay valid for callers still reading them. Any thread.
class TagVersions {
  public:
    static constexpr size_t kKinds = 12;
    static constexpr size_t kKept = 8;

    // The stored copy of `block` for `kind` (< kKinds): the newest one when it is unchanged.
    const char* keep(uint32_t kind, std::string block);

  private:
    std::mutex mtx_;  // guards versions_
    std::deque<std::unique_ptr<std::string>> versions_[kKinds];
};

}  // namespace ae

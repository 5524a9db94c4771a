// Tag texts: FFmpeg's dictionaries as "key=value" lists, and the blocks AE_ChannelGetTags
// hands out.
#pragma once

#include <cstdint>
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

using TagBlock = std::shared_ptr<const std::string>;

// The newest tag block of each kind: an unchanged text is handed out again as the same block,
// a changed one as a new block. A block lives on while anyone holds it. Any thread.
class TagVersions {
  public:
    static constexpr size_t kKinds = 12;

    // The block for `block`'s text of `kind` (< kKinds).
    TagBlock keep(uint32_t kind, std::string block);

  private:
    std::mutex mtx_;  // guards newest_
    TagBlock newest_[kKinds];
};

// The tag blocks handed to the calling thread, so that the texts stay readable while it reads
// them, even when another thread frees their stream. A thread holds one block per stream and
// kind, for its kMaxHeldTags latest pairs.
inline constexpr size_t kMaxHeldTags = 64;
// Holds `block` for this thread in place of its earlier one of that stream and kind; returns
// its text.
const char* holdForThread(uint32_t handle, uint32_t kind, TagBlock block);
// Lets go of every block this thread holds (the sync thread, after each callback).
void releaseThreadTags();

}  // namespace ae

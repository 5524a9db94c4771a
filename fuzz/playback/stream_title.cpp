// Fuzzes the in-stream metadata title cut and the window's handling of the title it sends.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "playback/playerstatus.h"
#include "tags/tagtext.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string meta(reinterpret_cast<const char*>(data), size);
    const auto title = StreamTitleFromMeta(meta);
    if (!title) return 0;
    if (title->size() > meta.size()) abort();
    std::string station, song;
    const TStatusEffect effect =
        PlayerStatusTransition(7, reinterpret_cast<intptr_t>(title->c_str()), station, song);
    // The song keeps the whole title (for the media controls); the label shows its cut.
    if (song.size() > title->size()) abort();
    if (effect.label3 && effect.label3->size() > kSongTitleMax) abort();
    return 0;
}

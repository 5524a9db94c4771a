// Opens a station on the creating thread: connects, follows playlists to the first entry that
// plays (trying each address once, and at most 64 addresses in all), and probes the format. An
// entry whose server is slow to answer gets the next one asked beside it; the first to answer
// goes on. Blocks; AE_ERROR_ABORTED once the creation is cancelled.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "audioengine.h"
#include "config.h"
#include "input.h"
#include "timeline.h"

struct AVInputFormat;

namespace ae {

class Cancel;

// FFmpeg's demuxer for a declared content type we can trust (parameters and case aside); null
// for any other type, whose bytes FFmpeg then probes itself.
const AVInputFormat* formatForContentType(const std::string& contentType);
// The format an answer's first bytes plainly are (several frames of it in a row), whatever it
// was declared as; null when they are not clear.
const AVInputFormat* plainFormatOf(std::string_view head);

// How deep playlists may name further playlists.
inline constexpr int kMaxPlaylistDepth = 3;

// The download reports metadata into the timeline from the start, so the input always goes
// first: declared last, and replaced first on assignment.
struct Opened {
    Opened() = default;
    Opened(Opened&&) = default;
    Opened& operator=(Opened&& other) noexcept {
        input = std::move(other.input);
        timeline = std::move(other.timeline);
        return *this;
    }

    std::unique_ptr<Timeline> timeline;
    std::unique_ptr<Input> input;
};

// Decoder thread, when the demuxer of a Windows Media stream has stopped at a new header:
// replaces the demuxer and the decoder with ones for the new program. AE_OK and the new
// header's tags, or an AE_ERROR_* code.
int reopenAsf(Input& in, std::vector<std::string>& tags);

// AE_OK and the opened station, or an AE_ERROR_* code.
int openStation(const std::string& url, uint32_t flags, AE_DOWNLOADPROC proc, void* user,
                const StreamSetup& setup, Cancel& cancel, Opened& out);

}  // namespace ae

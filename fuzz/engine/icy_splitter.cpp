// Feeds arbitrary bodies to the ICY metadata splitter in arbitrary chunks and checks that the
// result never depends on where the chunks were cut.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "icy_splitter.h"

namespace {

struct Result {
    std::string audio;
    std::vector<std::pair<std::string, uint64_t>> meta;
    bool operator==(const Result&) const = default;
};

Result split(uint32_t metaint, const uint8_t* data, size_t size, const uint8_t* cuts,
             size_t ncuts) {
    ae::IcySplitter splitter(metaint);
    Result r;
    auto audio = [&](const uint8_t* d, size_t n) {
        r.audio.append(reinterpret_cast<const char*>(d), n);
        return true;
    };
    auto meta = [&](std::string_view t, uint64_t off) {
        if (t.empty() || t.size() > 255 * 16 || off != r.audio.size()) std::abort();
        r.meta.emplace_back(std::string(t), off);
    };
    size_t pos = 0;
    for (size_t i = 0; i < ncuts && pos < size; ++i) {
        size_t n = std::min<size_t>(cuts[i], size - pos);
        splitter.feed(data + pos, n, audio, meta);
        pos += n;
    }
    splitter.feed(data + pos, size - pos, audio, meta);
    if (splitter.audioBytes() != r.audio.size()) std::abort();
    return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    // Small intervals reach the metadata states often.
    uint32_t metaint = data[0] % 64;
    size_t ncuts = data[1] % 16;
    data += 2;
    size -= 2;
    if (size < ncuts) return 0;
    const uint8_t* cuts = data;
    data += ncuts;
    size -= ncuts;
    Result whole = split(metaint, data, size, nullptr, 0);
    Result pieces = split(metaint, data, size, cuts, ncuts);
    if (!(whole == pieces)) std::abort();
    ae::IcySplitter::parseMetaint(
        std::string_view(reinterpret_cast<const char*>(data), std::min<size_t>(size, 16)));
    return 0;
}

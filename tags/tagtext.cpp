#include "tags/tagtext.h"

#include <charconv>
#include <cstring>

#include "audioengine.h"

namespace {
constexpr std::size_t kTextAfterMax = 255;
constexpr std::string_view kStreamTitleKey = "StreamTitle=";
}  // namespace

void ForEachTagEntry(const char* list, const std::function<void(std::string_view)>& visit) {
    if (!list) return;
    while (*list) {
        const std::size_t length = std::strlen(list);
        visit(std::string_view(list, length));
        list += length + 1;
    }
}

bool HasPrefix(std::string_view entry, std::string_view prefix) {
    return entry.size() >= prefix.size() && entry.compare(0, prefix.size(), prefix) == 0;
}

std::string TextBefore(std::string_view text, char separator) {
    const auto at = text.find(separator);
    return std::string(at == std::string_view::npos ? text : text.substr(0, at));
}

std::string TextAfter(std::string_view text, char separator) {
    const auto at = text.find(separator);
    if (at == std::string_view::npos) return std::string(text);
    return std::string(text.substr(at + 1, kTextAfterMax));
}

std::string TrimBlanks(std::string_view text) {
    std::size_t begin = 0, end = text.size();
    while (begin < end && static_cast<unsigned char>(text[begin]) <= ' ') ++begin;
    while (end > begin && static_cast<unsigned char>(text[end - 1]) <= ' ') --end;
    return std::string(text.substr(begin, end - begin));
}

int32_t DecimalOrZero(std::string_view text) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    int32_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || text.empty()) return 0;
    return value;
}

std::optional<std::string> StreamTitleFromMeta(std::string_view meta) {
    const auto key = meta.find(kStreamTitleKey);
    if (key == std::string_view::npos) return std::nullopt;
    std::string_view rest = meta.substr(key + kStreamTitleKey.size());
    const bool quoted = !rest.empty() && rest.front() == '\'';
    if (quoted) rest.remove_prefix(1);
    const auto end = rest.find(quoted ? "';" : ";");
    if (end != std::string_view::npos) return std::string(rest.substr(0, end));
    if (quoted && !rest.empty() && rest.back() == '\'') rest.remove_suffix(1);
    return std::string(rest);
}

std::string CodecText(uint32_t channelType) {
    switch (channelType) {
        case AE_CTYPE_STREAM_OGG:
            return "ogg";
        case AE_CTYPE_STREAM_MP1:
        case AE_CTYPE_STREAM_MP2:
        case AE_CTYPE_STREAM_MP3:
            return "mp3";
        case AE_CTYPE_STREAM_WMA:
        case AE_CTYPE_STREAM_WMA_MP3:
            return "wma";
        case AE_CTYPE_STREAM_AAC:
            return "aac";
        case AE_CTYPE_STREAM_MP4:
            return "mp4";
        case AE_CTYPE_STREAM_OPUS:
            return "opus";
        case AE_CTYPE_STREAM_FLAC:
        case AE_CTYPE_STREAM_FLAC_OGG:
            return "flac";
        default:
            return "";
    }
}

std::string KbpsText(int32_t bitrate, const std::string& codec) {
    return std::to_string(bitrate) + " kbps " + codec;
}

std::string HzText(uint32_t sampleRate, uint32_t channels) {
    return std::to_string(sampleRate) + " Hz" + (channels == 1 ? " Mono " : " Stereo ");
}

#include "playback/streamtags.h"

#include <cmath>
#include <optional>
#include <vector>

#include "playback/connectworker.h"
#include "playback/station.h"
#include "playback/tagtext.h"

namespace {

constexpr std::string_view kTitleField = "title=";
constexpr std::string_view kIcyName = "icy-name:";
constexpr std::string_view kIcyBitrate = "icy-br:";

// Status 3 for every "title=" entry of a Windows Media list, with a prefix in front.
void SendWmaTitles(AE_HANDLE stream, uint32_t kind, const std::string& prefix) {
    ForEachTagEntry(AE_ChannelGetTags(stream, kind), [&](std::string_view entry) {
        if (HasPrefix(entry, kTitleField))
            PlayerSendText(kStatusStationName,
                           prefix + std::string(entry.substr(kTitleField.size())));
    });
}

void ShowFormat(AE_HANDLE stream) {
    PlayerSetLabel(TPlayerLabel::Kbps, KbpsText(StreamBitrate(stream), CodecName(stream)));
    AE_CHANNELINFO info{};
    AE_ChannelGetInfo(stream, &info);
    PlayerSetLabel(TPlayerLabel::Hz, HzText(info.freq, info.chans));
}

}  // namespace

// The format labels are always set once per connection: a stream whose headers carry no
// "icy-br:" entry (an Icecast mount fed by ffmpeg, a Windows Media stream) would otherwise keep
// showing the window's initial texts or the previous station's format.
void ScanConnectTags(AE_HANDLE stream) {
    if (IsWmaStream.load()) {
        SendWmaTitles(stream, AE_TAG_WMA_META, "1: ");
        ShowFormat(stream);
        return;
    }
    const char* list = nullptr;
    for (uint32_t kind : {AE_TAG_ICY, AE_TAG_HTTP, AE_TAG_OGG}) {
        list = AE_ChannelGetTags(stream, kind);
        if (list) break;
    }
    // Entries are copied before anything else asks the engine for tags, which may replace the
    // list this pointer refers to.
    std::vector<std::string> entries;
    ForEachTagEntry(list, [&](std::string_view entry) { entries.emplace_back(entry); });
    bool formatShown = false;
    for (const std::string& entry : entries) {
        if (HasPrefix(entry, kIcyName)) {
            PlayerSendText(kStatusStationName, entry.substr(kIcyName.size()));
        } else if (HasPrefix(entry, kIcyBitrate)) {
            ShowFormat(stream);
            formatShown = true;
        }
    }
    if (!formatShown) ShowFormat(stream);
}

void ShowStreamTitle(AE_HANDLE stream) {
    if (IsWmaStream.load()) {
        // The first "title=" entry of the mid-stream metadata is the song title.
        std::optional<std::string> title;
        ForEachTagEntry(AE_ChannelGetTags(stream, AE_TAG_WMA_META), [&](std::string_view entry) {
            if (!title && HasPrefix(entry, kTitleField))
                title = std::string(entry.substr(kTitleField.size()));
        });
        if (title) PlayerSendText(kStatusSongTitle, *title);
        return;
    }
    const char* meta = AE_ChannelGetTags(stream, AE_TAG_META);
    if (!meta) return;
    if (const auto title = StreamTitleFromMeta(meta)) PlayerSendText(kStatusSongTitle, *title);
}

void MetaSyncProc(AE_SYNC, AE_HANDLE, uint32_t, void*) {
    ShowStreamTitle(StreamHandle.load());
}

void WmaChangeSyncProc(AE_SYNC, AE_HANDLE, uint32_t, void*) {
    SendWmaTitles(StreamHandle.load(), AE_TAG_WMA, "");
}

int32_t StreamBitrate(AE_HANDLE stream) {
    std::string value;
    if (const char* icy = AE_ChannelGetTags(stream, AE_TAG_ICY)) {
        // The last icy-br entry wins.
        ForEachTagEntry(icy, [&](std::string_view entry) {
            if (TextBefore(entry, ':') == "icy-br") value = TrimBlanks(TextAfter(entry, ':'));
        });
    } else if (const char* http = AE_ChannelGetTags(stream, AE_TAG_HTTP)) {
        bool found = false;
        ForEachTagEntry(http, [&](std::string_view entry) {
            if (found) return;
            const std::string name = TextBefore(entry, ':');
            if (name == "ice-bitrate" || name == "icy-br") {
                value = TrimBlanks(TextAfter(entry, ':'));
                found = true;
            }
        });
    }
    if (!value.empty()) return DecimalOrZero(value);
    // No usable header: the engine's own measure of the stream's bitrate.
    float kbps = 0;
    if (!AE_ChannelGetAttribute(stream, AE_ATTRIB_BITRATE, &kbps)) return 0;
    if (!std::isfinite(kbps) || kbps <= 0 || kbps > 1e6f) return 0;
    return static_cast<int32_t>(std::nearbyint(kbps));
}

std::string CodecName(AE_HANDLE stream) {
    AE_CHANNELINFO info{};
    if (!AE_ChannelGetInfo(stream, &info)) return "";
    return CodecText(info.ctype);
}

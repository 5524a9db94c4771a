#include "playback/playerstatus.h"

#include <cstdio>

#include "text/displaytext.h"
#include "playback/station.h"
#include "playback/windowhandle.h"

std::string BufferingText(int32_t percent) {
    char text[48];
    std::snprintf(text, sizeof text, "Yükleniyor... %d%%", static_cast<int>(percent));
    return text;
}

void TrimTrailingSpaces(std::string& text) {
    while (!text.empty() && text.back() == ' ') text.pop_back();
}

TStatusEffect PlayerStatusTransition(uint32_t code, intptr_t lParam, std::string& stationTitle,
                                     std::string& songTitle) {
    TStatusEffect effect;
    const auto text = [lParam] {
        const char* p = reinterpret_cast<const char*>(lParam);
        return p ? std::string(p) : std::string();
    };
    switch (code) {
        case kStatusConnecting:
            effect.label3 = DefaultStationCaption;
            effect.label4 = kTextConnecting;
            break;
        case kStatusNoService:
            effect.label4 = kTextNoService;
            break;
        case kStatusBuffering:
            effect.label4 = BufferingText(static_cast<int32_t>(lParam));
            effect.repaintLabel4 = true;
            break;
        case kStatusStationName:
            if (stationTitle.empty()) stationTitle = text();
            TrimTrailingSpaces(stationTitle);
            effect.label4 = stationTitle;
            break;
        case kStatusSongTitleAlt:
        case kStatusSongTitle:
            // The whole title is kept for the media controls; only the label is cut.
            songTitle = text();
            TrimTrailingSpaces(songTitle);
            if (!songTitle.empty()) effect.label3 = CutBytes(songTitle, kSongTitleMax);
            break;
        case kStatusInfo:
        case kStatusHeaders:
        default:
            break;  // information the window does not show
    }
    return effect;
}

// What a WM_PLAYER_STATUS message does to the window's status texts, as a pure transition.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

inline constexpr const char* kTextConnecting = "Bağlanıyor...";
inline constexpr const char* kTextNoService = "Servis Yok";
inline constexpr std::size_t kSongTitleMax = 58;

// The label texts to set (byte strings); nothing set means the label keeps its text.
struct TStatusEffect {
    std::optional<std::string> label4;
    std::optional<std::string> label3;
    bool repaintLabel4 = false;  // repaint at once rather than at the next idle repaint
};

// "Yükleniyor... 42%".
std::string BufferingText(int32_t percent);

// Removes trailing spaces (byte 32 only; tabs and other blanks stay).
void TrimTrailingSpaces(std::string& text);

// Applies one status message to stationTitle and songTitle and says what the labels become.
// songTitle keeps the whole title; the label shows its first kSongTitleMax bytes.
// lParam is read by code: a signed 32-bit number (2) or a NUL-ended text (3, 6, 7); codes 4, 5
// and 8 and above change nothing.
TStatusEffect PlayerStatusTransition(uint32_t code, intptr_t lParam, std::string& stationTitle,
                                     std::string& songTitle);

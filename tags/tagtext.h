// Pure text rules for stream tags: tag lists, header fields, the metadata title, format texts.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

// Walks a tag list: NUL-ended texts closed by an empty one. A null list has no entries.
void ForEachTagEntry(const char* list, const std::function<void(std::string_view)>& visit);

// Exact, case-sensitive prefix test; an entry shorter than the prefix never matches.
bool HasPrefix(std::string_view entry, std::string_view prefix);

// The text before the first separator; the whole text when there is none.
std::string TextBefore(std::string_view text, char separator);
// At most 255 characters after the first separator; the whole text when there is none.
std::string TextAfter(std::string_view text, char separator);
// Removes characters of code 32 and below at both ends.
std::string TrimBlanks(std::string_view text);

// A decimal integer (optional sign) that fits 32 bits, else 0.
int32_t DecimalOrZero(std::string_view text);

// The song title in an in-stream metadata text such as StreamTitle='Artist - Song';
// It runs from just past StreamTitle=' to the first "';" after it, or to the end of the text
// (without a closing quote) when none follows. nullopt when there is no "StreamTitle=".
std::optional<std::string> StreamTitleFromMeta(std::string_view meta);

// "mp3", "ogg", "wma", "aac", "mp4", "opus", "flac" by the engine's channel type; empty for any
// other.
std::string CodecText(uint32_t channelType);
// "128 kbps mp3"; with an empty codec the text ends in a blank.
std::string KbpsText(int32_t bitrate, const std::string& codec);
// "44100 Hz Stereo " ("Mono " for exactly one channel).
std::string HzText(uint32_t sampleRate, uint32_t channels);

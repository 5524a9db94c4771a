// Byte-text helpers for protocol texts (header names, content types, playlist lines): ASCII
// rules only, whatever the bytes' character set.
#pragma once

#include <string>
#include <string_view>

namespace ae {

// Space, tab, CR, LF, form feed or vertical tab.
bool isBlank(char c);

// ASCII letters lower-cased; every other byte stays.
std::string toLower(std::string_view text);

// Without blanks (isBlank) at both ends.
std::string_view trim(std::string_view text);

}  // namespace ae

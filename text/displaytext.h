// Byte strings (stream tags, playlist and record files) turned into text for the screen.
#pragma once

#include <QString>
#include <cstddef>
#include <string>

// True when the bytes are well-formed UTF-8 (no overlong forms, surrogates or values past
// U+10FFFF).
bool IsValidUtf8(const std::string& bytes);

// UTF-8 when the bytes are valid UTF-8, otherwise Windows-1254 (Turkish).
QString ToDisplayText(const std::string& bytes);

// The first `count` bytes; when the text is UTF-8, the cut moves back so that it never ends in
// the middle of a character.
std::string CutBytes(const std::string& bytes, std::size_t count);

// Readers of local playlist files (.pls, .m3u, .asx): a station title and a stream address.
//
// Each reader first checks that the location names an existing file (a folder counts as
// missing) and returns at once when it does not, leaving both outputs as they were. A file that
// exists but cannot be opened raises EFOpenError and leaves the outputs unchanged; so does any
// file that is not a regular one (a FIFO, a device), which is never opened for reading.
#pragma once

#include <string>
#include <vector>

enum class TPlaylistKind { None, Pls, M3u, Asx };

// The reader for a location, by its extension in any case: .pls; .m3u, .m3u8 (UTF-8) and .vlc;
// .asx and the other Windows Media metafiles, .wax, .wvx and .wmx.
TPlaylistKind PlaylistKindOf(const std::string& location);

// The text from the last "." of the location, dot included, when no path separator ("/", "\"
// or ":") follows it; empty otherwise.
std::string LocationExtension(const std::string& location);

// ASCII letters only; every other byte stays.
std::string AsciiLower(std::string text);
std::string AsciiUpper(std::string text);

// The file's bytes up to the first NUL, split at CR, LF or CR LF, without a leading UTF-8 byte
// order mark. Only the first kLocalFileReadMax bytes are read.
std::vector<std::string> ReadPlaylistLines(const std::string& path);

// address := the value of File1, then title := the value of Title1 (empty when missing); blanks
// around keys and values do not count.
void plsurl(const std::string& location, std::string& title, std::string& address);
// The last "#EXTINF:-1," line gives the title and the last http:// or https:// line that is no
// comment (first non-blank character "#") the address, without blanks around it. An HLS media
// playlist (segments) gives no address.
void m3uurl(const std::string& location, std::string& title, std::string& address);
// <title> lines give the title and the first href="..."/> (or '...', or a ref element closed at
// once: <ref href="..."></ref>) the address, its XML entities decoded.
void asxurl(const std::string& location, std::string& title, std::string& address);

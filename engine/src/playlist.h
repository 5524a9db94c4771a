// Playlist answers (.pls, .m3u, .asx, .xspf) and address helpers. Pure functions: no I/O.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace ae {

enum class PlaylistKind { None, Pls, M3u, Hls, Asx, Xspf };

// Most entries taken from one playlist, and the longest entry kept.
inline constexpr size_t kMaxPlaylistEntries = 64;
inline constexpr size_t kMaxEntryLength = 4096;

// Decides from the answer's content type, the address and the first bytes of the body whether
// the answer is a playlist. HLS media playlists (#EXT-X- tags) are told apart from plain M3U.
PlaylistKind detectPlaylist(std::string_view contentType, std::string_view url,
                            std::string_view head);

// Entries in playing order, as written (not yet resolved against the playlist's address).
std::vector<std::string> parsePls(std::string_view text);
std::vector<std::string> parseM3u(std::string_view text);
std::vector<std::string> parseAsx(std::string_view text);
std::vector<std::string> parseXspf(std::string_view text);
std::vector<std::string> parsePlaylist(PlaylistKind kind, std::string_view text);

enum class Scheme { Http, FfmpegProtocol, Unsupported };
// http and https go through our own download; mms, mmsh and mmst through FFmpeg's protocols.
Scheme schemeOf(std::string_view url);

// An entry relative to the playlist's address made absolute ("/x", "x", "//host/x").
std::string resolveUrl(std::string_view base, std::string_view ref);

}  // namespace ae

// Runs every playlist parser, the detector and the address resolver on arbitrary text and
// checks the bounds the engine relies on.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "playlist.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    // The first line plays the content type, the second the address, the rest the body.
    size_t a = text.find('\n');
    std::string_view type = text.substr(0, a);
    std::string_view rest = a == std::string_view::npos ? std::string_view() : text.substr(a + 1);
    size_t b = rest.find('\n');
    std::string_view url = rest.substr(0, b);
    std::string_view body = b == std::string_view::npos ? std::string_view() : rest.substr(b + 1);

    ae::PlaylistKind kind = ae::detectPlaylist(type, url, body.substr(0, 512));
    for (ae::PlaylistKind k : {ae::PlaylistKind::Pls, ae::PlaylistKind::M3u, ae::PlaylistKind::Asx,
                               ae::PlaylistKind::Xspf, kind}) {
        for (const std::string& entry : ae::parsePlaylist(k, body)) {
            if (entry.empty() || entry.size() > ae::kMaxEntryLength) std::abort();
            std::string resolved = ae::resolveUrl(url, entry);
            if (resolved.size() > url.size() + entry.size() + 1) std::abort();
            ae::schemeOf(resolved);
        }
        if (ae::parsePlaylist(k, body).size() > ae::kMaxPlaylistEntries) std::abort();
    }
    return 0;
}

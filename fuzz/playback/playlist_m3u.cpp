// Fuzzes the .m3u reader with arbitrary file contents.
#include "fuzz_support.h"
#include "playback/playlists.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzFile file(data, size, ".m3u");
    std::string title, address;
    m3uurl(file.path(), title, address);
    return 0;
}

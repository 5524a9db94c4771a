// Fuzzes the .asx reader with arbitrary file contents.
#include "fuzz_support.h"
#include "playback/playlists.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzFile file(data, size, ".asx");
    std::string title, address;
    asxurl(file.path(), title, address);
    return 0;
}

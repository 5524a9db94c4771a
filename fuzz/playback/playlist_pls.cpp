// Fuzzes the .pls reader with arbitrary file contents.
#include "fuzz_support.h"
#include "playback/playlists.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzFile file(data, size, ".pls");
    std::string title, address;
    plsurl(file.path(), title, address);
    return 0;
}

// Feeds arbitrary bytes to the ASF header reader, both as a whole header and behind a valid
// header object's GUID and size; the sanitizers catch any read outside it.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "asf_header.h"

namespace {

// The ASF header object's GUID, then a size field that covers the whole input.
std::string withHeaderPrefix(const uint8_t* data, size_t size) {
    static const char kHeaderGuid[] =
        "\x30\x26\xB2\x75\x8E\x66\xCF\x11\xA6\xD9\x00\xAA\x00\x62\xCE\x6C";
    std::string out(kHeaderGuid, 16);
    const uint64_t total = 24 + size;
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>((total >> (8 * i)) & 0xff));
    out.append(reinterpret_cast<const char*>(data), size);
    return out;
}

void check(std::string_view bytes) {
    (void)ae::asfHeaderSize(bytes);
    const ae::AsfHeaderInfo info = ae::parseAsfHeader(bytes);
    // Each command takes bytes of its own in the input.
    if (info.commands.size() > bytes.size()) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    check(std::string_view(reinterpret_cast<const char*>(data), size));
    check(withHeaderPrefix(data, size));
    return 0;
}

#include "byte_ring.h"

namespace ae {

long ByteRing::read(uint8_t* out, size_t len, std::optional<Clock::time_point> deadline) {
    if (!waitUntil([&] { return aborted() || size() > 0 || finished(); }, deadline)) return -1;
    if (aborted()) return -1;
    return static_cast<long>(take(out, len));  // 0 only when the data has ended
}

}  // namespace ae

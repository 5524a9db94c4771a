// Separates SHOUTcast/Icecast in-stream metadata from the audio bytes. Pure and incremental:
// fed the body in chunks of any size, it gives the same result as when fed in one piece.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace ae {

class IcySplitter {
  public:
    // Largest interval we accept; servers use 8 KiB to 64 KiB. Larger values are treated as
    // "no metadata" rather than trusted.
    static constexpr uint32_t kMaxMetaint = 1u << 20;

    using AudioFn = std::function<bool(const uint8_t* data, size_t len)>;  // false: stop feeding
    // text: the metadata block without its NUL padding; audioOffset: audio bytes before it.
    using MetaFn = std::function<void(std::string_view text, uint64_t audioOffset)>;

    // metaint 0: the body is all audio.
    explicit IcySplitter(uint32_t metaint) : metaint_(metaint), audioLeft_(metaint) {}

    // Feeds a chunk. Returns false when `audio` asked to stop.
    bool feed(const uint8_t* data, size_t len, const AudioFn& audio, const MetaFn& meta);

    uint64_t audioBytes() const { return audioBytes_; }

    // Reads an icy-metaint header value strictly: decimal digits only (blanks around allowed),
    // 1..kMaxMetaint. Anything else is no metadata.
    static std::optional<uint32_t> parseMetaint(std::string_view value);

  private:
    enum class State { Audio, Length, Text };

    uint32_t metaint_;
    uint32_t audioLeft_;
    State state_ = State::Audio;
    size_t textLeft_ = 0;
    std::string text_;
    uint64_t audioBytes_ = 0;
};

}  // namespace ae

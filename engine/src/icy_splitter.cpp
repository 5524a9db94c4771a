#include "icy_splitter.h"

#include <algorithm>

namespace ae {

bool IcySplitter::feed(const uint8_t* data, size_t len, const AudioFn& audio, const MetaFn& meta) {
    if (metaint_ == 0) {
        audioBytes_ += len;
        return len == 0 || audio(data, len);
    }
    while (len > 0) {
        switch (state_) {
            case State::Audio: {
                size_t n = std::min<size_t>(len, audioLeft_);
                audioBytes_ += n;
                audioLeft_ -= static_cast<uint32_t>(n);
                if (!audio(data, n)) return false;
                data += n;
                len -= n;
                if (audioLeft_ == 0) state_ = State::Length;
                break;
            }
            case State::Length:
                textLeft_ = size_t{*data} * 16;
                ++data;
                --len;
                text_.clear();
                if (textLeft_ == 0) {
                    state_ = State::Audio;
                    audioLeft_ = metaint_;
                } else {
                    state_ = State::Text;
                }
                break;
            case State::Text: {
                size_t n = std::min(len, textLeft_);
                text_.append(reinterpret_cast<const char*>(data), n);
                textLeft_ -= n;
                data += n;
                len -= n;
                if (textLeft_ == 0) {
                    // The text ends at its first NUL: the rest is padding.
                    size_t end = text_.find('\0');
                    std::string_view text(text_.data(),
                                          end == std::string::npos ? text_.size() : end);
                    if (!text.empty()) meta(text, audioBytes_);
                    state_ = State::Audio;
                    audioLeft_ = metaint_;
                }
                break;
            }
        }
    }
    return true;
}

std::optional<uint32_t> IcySplitter::parseMetaint(std::string_view value) {
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!value.empty() && blank(value.front())) value.remove_prefix(1);
    while (!value.empty() && blank(value.back())) value.remove_suffix(1);
    if (value.empty() || value.size() > 10) return std::nullopt;
    uint64_t n = 0;
    for (char c : value) {
        if (c < '0' || c > '9') return std::nullopt;
        n = n * 10 + static_cast<uint64_t>(c - '0');
    }
    if (n == 0 || n > kMaxMetaint) return std::nullopt;
    return static_cast<uint32_t>(n);
}

}  // namespace ae

#include "platform/TextEncoding.h"

#include <cstddef>
#include <cstdint>

#include "platform/TextEncodingNative.h"

namespace kz::platform {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// Length of the valid UTF-8 sequence at the start of s, or 0 when none starts there.
std::size_t Utf8SequenceLength(std::string_view s) {
    const auto b0 = static_cast<unsigned char>(s[0]);
    if (b0 < 0x80) {
        return 1;
    }
    std::size_t length = 0;
    std::uint32_t min = 0;
    std::uint32_t cp = 0;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        length = 2, min = 0x80, cp = b0 & 0x1F;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        length = 3, min = 0x800, cp = b0 & 0x0F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        length = 4, min = 0x10000, cp = b0 & 0x07;
    } else {
        return 0;
    }
    if (s.size() < length) {
        return 0;
    }
    for (std::size_t i = 1; i < length; ++i) {
        const auto b = static_cast<unsigned char>(s[i]);
        if ((b & 0xC0) != 0x80) {
            return 0;
        }
        cp = (cp << 6) | (b & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        return 0;
    }
    return length;
}

bool IsUtf8(std::string_view s) {
    while (!s.empty()) {
        const std::size_t n = Utf8SequenceLength(s);
        if (n == 0) {
            return false;
        }
        s.remove_prefix(n);
    }
    return true;
}

bool IsShiftJisLead(unsigned char b) {
    return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
}

bool IsShiftJisTrail(unsigned char b) {
    return (b >= 0x40 && b <= 0x7E) || (b >= 0x80 && b <= 0xFC);
}

}  // namespace

std::string DisplayUtf8(std::string_view bytes) {
    if (IsUtf8(bytes)) {
        return std::string(bytes);
    }
    ShiftJisDecoder decoder;
    std::string out;
    out.reserve(bytes.size() * 3 / 2);
    while (!bytes.empty()) {
        std::size_t taken = Utf8SequenceLength(bytes);
        if (taken != 0) {
            out.append(bytes.substr(0, taken));
            bytes.remove_prefix(taken);
            continue;
        }
        const auto b0 = static_cast<unsigned char>(bytes[0]);
        taken = IsShiftJisLead(b0) && bytes.size() >= 2 &&
                        IsShiftJisTrail(static_cast<unsigned char>(bytes[1]))
                    ? 2
                    : 1;
        if (!decoder.Append(bytes.substr(0, taken), out)) {
            out.append(kReplacement);
        }
        bytes.remove_prefix(taken);
    }
    return out;
}

}  // namespace kz::platform

// Text from a file or a panel (an image's comment or model name, a model name) shown on a
// console or in a status line: control characters are shown as "\xNN" so that they can
// neither move the cursor nor start a terminal escape sequence. Bytes from 0x80 up pass
// unchanged: Japanese names are multi-byte text.
#pragma once

#include <string>
#include <string_view>

namespace kz {

inline std::string Printable(std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            out += "\\x";
            out += kHex[byte >> 4];
            out += kHex[byte & 0xF];
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace kz

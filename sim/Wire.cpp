#include "sim/Wire.h"

#include <cstdio>

namespace kz::sim {

std::uint8_t Sum(std::span<const std::uint8_t> bytes) {
    std::uint8_t sum = 0;
    for (std::uint8_t b : bytes) {
        sum = static_cast<std::uint8_t>(sum + b);
    }
    return sum;
}

std::string Hex2(std::uint8_t v) {
    char text[3];
    std::snprintf(text, sizeof text, "%02X", static_cast<unsigned>(v));
    return text;
}

std::string Hex8(std::uint32_t v) {
    char text[9];
    std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(v));
    return text;
}

std::string HexX(std::uint32_t v) {
    char text[9];
    std::snprintf(text, sizeof text, "%X", static_cast<unsigned>(v));
    return text;
}

std::string ChecksumText(std::span<const std::uint8_t> bytes) {
    return Hex2(static_cast<std::uint8_t>(-Sum(bytes)));
}

std::string ChecksumText(std::string_view text) {
    return ChecksumText(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

bool ParseHex(std::string_view text, std::uint32_t& value) {
    if (text.empty() || text.size() > 8) {
        return false;
    }
    std::uint32_t v = 0;
    for (char c : text) {
        std::uint32_t digit;
        if (c >= '0' && c <= '9') {
            digit = static_cast<std::uint32_t>(c - '0');
        } else if (c >= 'A' && c <= 'F') {
            digit = static_cast<std::uint32_t>(c - 'A' + 10);
        } else if (c >= 'a' && c <= 'f') {
            digit = static_cast<std::uint32_t>(c - 'a' + 10);
        } else {
            return false;
        }
        v = v * 16 + digit;
    }
    value = v;
    return true;
}

bool ParseDecimal2(std::string_view text, std::uint32_t& value) {
    if (text.size() != 2 || text[0] < '0' || text[0] > '9' || text[1] < '0' || text[1] > '9') {
        return false;
    }
    value = static_cast<std::uint32_t>((text[0] - '0') * 10 + (text[1] - '0'));
    return true;
}

std::uint32_t RateForCode(char code) {
    switch (code) {
        case '2':
            return 9600;
        case '1':
            return 19200;
        case '0':
            return 38400;
        case '6':
            return 115200;
        default:
            return 0;
    }
}

}  // namespace kz::sim

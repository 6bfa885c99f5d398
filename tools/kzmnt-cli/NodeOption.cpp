#include "NodeOption.h"

#include <cstdint>

#include "lan/NetworkSearch.h"
#include "platform/Format.h"

namespace kz::cli {

namespace {

std::string_view Trimmed(std::string_view text) {
    const auto blank = [](char c) { return c == ' ' || c == '\t'; };
    while (!text.empty() && blank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && blank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

// The value of a non-empty run of decimal digits, at most limit; nullopt for anything else.
std::optional<std::uint32_t> Decimal(std::string_view digits, std::uint32_t limit) {
    if (digits.empty()) {
        return std::nullopt;
    }
    std::uint32_t value = 0;
    for (const char c : digits) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + static_cast<std::uint32_t>(c - '0');
        if (value > limit) {
            return std::nullopt;
        }
    }
    return value;
}

// Four parts, each digits only: "1.2.3", "1.2.3.4.5", "1.2.3.4x" and "1.2.3.4/8" are none.
std::optional<std::uint32_t> Address(std::string_view text) {
    std::uint32_t address = 0;
    for (int part = 0; part < 4; ++part) {
        const std::size_t dot = part < 3 ? text.find('.') : text.size();
        if (dot == std::string_view::npos) {
            return std::nullopt;
        }
        const std::optional<std::uint32_t> octet = Decimal(text.substr(0, dot), 255);
        if (!octet) {
            return std::nullopt;
        }
        address = address << 8 | *octet;
        text.remove_prefix(part < 3 ? dot + 1 : dot);
    }
    return address;
}

}  // namespace

std::optional<std::string> NodeOption(std::string_view text) {
    const std::size_t colon = text.find(':');
    const std::optional<std::uint32_t> address = Address(Trimmed(text.substr(0, colon)));
    if (!address || *address == 0xFFFFFFFF) {
        return std::nullopt;
    }
    std::string node = Format("%u.%u.%u.%u", *address >> 24, (*address >> 16) & 0xFF,
                              (*address >> 8) & 0xFF, *address & 0xFF);
    if (colon == std::string_view::npos) {
        return node;
    }
    const std::optional<std::uint32_t> port =
        Decimal(Trimmed(text.substr(colon + 1)), lan::kMaxUserPort);
    if (!port || *port < static_cast<std::uint32_t>(lan::kMinUserPort)) {
        return std::nullopt;
    }
    return node + ":" + std::to_string(*port);
}

}  // namespace kz::cli

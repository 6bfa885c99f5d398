// Bytes and text helpers the simulated panel's command sets share: the control bytes of
// the link, the checksum characters, and the hex and decimal fields of ASCII frames.
//
// Thread-safety: constants and pure functions only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace kz::sim {

inline constexpr std::uint8_t kEtx = 0x03;
inline constexpr std::uint8_t kEot = 0x04;
inline constexpr std::uint8_t kEnq = 0x05;
inline constexpr std::uint8_t kAck = 0x06;
inline constexpr std::uint8_t kCr = 0x0D;
inline constexpr std::uint8_t kDle = 0x10;
inline constexpr std::uint8_t kNak = 0x15;
inline constexpr std::uint8_t kSub = 0x1A;
inline constexpr std::uint8_t kEsc = 0x1B;

inline constexpr std::uint32_t kPowerOnRate = 9600;
// Password frame: ">P", 24 encoded bytes, CR.
inline constexpr std::size_t kPasswordLength = 24;

// The 8-bit sum of bytes.
std::uint8_t Sum(std::span<const std::uint8_t> bytes);

// Upper-case hex: two digits, eight digits, and as many digits as needed.
std::string Hex2(std::uint8_t v);
std::string Hex8(std::uint32_t v);
std::string HexX(std::uint32_t v);

// Two checksum characters: the negated 8-bit sum of bytes.
std::string ChecksumText(std::span<const std::uint8_t> bytes);
std::string ChecksumText(std::string_view text);

// Upper- or lower-case hex of exactly the given text, at most 8 digits.
bool ParseHex(std::string_view text, std::uint32_t& value);

// Exactly two decimal digits.
bool ParseDecimal2(std::string_view text, std::uint32_t& value);

// Rate-change codes of both families; 0 for an unknown code.
std::uint32_t RateForCode(char code);

// The bytes of a frame as text.
inline std::string_view AsText(std::span<const std::uint8_t> bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

}  // namespace kz::sim

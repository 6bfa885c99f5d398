// The loader file the PC downloads to a panel, as the tests and the benchmarks write it:
// the load address as 4 bytes, least significant first, then bodySize bytes of a fixed
// pattern. The pattern includes CR, ESC, DLE, SUB, ENQ and ACK bytes, so a download that
// mistakes body bytes for framing fails. Header only and free of the test framework, so
// the benchmarks include it too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kz::test {

inline std::vector<std::uint8_t> LoaderFile(std::uint32_t address, std::size_t bodySize) {
    std::vector<std::uint8_t> file = {
        static_cast<std::uint8_t>(address), static_cast<std::uint8_t>(address >> 8),
        static_cast<std::uint8_t>(address >> 16), static_cast<std::uint8_t>(address >> 24)};
    static constexpr std::uint8_t kAwkward[] = {0x0D, 0x1B, 0x10, 0x1A, 0x05, 0x06};
    file.reserve(4 + bodySize);
    for (std::size_t i = 0; i < bodySize; ++i) {
        file.push_back(i % 7 == 3 ? kAwkward[(i / 7) % 6] : static_cast<std::uint8_t>(i * 31 + 7));
    }
    return file;
}

inline std::string LoaderText(std::uint32_t address, std::size_t bodySize) {
    const std::vector<std::uint8_t> bytes = LoaderFile(address, bodySize);
    return {bytes.begin(), bytes.end()};
}

}  // namespace kz::test

#include "platform/Sha256.h"

#include <filesystem>
#include <fstream>
#include <system_error>
#include <vector>

namespace kz::platform {

std::string DigestHex(const Sha256Digest& digest) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string text;
    text.reserve(digest.size() * 2);
    for (const std::uint8_t byte : digest) {
        text += kHex[byte >> 4];
        text += kHex[byte & 0x0F];
    }
    return text;
}

std::string Sha256Hex(std::span<const std::uint8_t> bytes) {
    Sha256 hash;
    hash.Update(bytes);
    return DigestHex(hash.Finish());
}

std::optional<std::string> FileSha256(const std::string& path) {
    // Only a regular file: a FIFO or a device would block the read or never end.
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) {
        return std::nullopt;
    }
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return std::nullopt;
    }
    Sha256 hash;
    std::vector<char> buffer(1 << 16);
    while (file) {
        file.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        const auto got = static_cast<std::size_t>(file.gcount());
        hash.Update({reinterpret_cast<const std::uint8_t*>(buffer.data()), got});
    }
    if (!file.eof()) {
        return std::nullopt;
    }
    return DigestHex(hash.Finish());
}

}  // namespace kz::platform

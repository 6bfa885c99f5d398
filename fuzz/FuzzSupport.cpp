#include "FuzzSupport.h"

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace kz::fuzz {

namespace {

struct Scratch {
    std::string path;
    Scratch() {
        const char* base = std::getenv("TMPDIR");
        std::string pattern =
            std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/kzfuzz-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) {
            std::perror("mkdtemp");
            std::abort();
        }
        path = pattern + "/";
    }
    ~Scratch() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
};

}  // namespace

const std::string& ScratchFolder() {
    static Scratch scratch;
    return scratch.path;
}

std::string WriteScratchFile(const std::string& name, const std::uint8_t* data, std::size_t size) {
    const std::string path = ScratchFolder() + name;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    out.close();
    if (!out) {
        std::perror(path.c_str());
        std::abort();
    }
    return path;
}

std::string WriteScratchFile(const std::string& name, std::string_view text) {
    return WriteScratchFile(name, reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

std::string Hex(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "%X", value);
    return text;
}

std::string Printable(std::string_view bytes) {
    std::string text;
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        if (b >= 0x20 && b < 0x7F) {
            text += c;
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "<%02X>", b);
            text += hex;
        }
    }
    return text;
}

std::uint8_t InputReader::Byte() {
    return pos_ < size_ ? data_[pos_++] : 0;
}

std::uint32_t InputReader::Word() {
    std::uint32_t value = 0;
    for (int i = 0; i < 4; ++i) {
        value |= static_cast<std::uint32_t>(Byte()) << (8 * i);
    }
    return value;
}

std::string InputReader::Take(std::size_t count) {
    count = std::min(count, Left());
    std::string piece(reinterpret_cast<const char*>(data_ + pos_), count);
    pos_ += count;
    return piece;
}

std::string InputReader::Until(char separator) {
    std::size_t end = pos_;
    while (end < size_ && static_cast<char>(data_[end]) != separator) {
        ++end;
    }
    std::string piece = Take(end - pos_);
    if (pos_ < size_) {
        ++pos_;
    }
    return piece;
}

}  // namespace kz::fuzz

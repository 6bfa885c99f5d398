// What the tests of whole runs through the operation handle share: damaging an image,
// the lines a verify of it writes, reading files back.
#pragma once

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <string>
#include <vector>

#include "config/MessageIds.h"
#include "config/StringTable.h"
#include "ops/memory/ImageDiff.h"
#include "ops/memory/MemImageFile.h"
#include "platform/Format.h"

namespace kz::test {

// Flips the image bytes at the given data offsets (the panel keeps its own).
inline void Damage(const std::string& path, std::initializer_list<std::uint64_t> offsets) {
    std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
    for (const std::uint64_t offset : offsets) {
        file.seekg(static_cast<std::streamoff>(kImageHeaderSize + offset));
        const char byte = static_cast<char>(file.get());
        file.seekp(static_cast<std::streamoff>(kImageHeaderSize + offset));
        file.put(static_cast<char>(~byte));
    }
}

inline std::uint8_t ImageByte(const std::string& path, std::uint64_t offset) {
    std::ifstream file(path, std::ios::binary);
    file.seekg(static_cast<std::streamoff>(kImageHeaderSize + offset));
    return static_cast<std::uint8_t>(file.get());
}

// The lines a verify of an image damaged at three places writes: the first difference only,
// or (every difference) each range and the count of all.
inline std::vector<std::string> DifferenceLines(bool every, const std::string& path,
                                                std::uint32_t sramOffset) {
    const std::uint8_t image[3] = {ImageByte(path, 0x100), ImageByte(path, 0x3000),
                                   ImageByte(path, sramOffset + 0x20)};
    auto panel = [&](int i) { return static_cast<std::uint8_t>(~image[i]); };
    if (!every) {
        return {
            Format(GetString(msg::kVerifyDifference).c_str(), "FROM1", 0x100u, panel(0), image[0])};
    }
    const std::string range = GetString(msg::kVerifyRange);
    return {Format(range.c_str(), "FROM1", 0x100u, "1", panel(0), image[0]),
            Format(range.c_str(), "FROM1", 0x3000u, "2", panel(1), image[1]),
            Format(range.c_str(), "SRAM1", 0x400020u, "1", panel(2), image[2]),
            Format(GetString(msg::kVerifyRangeCount).c_str(), "3", "4",
                   static_cast<int>(kDiffRangeLimit))};
}

inline bool HasLines(const std::vector<std::string>& all, const std::vector<std::string>& wanted) {
    auto it = all.begin();
    for (const std::string& line : wanted) {
        it = std::find(it, all.end(), line);
        if (it == all.end()) {
            return false;
        }
    }
    return true;
}

inline std::string ReadAll(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

}  // namespace kz::test

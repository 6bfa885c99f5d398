#include "ops/memory/SafetyBackup.h"

#include <filesystem>
#include <system_error>

#include "ops/memory/MemImageFile.h"

namespace kz {

namespace {

std::string PlainPart(std::string_view text) {
    std::string part;
    for (const char c : text) {
        const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                           (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '.';
        part += plain ? c : '_';
    }
    // Blanks pad a model name; a name of dots alone would be no file name.
    while (!part.empty() && (part.back() == '_' || part.back() == '.')) {
        part.pop_back();
    }
    return part.empty() ? "unknown" : part;
}

}  // namespace

std::string SafetyBackupName(std::string_view model, std::string_view coreId,
                             std::string_view stamp) {
    return PlainPart(model) + "_" + PlainPart(coreId) + "_" + std::string(stamp) + ".mem";
}

std::string WorkingSafetyName(const std::string& folder, std::string_view stamp,
                              std::string_view prefix) {
    return (std::filesystem::path(folder) /
            (std::string(prefix) + "-" + std::string(stamp) + ".mem"))
        .string();
}

std::string NameSafetyBackup(const std::string& path, std::string_view stamp) {
    MemImageFile image;
    if (!image.LoadHeader(path)) {
        return path;
    }
    const std::filesystem::path folder = std::filesystem::path(path).parent_path();
    const std::string name =
        SafetyBackupName(image.GetImageModelName(), image.GetImageCoreIDText(), stamp);
    const std::string stem = name.substr(0, name.size() - 4);
    for (int n = 1; n < 100; ++n) {
        const std::filesystem::path target =
            folder / (n == 1 ? name : stem + "-" + std::to_string(n) + ".mem");
        std::error_code ec;
        if (std::filesystem::exists(std::filesystem::symlink_status(target, ec))) {
            continue;
        }
        std::filesystem::rename(path, target, ec);
        return ec ? path : target.string();
    }
    return path;
}

}  // namespace kz

#include "ops/memory/FileSelection.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "config/IniFile.h"
#include "platform/Format.h"

namespace kz {

namespace {

constexpr std::uint32_t kAutoNameMask = 0xF37F;

namespace fs = std::filesystem;

fs::file_status StatusOf(const std::string& text) {
    std::error_code ec;
    return fs::status(text, ec);
}

bool IsExistingFolder(const std::string& text) {
    return fs::is_directory(StatusOf(text));
}

// A file in the dialog's sense: anything that exists and is not a folder.
bool IsExistingFile(const std::string& text) {
    const fs::file_status status = StatusOf(text);
    return fs::exists(status) && !fs::is_directory(status);
}

bool Exists(const std::string& text) {
    return fs::exists(StatusOf(text));
}

// The last component of a path, trailing separators ignored.
std::string_view LastComponent(std::string_view text) {
    while (text.size() > 1 && text.back() == '/') {
        text.remove_suffix(1);
    }
    const auto slash = text.rfind('/');
    return slash == std::string_view::npos ? text : text.substr(slash + 1);
}

bool HasDotAnywhere(const std::string& text) {
    return text.find('.') != std::string::npos;
}

bool LastComponentHasDot(const std::string& text) {
    return LastComponent(text).find('.') != std::string_view::npos;
}

// An existing folder is a folder whatever its name; a new one must not look like a file.
bool IsFolderName(const std::string& text) {
    if (IsExistingFolder(text)) {
        return true;
    }
    return !IsExistingFile(text) && !LastComponentHasDot(text);
}

bool EndsWithMem(const std::string& text) {
    constexpr std::string_view kExtension = ".mem";
    if (text.size() < kExtension.size()) {
        return false;
    }
    const std::string_view tail = std::string_view(text).substr(text.size() - kExtension.size());
    for (std::size_t i = 0; i < kExtension.size(); ++i) {
        const char c = tail[i];
        const char lower = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
        if (lower != kExtension[i]) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool IsFolderSelection(SelectionMode mode, bool autoFileName) {
    return (mode == SelectionMode::Backup && autoFileName) || mode == SelectionMode::CfReceive ||
           mode == SelectionMode::CfSend;
}

bool FileSelectionValid(SelectionMode mode, bool autoFileName, const std::string& text) {
    if (text.empty()) {
        return false;
    }
    switch (mode) {
        case SelectionMode::Backup:
            if (autoFileName) {
                return IsFolderName(text);
            }
            return !IsExistingFolder(text) && EndsWithMem(text);
        case SelectionMode::Restore:
        case SelectionMode::Verify:
            return Exists(text);
        case SelectionMode::CfReceive:
            return IsFolderName(text);
        case SelectionMode::CfSend:
            return IsExistingFolder(text);
        default:
            return false;
    }
}

SelectionProblem FileSelectionProblem(SelectionMode mode, bool autoFileName,
                                      const std::string& text) {
    if (text.empty()) {
        return SelectionProblem::Empty;
    }
    if (FileSelectionValid(mode, autoFileName, text)) {
        return SelectionProblem::None;
    }
    switch (mode) {
        case SelectionMode::Backup:
            if (!autoFileName) {
                return IsExistingFolder(text) ? SelectionProblem::FolderExists
                                              : SelectionProblem::NoMemExtension;
            }
            [[fallthrough]];
        case SelectionMode::CfReceive:
            return IsExistingFile(text) ? SelectionProblem::FileExists
                                        : SelectionProblem::DotInFolder;
        case SelectionMode::Restore:
        case SelectionMode::Verify:
            return SelectionProblem::NothingThere;
        case SelectionMode::CfSend:
            return IsExistingFile(text) ? SelectionProblem::FileExists
                                        : SelectionProblem::NoSuchFolder;
        default:
            return SelectionProblem::UnknownMode;
    }
}

std::string WithMemExtension(const std::string& name) {
    return HasDotAnywhere(name) ? name : name + ".mem";
}

bool NeedsOverwriteQuestion(bool autoFileName, const std::string& path) {
    return !autoFileName && IsExistingFile(path);
}

bool IsPlainFileName(std::string_view name) {
    if (name.empty() || name.find("..") != std::string_view::npos) {
        return false;
    }
    return std::none_of(name.begin(), name.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return c == '/' || c == '\\' || byte < 0x20 || byte == 0x7F;
    });
}

std::uint32_t AutoNameNumber(std::string_view coreIdText) {
    std::uint32_t value = 0;
    IniScanHex(coreIdText.substr(0, 4), value);
    return value & kAutoNameMask;
}

std::string AutoBackupFileName(const std::string& folder, std::string_view bkFileStem,
                               std::string_view autoNameText) {
    // No folder means the working folder: the name stays relative, never one in "/".
    std::string name = folder;
    if (!name.empty() && name.back() != '/') {
        name += '/';
    }
    name += "bk";
    name.append(bkFileStem.empty() ? autoNameText : bkFileStem);
    name += ".MEM";
    return name;
}

std::string AutoBackupFileName(const std::string& folder, std::string_view bkFileStem,
                               std::uint32_t autoNameNumber) {
    return AutoBackupFileName(folder, bkFileStem, std::string_view(Format("%04X", autoNameNumber)));
}

}  // namespace kz

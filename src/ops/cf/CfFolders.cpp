#include "ops/cf/CfFolders.h"

#include <filesystem>
#include <system_error>

#include "platform/FileFinder.h"

namespace kz {

namespace {

// Names of at most 255 characters (and the terminator) are taken.
constexpr std::size_t kNameCapacity = 256;

bool IsFolder(const std::string& path) {
    std::error_code ec;
    return std::filesystem::is_directory(path, ec);
}

bool Ask(IOperationPrompt* prompt, int textId, int captionId) {
    return prompt == nullptr || prompt->AskOkCancel(textId, captionId);
}

char Upper(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

}  // namespace

int CheckPcFolders(const std::string& pcFolder, IOperationPrompt* prompt) {
    std::vector<std::string_view> missing;
    for (std::string_view sub : kCfSubfolders) {
        if (!IsFolder(pcFolder + "/" + std::string(sub))) {
            missing.push_back(sub);
        }
    }
    if (missing.empty()) {
        return Ask(prompt, msg::kAskOverwritePc, msg::kCfReceiveCaption) ? 0 : msg::kAborted;
    }
    if (!Ask(prompt, msg::kAskCreateFolders, msg::kCfReceiveCaption)) {
        return msg::kAborted;
    }
    for (std::string_view sub : missing) {
        platform::CreateFolderPath(pcFolder + "/" + std::string(sub) + "/");
    }
    return 0;
}

bool ConfirmCardOverwrite(IOperationPrompt* prompt) {
    return Ask(prompt, msg::kAskOverwriteCard, msg::kCfSendCaption);
}

std::size_t CollectCategoryFiles(const std::string& pcFolder, const CfCategory& category,
                                 std::vector<std::string>& list) {
    const std::string folder = CfCategoryFolder(pcFolder, category);
    const std::string pattern =
        folder + std::string(category.prefix) + "*" + std::string(category.extension);
    platform::FileFinder finder;
    finder.SetFilter(platform::FIND_ANY);
    std::size_t added = 0;
    std::string name;
    for (bool found = finder.FindFirst(pattern, name, kNameCapacity); found;
         found = finder.FindNext(name, kNameCapacity)) {
        // A folder of a matching name is no file to send.
        if (finder.LastIsFolder()) {
            continue;
        }
        const int number = CfFileNumber(name);
        if (number < category.first || number > category.last) {
            continue;
        }
        list.push_back(folder + name);
        ++added;
    }
    finder.Close();
    return added;
}

bool IsCfFileNameOf(const CfCategory& category, std::string_view fileName) {
    if (fileName.size() != kCfStemLength + category.extension.size()) {
        return false;
    }
    std::string upper(fileName);
    for (char& c : upper) {
        c = Upper(c);
    }
    const std::string_view name(upper);
    return IsCfStemOf(category, name.substr(0, kCfStemLength)) &&
           name.substr(kCfStemLength) == category.extension;
}

std::string CfStemOfPath(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    std::string stem = path.substr(slash == std::string::npos ? 0 : slash + 1, kCfStemLength);
    for (char& c : stem) {
        c = Upper(c);
    }
    return stem;
}

}  // namespace kz

// FileFinder over opendir/readdir: the folder of the pattern is read entry by entry and
// every name is matched against the pattern's last component here, so that matching works
// the same (letter case ignored) whatever the file system does.
#include "platform/FileFinder.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <memory>
#include <string_view>

namespace kz::platform {

namespace {

bool IsFolderPath(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace

struct FileFinder::Search {
    DIR* dir = nullptr;
    std::string prefix;       // folder with its trailing '/', "" for the working folder
    std::string namePattern;  // the pattern's last component

    ~Search() {
        if (dir != nullptr) {
            ::closedir(dir);
        }
    }
};

FileFinder::FileFinder() = default;

FileFinder::~FileFinder() {
    Close();
}

bool FileFinder::Close() {
    if (!m_pSearch) {
        return true;
    }
    DIR* dir = m_pSearch->dir;
    m_pSearch->dir = nullptr;
    m_pSearch.reset();
    return dir == nullptr || ::closedir(dir) == 0;
}

bool FileFinder::NextEntry(std::string& entryName, bool& isFolder) {
    if (!m_pSearch || m_pSearch->dir == nullptr) {
        return false;
    }
    // readdir returns null both at the end and on an error; either ends the enumeration.
    while (const dirent* entry = ::readdir(m_pSearch->dir)) {
        const std::string_view name(entry->d_name);
        if (name == "." || name == ".." || !WildcardMatch(m_pSearch->namePattern, name)) {
            continue;
        }
        entryName.assign(name);
        switch (entry->d_type) {
            case DT_DIR:
                isFolder = true;
                break;
            case DT_REG:
                isFolder = false;
                break;
            default:
                // Links and file systems that do not report the type: ask the target.
                isFolder = IsFolderPath(m_pSearch->prefix + entryName);
                break;
        }
        return true;
    }
    return false;
}

bool FileFinder::Begin(const std::string& pattern) {
    const std::size_t slash = pattern.rfind('/');
    const std::string folder = slash == std::string::npos ? std::string(".")
                               : slash == 0               ? std::string("/")
                                                          : pattern.substr(0, slash);
    auto search = std::make_unique<Search>();
    if (slash == std::string::npos) {
        search->namePattern = pattern;
    } else {
        search->prefix = pattern.substr(0, slash + 1);
        search->namePattern = pattern.substr(slash + 1);
    }
    if (search->namePattern.empty()) {
        return false;
    }
    search->dir = ::opendir(folder.c_str());
    if (search->dir == nullptr) {
        return false;
    }
    m_pSearch = std::move(search);
    return true;
}

void CreateFolderPath(const std::string& path) {
    const std::size_t last = path.rfind('/');
    if (last == std::string::npos) {
        return;
    }
    const std::string folder = path.substr(0, last);
    // Every prefix that ends before a '/' and the whole folder part, outermost first. The
    // root ("" before a leading '/') and empty components ("a//b") are skipped.
    for (std::size_t end = 0; end <= folder.size(); ++end) {
        if (end < folder.size() && folder[end] != '/') {
            continue;
        }
        if (end == 0 || folder[end - 1] == '/') {
            continue;
        }
        const std::string prefix = folder.substr(0, end);
        struct stat info {};
        if (::stat(prefix.c_str(), &info) != 0) {
            ::mkdir(prefix.c_str(), 0777);
        }
    }
}

}  // namespace kz::platform

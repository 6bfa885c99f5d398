// FileFinder over FindFirstFile/FindNextFile. The system is asked for every entry of the
// folder ("folder\*") and each name is matched here, as on POSIX: the system's own matching
// also tries the short 8.3 names, so that "*.BIN" would find "A.BINARY" too.
#include <windows.h>

#include <memory>
#include <string_view>

#include "platform/FileFinder.h"

namespace kz::platform {

namespace {

bool IsSeparator(char c) {
    return c == '/' || c == '\\';
}

// The length of a drive ("C:") or share ("//server/share") at the start of path; 0 when
// there is none.
std::size_t RootLength(const std::string& path) {
    if (path.size() >= 2 && path[1] == ':') {
        return 2;
    }
    if (path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1])) {
        std::size_t end = 2;
        for (int part = 0; part < 2 && end <= path.size(); ++part) {
            while (end < path.size() && !IsSeparator(path[end])) {
                ++end;
            }
            if (part == 0 && end < path.size()) {
                ++end;
            }
        }
        return end;
    }
    return 0;
}

}  // namespace

struct FileFinder::Search {
    HANDLE find = INVALID_HANDLE_VALUE;
    WIN32_FIND_DATAA data{};
    bool havePending = false;  // data holds an entry not yet looked at
    std::string namePattern;   // the pattern's last component

    ~Search() {
        if (find != INVALID_HANDLE_VALUE) {
            ::FindClose(find);
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
    HANDLE find = m_pSearch->find;
    m_pSearch->find = INVALID_HANDLE_VALUE;
    m_pSearch.reset();
    return find == INVALID_HANDLE_VALUE || ::FindClose(find) != FALSE;
}

bool FileFinder::NextEntry(std::string& entryName, bool& isFolder) {
    if (!m_pSearch || m_pSearch->find == INVALID_HANDLE_VALUE) {
        return false;
    }
    Search& search = *m_pSearch;
    for (;;) {
        if (!search.havePending) {
            // The end and an error alike end the enumeration.
            if (!::FindNextFileA(search.find, &search.data)) {
                return false;
            }
        }
        search.havePending = false;
        const std::string_view name(search.data.cFileName);
        if (name == "." || name == ".." || !WildcardMatch(search.namePattern, name)) {
            continue;
        }
        entryName.assign(name);
        isFolder = (search.data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        return true;
    }
}

bool FileFinder::Begin(const std::string& pattern) {
    std::size_t slash = pattern.find_last_of("/\\");
    // "C:NAME" names NAME in the drive's current folder.
    if (slash == std::string::npos && pattern.size() > 2 && pattern[1] == ':') {
        slash = 1;
    }
    auto search = std::make_unique<Search>();
    std::string folder;
    if (slash == std::string::npos) {
        search->namePattern = pattern;
    } else {
        folder = pattern.substr(0, slash + 1);
        search->namePattern = pattern.substr(slash + 1);
    }
    if (search->namePattern.empty() ||
        search->namePattern.find_first_of("/\\") != std::string::npos) {
        return false;
    }
    search->find = ::FindFirstFileExA((folder + "*").c_str(), FindExInfoBasic, &search->data,
                                      FindExSearchNameMatch, nullptr, 0);
    if (search->find == INVALID_HANDLE_VALUE) {
        return false;
    }
    search->havePending = true;
    m_pSearch = std::move(search);
    return true;
}

void CreateFolderPath(const std::string& path) {
    const std::size_t last = path.find_last_of("/\\");
    if (last == std::string::npos) {
        return;
    }
    const std::string folder = path.substr(0, last);
    const std::size_t root = RootLength(folder);
    // Every prefix that ends before a separator and the whole folder part, outermost first;
    // the drive or share, the root and empty components ("a//b") are skipped.
    for (std::size_t end = root; end <= folder.size(); ++end) {
        if (end < folder.size() && !IsSeparator(folder[end])) {
            continue;
        }
        if (end == root || IsSeparator(folder[end - 1])) {
            continue;
        }
        const std::string prefix = folder.substr(0, end);
        if (::GetFileAttributesA(prefix.c_str()) == INVALID_FILE_ATTRIBUTES) {
            ::CreateDirectoryA(prefix.c_str(), nullptr);
        }
    }
}

}  // namespace kz::platform

#include "platform/FileFinder.h"

#include <utility>

namespace kz::platform {

namespace {

char Lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool Fits(const std::string& name, std::size_t capacity) {
    return name.size() + 1 <= capacity;
}

}  // namespace

// '*' any run (also none), '?' exactly one character, everything else itself with ASCII
// letters compared regardless of case. Iterative with one backtrack point: on a mismatch
// the last '*' takes one more character.
bool WildcardMatch(std::string_view pattern, std::string_view name) {
    std::size_t p = 0;
    std::size_t n = 0;
    std::size_t starP = std::string_view::npos;
    std::size_t starN = 0;
    while (n < name.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            starP = p++;
            starN = n;
        } else if (p < pattern.size() &&
                   (pattern[p] == '?' || Lower(pattern[p]) == Lower(name[n]))) {
            ++p;
            ++n;
        } else if (starP != std::string_view::npos) {
            p = starP + 1;
            n = ++starN;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') {
        ++p;
    }
    return p == pattern.size();
}

bool FileFinder::FindFirst(const std::string& pattern, std::string& name, std::size_t capacity) {
    Close();
    if (!Begin(pattern)) {
        return false;
    }
    std::string entry;
    bool isFolder = false;
    for (;;) {
        if (!NextEntry(entry, isFolder)) {
            Close();
            return false;
        }
        if (m_dwFilter == FIND_FOLDERS && !isFolder) {
            continue;
        }
        if (m_dwFilter == FIND_FILES && isFolder) {
            continue;
        }
        break;
    }
    m_bLastIsFolder = isFolder;
    if (!Fits(entry, capacity)) {
        return false;
    }
    name = std::move(entry);
    return true;
}

bool FileFinder::FindNext(std::string& name, std::size_t capacity) {
    std::string entry;
    bool isFolder = false;
    if (!NextEntry(entry, isFolder)) {
        return false;
    }
    m_bLastIsFolder = isFolder;
    if (!Fits(entry, capacity)) {
        return false;
    }
    name = std::move(entry);
    return true;
}

}  // namespace kz::platform

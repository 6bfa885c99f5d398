#include <windows.h>

#include "platform/SharedLibrary.h"

namespace kz::platform {

namespace {

// The system's words for err, without the line end.
std::string SystemWords(DWORD err) {
    char text[256] = {};
    DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                               err, 0, text, sizeof text, nullptr);
    while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == ' ' ||
                     text[n - 1] == '.')) {
        --n;
    }
    return n > 0 ? std::string(text, n) : "error " + std::to_string(err);
}

}  // namespace

SharedLibrary::~SharedLibrary() {
    Close();
}

bool IsNonRegularFile(const std::string& path) {
    if (path.find_first_of("\\/") == std::string::npos) {
        return false;
    }
    // The device namespace ("\\.\pipe\x", "//./COM1") holds no library files.
    if (path.size() >= 4 && (path[0] == '\\' || path[0] == '/') &&
        (path[1] == '\\' || path[1] == '/') && path[2] == '.' &&
        (path[3] == '\\' || path[3] == '/')) {
        return true;
    }
    const DWORD attributes = ::GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES &&
           (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0;
}

bool SharedLibrary::Open(const std::string& path, std::string* error) {
    Close();
    if (IsNonRegularFile(path)) {
        if (error != nullptr) {
            *error = path + ": not a regular file";
        }
        return false;
    }
    // A library named with its folder finds the libraries it needs in that folder first;
    // a plain name is looked for as the system always does. A library that cannot load
    // gives an error code here, never a message box.
    const bool withFolder = path.find_first_of("\\/") != std::string::npos;
    DWORD oldMode = 0;
    ::SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &oldMode);
    m_pHandle =
        ::LoadLibraryExA(path.c_str(), nullptr, withFolder ? LOAD_WITH_ALTERED_SEARCH_PATH : 0);
    const DWORD err = ::GetLastError();
    ::SetThreadErrorMode(oldMode, nullptr);
    if (m_pHandle == nullptr && error != nullptr) {
        *error = path + ": " + SystemWords(err);
    }
    return m_pHandle != nullptr;
}

void* SharedLibrary::Symbol(const char* name) const {
    return m_pHandle != nullptr
               ? reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(m_pHandle), name))
               : nullptr;
}

std::string SharedLibrary::FilePath() const {
    if (m_pHandle == nullptr) {
        return {};
    }
    char path[MAX_PATH];
    const DWORD n = ::GetModuleFileNameA(static_cast<HMODULE>(m_pHandle), path, MAX_PATH);
    return n > 0 && n < MAX_PATH ? std::string(path, n) : std::string();
}

void SharedLibrary::Close() {
    if (m_pHandle != nullptr) {
        ::FreeLibrary(static_cast<HMODULE>(m_pHandle));
        m_pHandle = nullptr;
    }
}

}  // namespace kz::platform

#include "platform/SharedLibrary.h"

#include <windows.h>

namespace kz::platform {

SharedLibrary::~SharedLibrary() {
    Close();
}

bool IsNonRegularFile(const std::string& path) {
    const DWORD attributes = ::GetFileAttributesA(path.c_str());
    return path.find_first_of("\\/") != std::string::npos &&
           attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool SharedLibrary::Open(const std::string& path, std::string* error) {
    Close();
    m_pHandle = ::LoadLibraryA(path.c_str());
    if (m_pHandle == nullptr && error != nullptr) {
        *error = "cannot load " + path + " (error " + std::to_string(::GetLastError()) + ")";
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

#include "platform/SharedLibrary.h"

#include <dlfcn.h>
#include <link.h>
#include <sys/stat.h>

namespace kz::platform {

SharedLibrary::~SharedLibrary() {
    Close();
}

bool IsNonRegularFile(const std::string& path) {
    struct stat st {};
    return path.find('/') != std::string::npos && ::stat(path.c_str(), &st) == 0 &&
           !S_ISREG(st.st_mode);
}

bool SharedLibrary::Open(const std::string& path, std::string* error) {
    Close();
    if (IsNonRegularFile(path)) {
        if (error != nullptr) {
            *error = path + ": not a regular file";
        }
        return false;
    }
    // RTLD_LOCAL: the library's symbols stay private to this handle, so a library loaded
    // again for the next session starts from its own fresh state.
    m_pHandle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (m_pHandle == nullptr && error != nullptr) {
        const char* reason = ::dlerror();
        *error = reason != nullptr ? reason : "cannot load " + path;
    }
    return m_pHandle != nullptr;
}

void* SharedLibrary::Symbol(const char* name) const {
    return m_pHandle != nullptr ? ::dlsym(m_pHandle, name) : nullptr;
}

std::string SharedLibrary::FilePath() const {
    link_map* map = nullptr;
    if (m_pHandle == nullptr || ::dlinfo(m_pHandle, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr ||
        map->l_name == nullptr) {
        return {};
    }
    return map->l_name;
}

void SharedLibrary::Close() {
    if (m_pHandle != nullptr) {
        ::dlclose(m_pHandle);
        m_pHandle = nullptr;
    }
}

}  // namespace kz::platform

#include "platform/ProgramFolder.h"

#include <mutex>

namespace kz::platform {

namespace {
std::mutex g_mutex;
std::string g_override;

bool IsSeparator(char c) {
#ifdef _WIN32
    return c == '/' || c == '\\';
#else
    return c == '/';
#endif
}
}  // namespace

std::string ProgramFolder() {
    std::lock_guard lock(g_mutex);
    if (!g_override.empty()) {
        return g_override;
    }
    static const std::string exeFolder = ExecutableFolder();
    return exeFolder;
}

void SetProgramFolder(const std::string& folder) {
    std::lock_guard lock(g_mutex);
    g_override = folder;
    if (!g_override.empty() && !IsSeparator(g_override.back())) {
        g_override += '/';
    }
}

}  // namespace kz::platform

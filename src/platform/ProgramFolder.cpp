#include "platform/ProgramFolder.h"

#include <limits.h>
#include <unistd.h>

#include <mutex>

namespace kz::platform {

namespace {
std::mutex g_mutex;
std::string g_override;

std::string ExecutableFolder() {
    char path[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", path, sizeof(path) - 1);
    if (n <= 0) {
        return {};
    }
    std::string exe(path, static_cast<size_t>(n));
    auto slash = exe.rfind('/');
    return slash == std::string::npos ? std::string() : exe.substr(0, slash + 1);
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
    if (!g_override.empty() && g_override.back() != '/') {
        g_override += '/';
    }
}

}  // namespace kz::platform

#include <limits.h>
#include <unistd.h>

#include "platform/ProgramFolder.h"

namespace kz::platform {

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

}  // namespace kz::platform

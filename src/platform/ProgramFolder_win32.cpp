#include <windows.h>

#include <algorithm>
#include <vector>

#include "platform/ProgramFolder.h"

namespace kz::platform {

std::string ExecutableFolder() {
    // The buffer grows until the whole path fits: a path may exceed MAX_PATH.
    std::vector<char> path(MAX_PATH);
    for (;;) {
        const DWORD n = ::GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0) {
            return {};
        }
        if (n < path.size()) {
            std::string exe(path.data(), n);
            std::replace(exe.begin(), exe.end(), '\\', '/');
            const auto slash = exe.rfind('/');
            return slash == std::string::npos ? std::string() : exe.substr(0, slash + 1);
        }
        if (path.size() >= 32768) {
            return {};
        }
        path.resize(path.size() * 2);
    }
}

}  // namespace kz::platform

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>

#include <filesystem>

#include "support/PlantedFiles.h"
#include "support/TempDir.h"

namespace kz::test {

bool MakeFifo(const std::string& path) {
    return ::mkfifo(path.c_str(), 0600) == 0;
}

std::optional<int> RunWithFileSizeLimit(std::uint64_t limit, const std::function<int()>& body) {
    const pid_t child = ::fork();
    if (child == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit small{static_cast<rlim_t>(limit), static_cast<rlim_t>(limit)};
        ::setrlimit(RLIMIT_FSIZE, &small);
        std::_Exit(body());
    }
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status)) {
        return -1;
    }
    return WEXITSTATUS(status);
}

void SetEnvironment(const char* name, const char* value) {
    value != nullptr ? ::setenv(name, value, 1) : ::unsetenv(name);
}

bool SymlinksWork() {
    static const bool work = [] {
        TempDir dir;
        std::error_code ec;
        std::filesystem::create_symlink(dir.path() / "target", dir.path() / "link", ec);
        return !ec;
    }();
    return work;
}

}  // namespace kz::test

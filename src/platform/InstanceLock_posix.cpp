#include "platform/InstanceLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdlib>

namespace kz::platform {

namespace {

std::string RuntimeFolder() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && *runtime) {
        return std::string(runtime) + "/";
    }
    const char* tmp = std::getenv("TMPDIR");
    return std::string(tmp && *tmp ? tmp : "/tmp") + "/uid" + std::to_string(getuid()) + "-";
}

}  // namespace

InstanceLock::InstanceLock(const std::string& name) : path_(RuntimeFolder() + name + ".lock") {
    fd_ = UniqueFd(open(path_.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    held_ = fd_.Get() >= 0 && flock(fd_.Get(), LOCK_EX | LOCK_NB) == 0;
}

}  // namespace kz::platform

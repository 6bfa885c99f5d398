#include "platform/InstanceLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <utility>

#include "platform/UniqueFd.h"

namespace kz::platform {

namespace {

// Opens path as a folder of this user that no one else can write to; an invalid descriptor
// when it is a link, not a folder, another user's or writable by others.
UniqueFd OpenPrivateFolder(const std::string& path) {
    UniqueFd folder(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if (folder &&
        (::fstat(folder.Get(), &st) != 0 || st.st_uid != ::geteuid() || (st.st_mode & 022) != 0)) {
        folder.Reset();
    }
    return folder;
}

std::string WithoutTrailingSlash(std::string path) {
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    return path;
}

}  // namespace

struct InstanceLock::Handle {
    UniqueFd fd;
};

InstanceLock::~InstanceLock() = default;

InstanceLock::InstanceLock(const std::string& name, const std::string& program) {
    UniqueFd folder;
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && *runtime) {
        folder_ = WithoutTrailingSlash(runtime);
        folder = OpenPrivateFolder(folder_);
    }
    if (!folder) {
        // No usable runtime folder: a folder of the program's own in the temporary folder.
        const char* tmp = std::getenv("TMPDIR");
        folder_ = WithoutTrailingSlash(tmp && *tmp ? tmp : "/tmp") + "/" + program + "-" +
                  std::to_string(::getuid());
        path_ = folder_ + "/" + name + ".lock";
        if (::mkdir(folder_.c_str(), 0700) != 0 && errno != EEXIST) {
            error_ = errno;
            return;
        }
        folder = OpenPrivateFolder(folder_);
        if (!folder) {
            state_ = State::FolderNotPrivate;
            return;
        }
    }
    path_ = folder_ + "/" + name + ".lock";
    UniqueFd fd;
    fd.Reset(::openat(folder.Get(), (name + ".lock").c_str(),
                      O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
    struct stat st {};
    if (!fd || ::fstat(fd.Get(), &st) != 0) {
        error_ = errno;
        fd.Reset();
        return;
    }
    if (!S_ISREG(st.st_mode)) {
        error_ = EINVAL;
        fd.Reset();
        return;
    }
    while (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno != EINTR) {
            error_ = errno;
            state_ = errno == EWOULDBLOCK ? State::OtherCopy : State::Unusable;
            fd.Reset();
            return;
        }
    }
    handle_ = std::make_unique<Handle>(Handle{std::move(fd)});
    state_ = State::Held;
}

}  // namespace kz::platform

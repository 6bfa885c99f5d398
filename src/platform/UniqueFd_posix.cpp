#include "platform/UniqueFd.h"

#include <fcntl.h>
#include <unistd.h>

#include <utility>

namespace kz::platform {

void UniqueFd::Reset(int fd) {
    if (fd_ >= 0 && fd_ != fd) {
        ::close(fd_);
    }
    fd_ = fd;
}

bool UniqueFd::Close() {
    if (fd_ < 0) {
        return true;
    }
    // On Linux the descriptor is gone even when close() fails, so it is never retried.
    return ::close(std::exchange(fd_, -1)) == 0;
}

bool MakePipe(UniqueFd& readEnd, UniqueFd& writeEnd, bool nonBlocking) {
    // pipe() and fcntl() rather than pipe2(), which not every POSIX system has.
    int fds[2];
    if (::pipe(fds) != 0) {
        return false;
    }
    UniqueFd ends[2] = {UniqueFd(fds[0]), UniqueFd(fds[1])};
    for (const UniqueFd& end : ends) {
        const int flags = ::fcntl(end.Get(), F_GETFL);
        if (flags < 0 || ::fcntl(end.Get(), F_SETFD, FD_CLOEXEC) != 0 ||
            (nonBlocking && ::fcntl(end.Get(), F_SETFL, flags | O_NONBLOCK) != 0)) {
            return false;
        }
    }
    readEnd = std::move(ends[0]);
    writeEnd = std::move(ends[1]);
    return true;
}

}  // namespace kz::platform

// On Windows a UniqueFd owns a C runtime descriptor (_open_osfhandle wraps a HANDLE in one;
// _close closes the handle with it).
#include <fcntl.h>
#include <io.h>

#include <utility>

#include "platform/UniqueFd.h"

namespace kz::platform {

void UniqueFd::Reset(int fd) {
    if (fd_ >= 0 && fd_ != fd) {
        ::_close(fd_);
    }
    fd_ = fd;
}

bool UniqueFd::Close() {
    if (fd_ < 0) {
        return true;
    }
    return ::_close(std::exchange(fd_, -1)) == 0;
}

bool MakePipe(UniqueFd& readEnd, UniqueFd& writeEnd, bool nonBlocking) {
    // Anonymous pipes have no non-blocking mode here.
    int fds[2];
    if (nonBlocking || ::_pipe(fds, 4096, _O_BINARY | _O_NOINHERIT) != 0) {
        return false;
    }
    readEnd = UniqueFd(fds[0]);
    writeEnd = UniqueFd(fds[1]);
    return true;
}

}  // namespace kz::platform

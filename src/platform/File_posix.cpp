#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "platform/File.h"

namespace kz::platform {

namespace {

PathKind KindOf(const struct stat& st) {
    if (S_ISREG(st.st_mode)) {
        return PathKind::Regular;
    }
    if (S_ISDIR(st.st_mode)) {
        return PathKind::Folder;
    }
    return S_ISLNK(st.st_mode) ? PathKind::Link : PathKind::Other;
}

PathKind KindOrError(int result, const struct stat& st) {
    if (result == 0) {
        return KindOf(st);
    }
    return errno == ENOENT || errno == ENOTDIR ? PathKind::Missing : PathKind::Unknown;
}

FileError ErrorOf(int error) {
    switch (error) {
        case ENOENT:
        case ENOTDIR:
            return FileError::Missing;
        case EEXIST:
            return FileError::Exists;
        case ELOOP:
            return FileError::Link;
        case EACCES:
        case EPERM:
        case EROFS:
            return FileError::Denied;
        case EISDIR:
        case ENXIO:
            return FileError::NotRegular;
        default:
            return FileError::Other;
    }
}

int FlagsOf(File::Mode mode) {
    switch (mode) {
        case File::Mode::Read:
            return O_RDONLY;
        case File::Mode::ReadWrite:
            return O_RDWR;
        case File::Mode::CreateTruncate:
            return O_WRONLY | O_CREAT | O_TRUNC;
        case File::Mode::AppendCreate:
            return O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW;
        case File::Mode::ReadNoFollow:
            return O_RDONLY | O_NOFOLLOW;
        case File::Mode::WriteNoFollow:
            return O_WRONLY | O_NOFOLLOW;
        case File::Mode::ReadWriteNoFollow:
            return O_RDWR | O_NOFOLLOW;
        case File::Mode::CreateNew:
            return O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW;
    }
    return O_RDONLY;
}

int Fd(std::intptr_t handle) {
    return static_cast<int>(handle);
}

}  // namespace

PathKind KindOfPath(const std::string& path) {
    struct stat st {};
    const int result = ::lstat(path.c_str(), &st);
    return KindOrError(result, st);
}

PathKind KindOfTarget(const std::string& path) {
    struct stat st {};
    const int result = ::stat(path.c_str(), &st);
    return KindOrError(result, st);
}

std::string LastErrorText() {
    return std::strerror(errno);
}

bool LastErrorWasMissing() {
    return errno == ENOENT;
}

File File::Open(const std::string& path, Mode mode, FileError* error) {
    auto fail = [&](int err) {
        if (error != nullptr) {
            *error = ErrorOf(err);
        }
        return File();
    };
    // O_NONBLOCK keeps the open of a FIFO or a device from waiting for a peer: such a file
    // is refused right after the open.
    const int fd = ::open(path.c_str(), FlagsOf(mode) | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0) {
        return fail(errno);
    }
    File file;
    file.m_handle = fd;
    file.m_bAppend = mode == Mode::AppendCreate;
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        return fail(errno);
    }
    if (!S_ISREG(st.st_mode)) {
        if (error != nullptr) {
            *error = FileError::NotRegular;
        }
        return File();
    }
    // Regular files never block; the flag is dropped so that writes behave as usual.
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    if (error != nullptr) {
        *error = FileError::None;
    }
    return file;
}

bool File::Valid() const {
    return m_handle >= 0;
}

bool File::Size(std::uint64_t& size) const {
    struct stat st {};
    if (!Valid() || ::fstat(Fd(m_handle), &st) != 0) {
        return false;
    }
    size = static_cast<std::uint64_t>(st.st_size);
    return true;
}

bool File::ReadAt(std::uint64_t offset, void* buffer, std::size_t count) const {
    auto* at = static_cast<char*>(buffer);
    while (count > 0) {
        const ssize_t n = ::pread(Fd(m_handle), at, count, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        at += n;
        offset += static_cast<std::uint64_t>(n);
        count -= static_cast<std::size_t>(n);
    }
    return true;
}

bool File::WriteAt(std::uint64_t offset, const void* buffer, std::size_t count) {
    const auto* at = static_cast<const char*>(buffer);
    while (count > 0) {
        const ssize_t n = ::pwrite(Fd(m_handle), at, count, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        at += n;
        offset += static_cast<std::uint64_t>(n);
        count -= static_cast<std::size_t>(n);
    }
    return true;
}

bool File::Write(const void* buffer, std::size_t count) {
    const auto* at = static_cast<const char*>(buffer);
    while (count > 0) {
        const ssize_t n = ::write(Fd(m_handle), at, count);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        at += n;
        count -= static_cast<std::size_t>(n);
    }
    return true;
}

bool File::Truncate(std::uint64_t size) {
    return Valid() && ::ftruncate(Fd(m_handle), static_cast<off_t>(size)) == 0;
}

bool File::Sync() {
    return Valid() && ::fsync(Fd(m_handle)) == 0;
}

File::Lock File::TryLock() {
    // A file system without such locks (some network and user-space ones) answers with an
    // error other than EWOULDBLOCK.
    for (;;) {
        if (::flock(Fd(m_handle), LOCK_EX | LOCK_NB) == 0) {
            return Lock::Taken;
        }
        if (errno != EINTR) {
            return errno == EWOULDBLOCK ? Lock::Busy : Lock::Unsupported;
        }
    }
}

bool File::IsAt(const std::string& path) const {
    struct stat byName {};
    struct stat open {};
    return Valid() && ::fstat(Fd(m_handle), &open) == 0 && ::lstat(path.c_str(), &byName) == 0 &&
           S_ISREG(byName.st_mode) && byName.st_dev == open.st_dev && byName.st_ino == open.st_ino;
}

bool File::Close() {
    if (!Valid()) {
        return true;
    }
    // On Linux the descriptor is gone even when close() fails, so it is never retried.
    return ::close(Fd(std::exchange(m_handle, -1))) == 0;
}

void File::Reset() {
    if (Valid()) {
        ::close(Fd(std::exchange(m_handle, -1)));
    }
}

bool RemoveFile(const std::string& path) {
    return ::unlink(path.c_str()) == 0;
}

bool RenameFile(const std::string& from, const std::string& to) {
    return std::rename(from.c_str(), to.c_str()) == 0;
}

bool ReplaceFileWith(const std::string& path, std::string_view text) {
    // mkstemp: O_CREAT|O_EXCL, so a planted file or link is never opened.
    std::string temp = path + ".~XXXXXX";
    const int fd = ::mkstemp(temp.data());
    if (fd < 0) {
        return false;
    }
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    // Closes the descriptor on every way out.
    struct Guard {
        int fd;
        ~Guard() {
            if (fd >= 0) {
                ::close(fd);
            }
        }
    } guard{fd};
    struct stat old {};
    const mode_t mode = ::stat(path.c_str(), &old) == 0 ? (old.st_mode & 07777) : 0644;
    bool ok = ::fchmod(fd, mode) == 0;
    for (std::size_t done = 0; ok && done < text.size();) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        ok = n > 0;
        done += ok ? static_cast<std::size_t>(n) : 0;
    }
    // Space is not always claimed at write time: fsync and close report a full disk late.
    ok = ok && ::fsync(fd) == 0;
    ok = ::close(std::exchange(guard.fd, -1)) == 0 && ok;
    ok = ok && ::rename(temp.c_str(), path.c_str()) == 0;
    if (!ok) {
        ::unlink(temp.c_str());
    }
    return ok;
}

}  // namespace kz::platform

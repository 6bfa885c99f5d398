#include "platform/RecordFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/UniqueFd.h"

namespace kz::platform {

namespace {

// Opens path without waiting for a FIFO's peer and without following a link; only a
// regular file is kept, and it is switched back to blocking I/O.
UniqueFd OpenRegular(const std::string& path, int flags) {
    UniqueFd fd(::open(path.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644));
    struct stat st {};
    if (!fd || ::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return {};
    }
    ::fcntl(fd.Get(), F_SETFL, ::fcntl(fd.Get(), F_GETFL) & ~O_NONBLOCK);
    return fd;
}

bool WriteAll(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

}  // namespace

bool AppendRecordLine(const std::string& path, std::string_view line) {
    UniqueFd fd = OpenRegular(path, O_RDWR | O_APPEND | O_CREAT);
    if (!fd) {
        return false;
    }
    while (::flock(fd.Get(), LOCK_EX) != 0) {
        if (errno != EINTR) {
            return false;
        }
    }
    struct stat st {};
    if (::fstat(fd.Get(), &st) != 0) {
        return false;
    }
    std::string text;
    char last = '\n';
    if (st.st_size > 0 && ::pread(fd.Get(), &last, 1, st.st_size - 1) != 1) {
        return false;
    }
    if (last != '\n') {
        text += '\n';
    }
    text.append(line);
    // One write: with O_APPEND it lands whole at the end even beside a writer that takes
    // no lock.
    return WriteAll(fd.Get(), text) && fd.Close();
}

std::optional<std::string> ReadRecordFile(const std::string& path, std::size_t maxBytes) {
    UniqueFd fd = OpenRegular(path, O_RDONLY);
    struct stat st {};
    if (!fd || ::fstat(fd.Get(), &st) != 0 || static_cast<std::size_t>(st.st_size) > maxBytes) {
        return std::nullopt;
    }
    std::string content;
    char buffer[1 << 16];
    for (;;) {
        const ssize_t n = ::read(fd.Get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return std::nullopt;
        }
        if (n == 0) {
            return content;
        }
        if (content.size() + static_cast<std::size_t>(n) > maxBytes) {
            return std::nullopt;
        }
        content.append(buffer, static_cast<std::size_t>(n));
    }
}

}  // namespace kz::platform

#include "ops/cf/CfPcFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "platform/Format.h"

namespace kz {

namespace {

// Attempts at a free temporary name before giving up.
constexpr int kTempAttempts = 100;

std::string WithoutTrailingSlash(const std::string& path) {
    std::string trimmed = path;
    while (trimmed.size() > 1 && trimmed.back() == '/') {
        trimmed.pop_back();
    }
    return trimmed;
}

// The target may be replaced when it is absent or a plain file.
CfPartialFile::Status TargetStatus(int dirFd, const std::string& name) {
    struct stat st {};
    if (::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        return errno == ENOENT ? CfPartialFile::Status::Ok : CfPartialFile::Status::Failed;
    }
    return S_ISREG(st.st_mode) ? CfPartialFile::Status::Ok : CfPartialFile::Status::NotPlain;
}

}  // namespace

CfPartialFile::~CfPartialFile() {
    Discard();
}

CfPartialFile::Status CfPartialFile::Begin(const std::string& folder, const std::string& name) {
    Discard();
    const std::string dir = WithoutTrailingSlash(folder);
    // The last component is opened without following a link; a trailing '/' would make
    // the system follow it, hence the trimming.
    m_dirFd.Reset(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!m_dirFd) {
        return IsSymbolicLink(dir) ? Status::NotPlain : Status::Failed;
    }
    const Status target = TargetStatus(m_dirFd.Get(), name);
    if (target != Status::Ok) {
        m_dirFd.Reset();
        return target;
    }
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < kTempAttempts && !m_fd; ++attempt) {
        const std::string temp =
            Format(".%s.%ld-%u.part", name.c_str(), static_cast<long>(::getpid()), ++counter);
        m_fd.Reset(::openat(m_dirFd.Get(), temp.c_str(),
                            O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
        if (m_fd) {
            m_csTempName = temp;
        } else if (errno != EEXIST) {
            break;
        }
    }
    if (!m_fd) {
        m_dirFd.Reset();
        return Status::Failed;
    }
    m_csName = name;
    m_nWritten = 0;
    return Status::Ok;
}

bool CfPartialFile::Append(const std::uint8_t* data, std::size_t count) {
    if (!m_fd) {
        return false;
    }
    while (count > 0) {
        const ssize_t n = ::write(m_fd.Get(), data, count);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        data += n;
        count -= static_cast<std::size_t>(n);
        m_nWritten += static_cast<std::uint64_t>(n);
    }
    return true;
}

CfPartialFile::Status CfPartialFile::Commit(std::uint64_t size) {
    if (!m_fd) {
        return Status::Failed;
    }
    // A short file or a failed sync keeps the descriptor open: Discard closes it.
    if (m_nWritten != size || ::fsync(m_fd.Get()) != 0 || !m_fd.Close()) {
        Discard();
        return Status::Failed;
    }
    // Looked at again: the target may have been replaced while the file came in.
    Status status = TargetStatus(m_dirFd.Get(), m_csName);
    if (status == Status::Ok &&
        ::renameat(m_dirFd.Get(), m_csTempName.c_str(), m_dirFd.Get(), m_csName.c_str()) != 0) {
        status = Status::Failed;
    }
    if (status == Status::Ok) {
        m_csTempName.clear();
    }
    Discard();
    return status;
}

void CfPartialFile::Discard() {
    m_fd.Reset();
    if (m_dirFd && !m_csTempName.empty()) {
        ::unlinkat(m_dirFd.Get(), m_csTempName.c_str(), 0);
    }
    m_csTempName.clear();
    m_csName.clear();
    m_nWritten = 0;
    m_dirFd.Reset();
}

bool IsSymbolicLink(const std::string& path) {
    struct stat st {};
    return ::lstat(WithoutTrailingSlash(path).c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

std::int64_t PlainFileSize(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return -1;
    }
    return static_cast<std::int64_t>(st.st_size);
}

bool ReadPlainFile(const std::string& path, std::uint64_t offset, std::uint8_t* buffer,
                   std::size_t count) {
    // Non-blocking so that a FIFO put in the file's place cannot stall the run.
    const platform::UniqueFd file(
        ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!file) {
        return false;
    }
    const int fd = file.Get();
    struct stat st {};
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    std::size_t done = 0;
    while (ok && done < count) {
        const ssize_t n =
            ::pread(fd, buffer + done, count - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        ok = n > 0;
        if (ok) {
            done += static_cast<std::size_t>(n);
        }
    }
    return ok;
}

}  // namespace kz

// The PC files of a CF transfer on Windows. The category folder is held open, as itself
// (never through a link or junction) and without delete sharing, while a file comes in: it
// can then be neither renamed nor replaced by a link until the file is committed. The
// temporary file is created exclusively beside the target and renamed over it with
// MoveFileEx. Paths are kept whole here (there is no openat); the held folder makes them
// stable.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <atomic>

#include "ops/cf/CfPcFile.h"
#include "platform/File.h"
#include "platform/Format.h"

namespace kz {

namespace {

constexpr int kTempAttempts = 100;

bool IsSeparator(char c) {
    return c == '/' || c == '\\';
}

std::string WithoutTrailingSlash(const std::string& path) {
    std::string trimmed = path;
    while (trimmed.size() > 1 && IsSeparator(trimmed.back())) {
        trimmed.pop_back();
    }
    return trimmed;
}

HANDLE OsHandle(const platform::UniqueFd& fd) {
    return reinterpret_cast<HANDLE>(::_get_osfhandle(fd.Get()));
}

// Wraps handle in a C runtime descriptor (which then owns it); -1 when handle is invalid.
int Adopt(HANDLE handle, int flags) {
    if (handle == INVALID_HANDLE_VALUE) {
        return -1;
    }
    const int fd = ::_open_osfhandle(reinterpret_cast<std::intptr_t>(handle), flags);
    if (fd < 0) {
        ::CloseHandle(handle);
    }
    return fd;
}

// The target may be replaced when it is absent or a plain file.
CfPartialFile::Status TargetStatus(const std::string& path) {
    switch (platform::KindOfPath(path)) {
        case platform::PathKind::Missing:
        case platform::PathKind::Regular:
            return CfPartialFile::Status::Ok;
        case platform::PathKind::Unknown:
            return CfPartialFile::Status::Failed;
        default:
            return CfPartialFile::Status::NotPlain;
    }
}

}  // namespace

CfPartialFile::~CfPartialFile() {
    Discard();
}

CfPartialFile::Status CfPartialFile::Begin(const std::string& folder, const std::string& name) {
    Discard();
    const std::string dir = WithoutTrailingSlash(folder);
    const HANDLE dirHandle = ::CreateFileA(
        dir.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    m_dirFd.Reset(Adopt(dirHandle, _O_RDONLY));
    if (!m_dirFd) {
        return IsSymbolicLink(dir) ? Status::NotPlain : Status::Failed;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(OsHandle(m_dirFd), &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        const bool link = (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        m_dirFd.Reset();
        return link ? Status::NotPlain : Status::Failed;
    }
    const std::string target = dir + "\\" + name;
    const Status status = TargetStatus(target);
    if (status != Status::Ok) {
        m_dirFd.Reset();
        return status;
    }
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < kTempAttempts && !m_fd; ++attempt) {
        const std::string temp =
            dir + "\\" +
            Format(".%s.%lu-%u.part", name.c_str(), ::GetCurrentProcessId(), ++counter);
        const HANDLE handle = ::CreateFileA(
            temp.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        const DWORD error = ::GetLastError();
        m_fd.Reset(Adopt(handle, _O_WRONLY | _O_BINARY));
        if (m_fd) {
            m_csTempName = temp;
        } else if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) {
            break;
        }
    }
    if (!m_fd) {
        m_dirFd.Reset();
        return Status::Failed;
    }
    m_csName = target;
    m_nWritten = 0;
    return Status::Ok;
}

bool CfPartialFile::Append(const std::uint8_t* data, std::size_t count) {
    if (!m_fd) {
        return false;
    }
    while (count > 0) {
        const DWORD chunk = count > 0x100000 ? 0x100000 : static_cast<DWORD>(count);
        DWORD written = 0;
        if (!::WriteFile(OsHandle(m_fd), data, chunk, &written, nullptr) || written == 0) {
            return false;
        }
        data += written;
        count -= written;
        m_nWritten += written;
    }
    return true;
}

CfPartialFile::Status CfPartialFile::Commit(std::uint64_t size) {
    if (!m_fd) {
        return Status::Failed;
    }
    if (m_nWritten != size || !::FlushFileBuffers(OsHandle(m_fd)) || !m_fd.Close()) {
        Discard();
        return Status::Failed;
    }
    // Looked at again: the target may have been replaced while the file came in.
    Status status = TargetStatus(m_csName);
    if (status == Status::Ok &&
        !::MoveFileExA(m_csTempName.c_str(), m_csName.c_str(), MOVEFILE_REPLACE_EXISTING)) {
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
        ::DeleteFileA(m_csTempName.c_str());
    }
    m_csTempName.clear();
    m_csName.clear();
    m_nWritten = 0;
    m_dirFd.Reset();
}

bool IsSymbolicLink(const std::string& path) {
    return platform::KindOfPath(WithoutTrailingSlash(path)) == platform::PathKind::Link;
}

std::int64_t PlainFileSize(const std::string& path) {
    const platform::File file = platform::File::Open(path, platform::File::Mode::ReadNoFollow);
    std::uint64_t size = 0;
    if (!file.Valid() || !file.Size(size)) {
        return -1;
    }
    return static_cast<std::int64_t>(size);
}

bool ReadPlainFile(const std::string& path, std::uint64_t offset, std::uint8_t* buffer,
                   std::size_t count) {
    const platform::File file = platform::File::Open(path, platform::File::Mode::ReadNoFollow);
    return file.Valid() && (count == 0 || file.ReadAt(offset, buffer, count));
}

}  // namespace kz

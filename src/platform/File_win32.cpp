// File over Win32 handles. Every open shares reading, writing and deleting with other opens,
// so that a file may be renamed or removed while open, as on POSIX. A mode that refuses
// links opens the reparse point itself (FILE_FLAG_OPEN_REPARSE_POINT) and refuses it after
// the open, so a symbolic link or a junction is never followed.
#include <windows.h>

#include <atomic>
#include <utility>

#include "platform/File.h"

namespace kz::platform {

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

HANDLE Handle(std::intptr_t handle) {
    return reinterpret_cast<HANDLE>(handle);
}

std::intptr_t Stored(HANDLE handle) {
    return handle == INVALID_HANDLE_VALUE ? -1 : reinterpret_cast<std::intptr_t>(handle);
}

FileError ErrorOf(DWORD error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_NAME:
            return FileError::Missing;
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS:
            return FileError::Exists;
        case ERROR_CANT_RESOLVE_FILENAME:
        case ERROR_CANT_ACCESS_FILE:
            return FileError::Link;
        case ERROR_ACCESS_DENIED:
        case ERROR_WRITE_PROTECT:
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
            return FileError::Denied;
        default:
            return FileError::Other;
    }
}

// What an open handle refers to.
PathKind KindOfHandle(HANDLE handle) {
    if (::GetFileType(handle) != FILE_TYPE_DISK) {
        return PathKind::Other;  // a device, a pipe, a console
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(handle, &info)) {
        return PathKind::Unknown;
    }
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        return PathKind::Link;
    }
    return (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? PathKind::Folder
                                                                   : PathKind::Regular;
}

// Looks at path through a handle without access rights (which neither waits on a device nor
// locks anything out); followLinks false looks at a link itself.
PathKind LookAt(const std::string& path, bool followLinks) {
    const DWORD flags =
        FILE_FLAG_BACKUP_SEMANTICS | (followLinks ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
    const HANDLE handle =
        ::CreateFileA(path.c_str(), 0, kShareAll, nullptr, OPEN_EXISTING, flags, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? PathKind::Missing
                                                                              : PathKind::Unknown;
    }
    const PathKind kind = KindOfHandle(handle);
    ::CloseHandle(handle);
    return kind;
}

struct OpenWay {
    DWORD access;
    DWORD disposition;
    bool noFollow;
};

OpenWay WayOf(File::Mode mode) {
    switch (mode) {
        case File::Mode::Read:
            return {GENERIC_READ, OPEN_EXISTING, false};
        case File::Mode::ReadWrite:
            return {GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING, false};
        case File::Mode::CreateTruncate:
            // Emptied only once it is known to be a regular file.
            return {GENERIC_WRITE, OPEN_ALWAYS, false};
        case File::Mode::AppendCreate:
            return {GENERIC_WRITE, OPEN_ALWAYS, true};
        case File::Mode::ReadNoFollow:
            return {GENERIC_READ, OPEN_EXISTING, true};
        case File::Mode::WriteNoFollow:
            return {GENERIC_WRITE, OPEN_EXISTING, true};
        case File::Mode::ReadWriteNoFollow:
            return {GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING, true};
        case File::Mode::CreateNew:
            // CREATE_NEW fails on any entry of that name, a dangling link included.
            return {GENERIC_WRITE, CREATE_NEW, true};
    }
    return {GENERIC_READ, OPEN_EXISTING, false};
}

bool SetPosition(HANDLE handle, std::uint64_t offset, DWORD method) {
    LARGE_INTEGER at{};
    at.QuadPart = static_cast<LONGLONG>(offset);
    return ::SetFilePointerEx(handle, at, nullptr, method) != 0;
}

// Writes count bytes at the file position, or at offset when one is given.
bool WriteAll(HANDLE handle, const void* buffer, std::size_t count, const std::uint64_t* offset) {
    const auto* at = static_cast<const char*>(buffer);
    std::uint64_t position = offset != nullptr ? *offset : 0;
    while (count > 0) {
        const DWORD chunk = count > 0x40000000 ? 0x40000000 : static_cast<DWORD>(count);
        OVERLAPPED overlapped{};
        overlapped.Offset = static_cast<DWORD>(position);
        overlapped.OffsetHigh = static_cast<DWORD>(position >> 32);
        DWORD written = 0;
        if (!::WriteFile(handle, at, chunk, &written, offset != nullptr ? &overlapped : nullptr) ||
            written == 0) {
            return false;
        }
        at += written;
        position += written;
        count -= written;
    }
    return true;
}

}  // namespace

PathKind KindOfPath(const std::string& path) {
    return LookAt(path, false);
}

PathKind KindOfTarget(const std::string& path) {
    return LookAt(path, true);
}

std::string LastErrorText() {
    const DWORD error = ::GetLastError();
    char text[256] = {};
    const DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                     nullptr, error, 0, text, sizeof text, nullptr);
    std::string result(text, n);
    while (!result.empty() && (result.back() == '\n' || result.back() == '\r' ||
                               result.back() == ' ' || result.back() == '.')) {
        result.pop_back();
    }
    return result.empty() ? "error " + std::to_string(error) : result;
}

bool LastErrorWasMissing() {
    const DWORD error = ::GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

File File::Open(const std::string& path, Mode mode, FileError* error) {
    auto fail = [&](FileError why) {
        if (error != nullptr) {
            *error = why;
        }
        return File();
    };
    const OpenWay way = WayOf(mode);
    const DWORD flags = FILE_ATTRIBUTE_NORMAL | (way.noFollow ? FILE_FLAG_OPEN_REPARSE_POINT : 0);
    const HANDLE handle = ::CreateFileA(path.c_str(), way.access, kShareAll, nullptr,
                                        way.disposition, flags, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD code = ::GetLastError();
        // A folder cannot be opened as a file at all; say what is there instead of "denied".
        if (code == ERROR_ACCESS_DENIED && LookAt(path, !way.noFollow) == PathKind::Folder) {
            return fail(FileError::NotRegular);
        }
        return fail(ErrorOf(code));
    }
    File file;
    file.m_handle = Stored(handle);
    file.m_bAppend = mode == Mode::AppendCreate;
    switch (KindOfHandle(handle)) {
        case PathKind::Regular:
            break;
        case PathKind::Link:
            return fail(FileError::Link);
        case PathKind::Unknown:
            return fail(FileError::Other);
        default:
            return fail(FileError::NotRegular);
    }
    if (mode == Mode::CreateTruncate && !file.Truncate(0)) {
        return fail(FileError::Other);
    }
    if (error != nullptr) {
        *error = FileError::None;
    }
    return file;
}

bool File::Valid() const {
    return m_handle != -1;
}

bool File::Size(std::uint64_t& size) const {
    LARGE_INTEGER length{};
    if (!Valid() || !::GetFileSizeEx(Handle(m_handle), &length)) {
        return false;
    }
    size = static_cast<std::uint64_t>(length.QuadPart);
    return true;
}

bool File::ReadAt(std::uint64_t offset, void* buffer, std::size_t count) const {
    auto* at = static_cast<char*>(buffer);
    while (count > 0) {
        const DWORD chunk = count > 0x40000000 ? 0x40000000 : static_cast<DWORD>(count);
        OVERLAPPED overlapped{};
        overlapped.Offset = static_cast<DWORD>(offset);
        overlapped.OffsetHigh = static_cast<DWORD>(offset >> 32);
        DWORD read = 0;
        if (!Valid() || !::ReadFile(Handle(m_handle), at, chunk, &read, &overlapped) || read == 0) {
            return false;  // an error, or the end of the file (ERROR_HANDLE_EOF)
        }
        at += read;
        offset += read;
        count -= read;
    }
    return true;
}

bool File::WriteAt(std::uint64_t offset, const void* buffer, std::size_t count) {
    return Valid() && WriteAll(Handle(m_handle), buffer, count, &offset);
}

bool File::Write(const void* buffer, std::size_t count) {
    if (!Valid()) {
        return false;
    }
    // The one writer of an appended file moves to its end before each write.
    if (m_bAppend && !SetPosition(Handle(m_handle), 0, FILE_END)) {
        return false;
    }
    return WriteAll(Handle(m_handle), buffer, count, nullptr);
}

bool File::Truncate(std::uint64_t size) {
    return Valid() && SetPosition(Handle(m_handle), size, FILE_BEGIN) &&
           ::SetEndOfFile(Handle(m_handle)) != 0;
}

bool File::Sync() {
    return Valid() && ::FlushFileBuffers(Handle(m_handle)) != 0;
}

File::Lock File::TryLock() {
    // One byte far past any data: a byte-range lock also blocks reads and writes of the
    // range it covers, and this one covers none of the file's contents.
    OVERLAPPED overlapped{};
    overlapped.Offset = 0;
    overlapped.OffsetHigh = 0x7fffffff;
    if (::LockFileEx(Handle(m_handle), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                     &overlapped)) {
        return Lock::Taken;
    }
    const DWORD error = ::GetLastError();
    return error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING ? Lock::Busy
                                                                      : Lock::Unsupported;
}

bool File::IsAt(const std::string& path) const {
    BY_HANDLE_FILE_INFORMATION open{};
    if (!Valid() || !::GetFileInformationByHandle(Handle(m_handle), &open)) {
        return false;
    }
    const HANDLE byName =
        ::CreateFileA(path.c_str(), 0, kShareAll, nullptr, OPEN_EXISTING,
                      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (byName == INVALID_HANDLE_VALUE) {
        return false;
    }
    BY_HANDLE_FILE_INFORMATION named{};
    const bool same =
        KindOfHandle(byName) == PathKind::Regular && ::GetFileInformationByHandle(byName, &named) &&
        named.dwVolumeSerialNumber == open.dwVolumeSerialNumber &&
        named.nFileIndexHigh == open.nFileIndexHigh && named.nFileIndexLow == open.nFileIndexLow;
    ::CloseHandle(byName);
    return same;
}

bool File::Close() {
    if (!Valid()) {
        return true;
    }
    return ::CloseHandle(Handle(std::exchange(m_handle, -1))) != 0;
}

void File::Reset() {
    if (Valid()) {
        ::CloseHandle(Handle(std::exchange(m_handle, -1)));
    }
}

bool RemoveFile(const std::string& path) {
    return ::DeleteFileA(path.c_str()) != 0;
}

bool RenameFile(const std::string& from, const std::string& to) {
    return ::MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

bool ReplaceFileWith(const std::string& path, std::string_view text) {
    // A name of this process and a counter; CREATE_NEW never opens what another put there,
    // and a taken name is simply skipped.
    static std::atomic<unsigned> counter{0};
    File temp;
    std::string tempPath;
    for (int attempt = 0; attempt < 100 && !temp.Valid(); ++attempt) {
        tempPath = path + ".~" + std::to_string(::GetCurrentProcessId()) + "_" +
                   std::to_string(counter.fetch_add(1));
        FileError error = FileError::None;
        temp = File::Open(tempPath, File::Mode::CreateNew, &error);
        if (!temp.Valid() && error != FileError::Exists) {
            return false;
        }
    }
    if (!temp.Valid()) {
        return false;
    }
    // The new file takes the folder's permissions; FlushFileBuffers and CloseHandle report
    // a full disk late, as fsync and close do.
    bool ok = temp.Write(text.data(), text.size());
    ok = temp.Sync() && ok;
    ok = temp.Close() && ok;
    ok = ok && ::MoveFileExA(tempPath.c_str(), path.c_str(),
                             MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
    if (!ok) {
        ::DeleteFileA(tempPath.c_str());
    }
    return ok;
}

}  // namespace kz::platform

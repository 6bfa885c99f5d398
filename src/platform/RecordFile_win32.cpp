// The service record on Windows: the file is opened as the reparse point itself (a link or
// junction is refused, never followed), must be a disk file, and every append holds a
// byte-range lock far past the data while it looks at the last byte and writes.
#include <windows.h>

#include <cstdint>
#include <utility>

#include "platform/RecordFile.h"

namespace kz::platform {

namespace {

class Handle {
  public:
    explicit Handle(HANDLE handle) : handle_(handle) {}
    ~Handle() {
        if (Valid()) {
            ::CloseHandle(handle_);
        }
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    HANDLE Get() const { return handle_; }
    bool Valid() const { return handle_ != INVALID_HANDLE_VALUE; }
    bool Close() { return ::CloseHandle(std::exchange(handle_, INVALID_HANDLE_VALUE)) != 0; }

  private:
    HANDLE handle_;
};

// Opens path as a regular disk file, or fails; a link is refused.
HANDLE OpenRegular(const std::string& path, DWORD access, DWORD disposition) {
    const HANDLE handle = ::CreateFileA(
        path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        disposition, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return handle;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (::GetFileType(handle) != FILE_TYPE_DISK || !::GetFileInformationByHandle(handle, &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
        ::CloseHandle(handle);
        return INVALID_HANDLE_VALUE;
    }
    return handle;
}

bool WriteAll(HANDLE handle, std::string_view data) {
    while (!data.empty()) {
        DWORD written = 0;
        if (!::WriteFile(handle, data.data(), static_cast<DWORD>(data.size()), &written, nullptr) ||
            written == 0) {
            return false;
        }
        data.remove_prefix(written);
    }
    return true;
}

}  // namespace

bool AppendRecordLine(const std::string& path, std::string_view line) {
    Handle file(OpenRegular(path, GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS));
    if (!file.Valid()) {
        return false;
    }
    OVERLAPPED lockRange{};
    lockRange.OffsetHigh = 0x7fffffff;
    if (!::LockFileEx(file.Get(), LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &lockRange)) {
        return false;
    }
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(file.Get(), &size)) {
        return false;
    }
    std::string text;
    char last = '\n';
    if (size.QuadPart > 0) {
        OVERLAPPED at{};
        const auto offset = static_cast<std::uint64_t>(size.QuadPart - 1);
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        DWORD read = 0;
        if (!::ReadFile(file.Get(), &last, 1, &read, &at) || read != 1) {
            return false;
        }
    }
    if (last != '\n') {
        text += '\n';
    }
    text.append(line);
    LARGE_INTEGER zero{};
    // The lock goes with the handle.
    return ::SetFilePointerEx(file.Get(), zero, nullptr, FILE_END) && WriteAll(file.Get(), text) &&
           file.Close();
}

std::optional<std::string> ReadRecordFile(const std::string& path, std::size_t maxBytes) {
    Handle file(OpenRegular(path, GENERIC_READ, OPEN_EXISTING));
    LARGE_INTEGER size{};
    if (!file.Valid() || !::GetFileSizeEx(file.Get(), &size) ||
        static_cast<std::uint64_t>(size.QuadPart) > maxBytes) {
        return std::nullopt;
    }
    std::string content;
    char buffer[1 << 16];
    for (;;) {
        DWORD n = 0;
        if (!::ReadFile(file.Get(), buffer, sizeof buffer, &n, nullptr)) {
            return std::nullopt;
        }
        if (n == 0) {
            return content;
        }
        if (content.size() + n > maxBytes) {
            return std::nullopt;
        }
        content.append(buffer, n);
    }
}

}  // namespace kz::platform

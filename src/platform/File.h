// Files of the user's folders, opened so that nothing is reached by surprise: every open
// accepts a regular file only (a FIFO, a device or a folder put in its place is refused at
// once, without waiting on it), and the modes that write where a run chose the name refuse a
// link (a symbolic link, on Windows any reparse point such as a junction) instead of
// following it. POSIX descriptors here (File_posix.cpp), Win32 handles on Windows
// (File_win32.cpp), with these differences:
//
// - Locks: TryLock is flock() on POSIX; on Windows a byte-range lock (LockFileEx) far past
//   any data, so reads and writes of the file are never blocked by it.
// - Names while open: on Windows every file is opened with delete sharing, so that it may be
//   renamed or removed while open, as on POSIX. A removed file that is still open disappears
//   when its last handle closes.
// - Rename replaces an existing target on both (MoveFileEx with MOVEFILE_REPLACE_EXISTING).
//
// Thread-safety: a File belongs to one thread at a time. The free functions keep no state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kz::platform {

// What is at a path.
enum class PathKind {
    Missing,  // nothing
    Regular,  // a regular file
    Folder,   // a folder
    Link,     // a symbolic link (Windows: a reparse point); only when links are not followed
    Other,    // a FIFO, a device, a socket
    Unknown,  // the path cannot be looked at (no permission, a name too long, ...)
};
// The entry path names itself: a link is reported as Link, not followed.
PathKind KindOfPath(const std::string& path);
// What path leads to, links followed.
PathKind KindOfTarget(const std::string& path);
// The system's text for why the last file call of this thread failed (strerror on POSIX,
// FormatMessage on Windows), for status lines.
std::string LastErrorText();
// True when the last file call of this thread failed because nothing had the name.
bool LastErrorWasMissing();

// Why an open failed.
enum class FileError {
    None,
    Missing,     // no such file (or folder on the way)
    Exists,      // CreateNew: something has the name already
    Link,        // a no-follow mode met a link
    NotRegular,  // a folder, FIFO, device, ...
    Denied,      // no permission, or a read-only file system
    Other,
};

class File {
  public:
    enum class Mode {
        Read,               // an existing file, for reading
        ReadWrite,          // an existing file, for reading and writing
        CreateTruncate,     // created when missing and emptied; writing
        AppendCreate,       // created when missing; Write() goes to the end; a link is refused
        ReadNoFollow,       // an existing file for reading; a link is refused
        WriteNoFollow,      // an existing file for writing; a link is refused
        ReadWriteNoFollow,  // an existing file for reading and writing; a link is refused
        CreateNew,          // created here and now, exclusively (nothing may have the name, not
                            // even a dangling link); writing
    };

    File() = default;
    ~File();
    File(File&& other) noexcept;
    File& operator=(File&& other) noexcept;
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    // Opens path in mode; an invalid File with the reason in *error when that fails.
    static File Open(const std::string& path, Mode mode, FileError* error = nullptr);

    bool Valid() const;
    explicit operator bool() const { return Valid(); }

    // The file's current length.
    bool Size(std::uint64_t& size) const;
    // Exactly count bytes at offset; false when fewer are there or the read fails.
    bool ReadAt(std::uint64_t offset, void* buffer, std::size_t count) const;
    // All count bytes at offset; false when they cannot all be written.
    bool WriteAt(std::uint64_t offset, const void* buffer, std::size_t count);
    // All count bytes at the file position (at the end in AppendCreate mode).
    bool Write(const void* buffer, std::size_t count);
    // Cuts (or extends) the file to size bytes.
    bool Truncate(std::uint64_t size);
    // Flushes the file's data to the disk.
    bool Sync();

    enum class Lock {
        Taken,        // this File holds the lock now
        Busy,         // another open file holds it
        Unsupported,  // the file system has no such locks
    };
    // The file's exclusive advisory lock, without waiting; held until the File closes.
    Lock TryLock();

    // True while path, looked at without following a link, names the regular file this
    // File has open (not a link to it, not another file put under the name).
    bool IsAt(const std::string& path) const;

    // Closes the file; false when the system reported an error (written data may not have
    // reached the disk). Holds nothing afterwards in every case.
    bool Close();
    void Reset();

  private:
    // A descriptor on POSIX, a HANDLE on Windows; -1 when none.
    std::intptr_t m_handle = -1;
    bool m_bAppend = false;
};

// Removes the file at path (a link itself, not what it points to). False when it is not
// there or cannot be removed.
bool RemoveFile(const std::string& path);
// Renames from to to, replacing a file at to. False when the system refuses.
bool RenameFile(const std::string& from, const std::string& to);

// What ReadRegularFile found.
enum class ReadOutcome {
    Read,        // content holds the whole file
    CannotOpen,  // missing, not a regular file (a FIFO is refused without waiting), denied
    TooLarge,    // longer than the caller allows
    ShortRead,   // the read failed or the file shrank under it
};
// Reads the whole regular file at path, at most maxBytes long, into content (emptied on
// every failure). For the small files the program reads whole: settings, texts, loaders.
ReadOutcome ReadRegularFile(const std::string& path, std::uint64_t maxBytes, std::string& content);

// Replaces the file at path with text without a moment in which path holds anything else:
// text goes to a temporary file created exclusively beside path (so a planted file or link
// is never opened), which gets the permissions of the file it replaces (POSIX), is flushed
// to the disk and renamed over path. On any failure the temporary file is removed and path
// is untouched.
bool ReplaceFileWith(const std::string& path, std::string_view text);

}  // namespace kz::platform

// The PC files of a CF transfer on the file system: a received file written through a
// temporary file beside its target, and the checks a send makes before it reads a file.
//
// A received file never replaces the PC copy before it is complete: its bytes go to a
// temporary file created exclusively in the category folder (a name that starts with "."
// and so never matches a CF file pattern), and only a file of exactly the announced size is
// renamed over the target. Neither the category folder nor the target is ever reached
// through a symbolic link: a folder or target that is a link (or not a plain file) is
// refused, so nothing outside the chosen PC folder is written.
//
// Thread-safety: a CfPartialFile belongs to one thread at a time. The free functions have
// no state; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/UniqueFd.h"

namespace kz {

class CfPartialFile {
  public:
    enum class Status {
        Ok,
        NotPlain,  // the folder or the target is a link or not a plain file/folder
        Failed,    // the file system refused (no folder, no space, no permission, ...)
    };

    CfPartialFile() = default;
    // Discards a file that was not committed.
    ~CfPartialFile();
    CfPartialFile(const CfPartialFile&) = delete;
    CfPartialFile& operator=(const CfPartialFile&) = delete;

    // Discards any file in progress, then creates the temporary file for folder + name.
    // folder may end in '/'; name is a plain file name.
    Status Begin(const std::string& folder, const std::string& name);
    // Appends count bytes; false (the file stays in progress) when they could not all be
    // written or no file is in progress.
    bool Append(const std::uint8_t* data, std::size_t count);
    // Renames the temporary file over the target when exactly size bytes were appended and
    // the target is a plain file or absent. Anything but Ok discards the temporary file.
    Status Commit(std::uint64_t size);
    // Removes the temporary file, if any; the target is left as it was.
    void Discard();
    bool InProgress() const { return m_fd.Valid(); }

  private:
    platform::UniqueFd m_dirFd;
    platform::UniqueFd m_fd;
    std::string m_csTempName;
    std::string m_csName;
    std::uint64_t m_nWritten = 0;
};

// True when path (or, with its trailing '/' removed, the folder it names) is a symbolic
// link. The link itself is looked at, not what it points to.
bool IsSymbolicLink(const std::string& path);

// The size of the plain file at path, looked at without following a symbolic link; -1 when
// it is missing, a link or not a plain file.
std::int64_t PlainFileSize(const std::string& path);

// Reads count bytes at offset of the plain file at path, never through a symbolic link.
// False when the file cannot be opened, is not a plain file or is shorter.
bool ReadPlainFile(const std::string& path, std::uint64_t offset, std::uint8_t* buffer,
                   std::size_t count);

}  // namespace kz

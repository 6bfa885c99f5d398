// A small text file that several runs add to and read back (the service record): only a
// regular file is ever opened, without waiting and without following a link, so a FIFO, a
// device or a planted link in its place never blocks or redirects a run.
//
// Thread-safety: no shared state. Two programs may append to one file at the same time:
// each append holds an exclusive lock on the file while it checks the last byte and writes.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace kz::platform {

// Appends line to the regular file at path (created, mode 0644 less the umask, when
// missing) in one write under an exclusive lock. When the file's last byte is not '\n' (a
// line a crash cut short), a '\n' goes first, so that line stands alone. False when path
// is not a regular file or cannot be opened, locked or written.
bool AppendRecordLine(const std::string& path, std::string_view line);

// The whole content of the regular file at path, or none when it is missing, not a regular
// file, unreadable, or larger than maxBytes.
std::optional<std::string> ReadRecordFile(const std::string& path, std::size_t maxBytes);

}  // namespace kz::platform

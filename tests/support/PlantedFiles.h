// Files of kinds a test plants to see that nothing waits on them or follows them, and a
// disk that fills up.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace kz::test {

// Makes a FIFO at path; false where the system has none in its file system (Windows).
bool MakeFifo(const std::string& path);

// Runs body in a child process whose files cannot grow past limit bytes (a write beyond
// fails as on a full disk) and gives its result (0 to 255); -1 when the child did not end
// normally. Nothing where the system has no such limit (Windows). The child has none of
// the parent's threads: body builds what it needs itself.
std::optional<int> RunWithFileSizeLimit(std::uint64_t limit, const std::function<int()>& body);

// True when this process may make symbolic links (Wine, and Windows without the right to,
// cannot); tests that plant links are skipped where it cannot.
bool SymlinksWork();

// True when file names that differ in letter case name different files in the temporary
// folder (POSIX file systems; not Windows).
bool NamesAreCaseSensitive();

// Sets the environment variable name to value, or removes it when value is null.
void SetEnvironment(const char* name, const char* value);

}  // namespace kz::test

// The program folder: where "KZMNT.INI", the loader files and "KZMNT.log" live.
// It is the folder of the running executable unless a front-end or a test points it
// elsewhere with SetProgramFolder().
//
// Thread-safety: both functions may be called from any thread.
#pragma once

#include <string>

namespace kz::platform {

// The program folder, always ending in '/' (empty when it cannot be determined, so that
// file names alone are used, relative to the working directory).
std::string ProgramFolder();

// Replaces the program folder; a trailing '/' is added when missing (on Windows a
// trailing '\' counts as one too). An empty text goes back to the executable's folder.
void SetProgramFolder(const std::string& folder);

// The folder of the running executable with a trailing '/', empty when the system does not
// say: /proc/self/exe on Linux, GetModuleFileName on Windows (whose '\' separators become
// '/', which every Windows file function takes as well).
std::string ExecutableFolder();

}  // namespace kz::platform

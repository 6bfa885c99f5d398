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

// Replaces the program folder; a trailing '/' is added when missing. An empty text goes
// back to the executable's folder.
void SetProgramFolder(const std::string& folder);

}  // namespace kz::platform

// The running process, for names that must differ between processes (temporary files,
// test folders).
//
// Thread-safety: no state; may be called from any thread.
#pragma once

namespace kz::platform {

// This process's id (getpid on POSIX, GetCurrentProcessId on Windows).
unsigned long CurrentProcessId();

}  // namespace kz::platform

// The local wall-clock time as file names carry it ("20261208-101500"). It comes from the
// system's own calendar functions behind this seam (localtime_r on POSIX systems,
// GetLocalTime on Windows), so that names read as the user's clock does.
//
// Thread-safety: no shared state; callable from any thread.
#pragma once

#include <string>

namespace kz::platform {

// The local time now, "YYYYMMDD-HHMMSS".
std::string LocalTimeStamp();

}  // namespace kz::platform

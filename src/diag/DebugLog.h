// The debug log "KZMNT.log" in the program folder and the DEBUG status-line switch.
#pragma once

#include <string>
#include <vector>

namespace kz {

// Replaces "KZMNT.log" in the program folder with the status list, one line per entry,
// CR LF line ends, each line cut to 255 characters. Silent when the folder is not
// writable; the result says whether the file was written.
bool WriteDebugLog(const std::vector<std::string>& statusLines);
// The path of "KZMNT.log" in the program folder.
std::string DebugLogPath();

// True when the DEBUG setting is exactly "ON"; reads the settings file afresh each call.
bool DebugStatusOn();

}  // namespace kz

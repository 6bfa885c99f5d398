// The safety backup a restore can take first: the panel's memory as it was, in a folder of
// the user's choice, under a name that says which panel and when (the backups of a whole
// line of panels are named the same way). The front-end runs a
// backup into WorkingSafetyName(), and only when it completed gives it its final name
// (NameSafetyBackup) and goes on with the restore.
//
// Thread-safety: no state; the caller owns the files.
#pragma once

#include <string>
#include <string_view>

namespace kz {

// "<model>_<core ID>_<stamp>.mem" (e.g. KZ-DEMO_8C93_20261208-101500.mem). Characters other
// than letters, digits, '-', '_' and '.' in the model and the core ID become '_', so the
// name stays one plain file name; an empty part is "unknown".
std::string SafetyBackupName(std::string_view model, std::string_view coreId,
                             std::string_view stamp);

// The file the backup writes before it is named: "<prefix>-<stamp>.mem" in folder.
std::string WorkingSafetyName(const std::string& folder, std::string_view stamp,
                              std::string_view prefix = "safety");

// Renames the completed backup at path to SafetyBackupName of its header's model and core
// ID, in the same folder, never over an existing file ("-2", "-3", ... before ".mem" when
// the name is taken). The new path, or path itself when the header cannot be read or the
// rename fails.
std::string NameSafetyBackup(const std::string& path, std::string_view stamp);

}  // namespace kz

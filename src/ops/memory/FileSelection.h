// File-name rules of the memory and CF commands: when the file selection dialog accepts a
// name, when the controller asks before overwriting, when it adds ".mem", and the name a
// backup gives itself when the user chose only a folder.
//
// Thread-safety: the functions keep no state and may be called from any thread; those that
// look at the file system see it as it is at the moment of the call.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kz {

// The file selection dialog's modes, one per command that picks a file or folder. The
// values are the dialog's own numbering; restore and verify share one rule.
enum class SelectionMode { Backup = 1, Restore = 2, Verify = 3, CfReceive = 4, CfSend = 5 };

// True when the dialog asks for a folder: backup with automatic file names, CF receive and
// CF send.
bool IsFolderSelection(SelectionMode mode, bool autoFileName);

// True when the dialog may be closed with OK for text. An empty text never is; otherwise:
//   backup, automatic names:  a folder name (see below)
//   backup, names typed:      names no existing folder and ends with ".mem" (any case)
//   restore, verify:          names something that exists (file or folder)
//   CF receive:               a folder name (see below)
//   CF send:                  names an existing folder
// A folder name names an existing folder, whatever its name, or nothing yet and has no "."
// in its last component (the folders above it may have dots). Unknown modes: false.
bool FileSelectionValid(SelectionMode mode, bool autoFileName, const std::string& text);

// Why FileSelectionValid refuses a text, for the dialog to say so; None when it accepts it.
enum class SelectionProblem {
    None,
    Empty,           // no name yet
    FolderExists,    // a file name is wanted, but a folder of that name exists
    NoMemExtension,  // a backup file name must end in ".mem"
    NothingThere,    // the image to read does not exist
    FileExists,      // a folder is wanted, but a file of that name exists
    DotInFolder,     // a new folder's name has a "."
    NoSuchFolder,    // the folder to send from does not exist
    UnknownMode,
};
SelectionProblem FileSelectionProblem(SelectionMode mode, bool autoFileName,
                                      const std::string& text);

// The name with ".mem" appended when it has no "." anywhere (folders included); a name
// with a dot anywhere is returned unchanged.
std::string WithMemExtension(const std::string& name);

// True when the controller must ask before a backup overwrites: file names are typed
// (autoFileName off) and a file (not a folder) of that name exists.
bool NeedsOverwriteQuestion(bool autoFileName, const std::string& path);

// True when name is a plain file name: not empty, no '/' or backslash, no "..", no control
// characters. Names from outside (a BK_FILE stem) must be plain before they join a folder.
bool IsPlainFileName(std::string_view name);

// The automatic backup number: the core ID text read as hex (at most 4 digits; 0 when it
// has none), AND 0xF37F.
std::uint32_t AutoNameNumber(std::string_view coreIdText);

// The backup file in folder: folder + "/bk" + stem + ".MEM" when bkFileStem is not empty,
// otherwise folder + "/bk" + autoNameText + ".MEM". A folder that already ends in '/' gets
// no second one; an empty folder gives the bare name (the working folder).
std::string AutoBackupFileName(const std::string& folder, std::string_view bkFileStem,
                               std::string_view autoNameText);
// The same with the number as four upper-case hex digits for autoNameText.
std::string AutoBackupFileName(const std::string& folder, std::string_view bkFileStem,
                               std::uint32_t autoNameNumber);

}  // namespace kz

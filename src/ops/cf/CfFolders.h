// The PC side of a CF transfer before any byte moves: the folder check and questions before
// a receive, the question before a send, and the collection of the PC files a send takes.
//
// Thread-safety: no state of their own; called on the operation's event thread. The
// questions block that thread until the user has answered (see IOperationPrompt).
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "ops/engine/OperationView.h"
#include "ops/cf/CfCategory.h"

namespace kz {

// Makes sure the seven category subfolders of pcFolder exist before a receive. When all of
// them exist the user is asked whether their files may be overwritten (5002); when any is
// missing, whether the folders should be created (5000), and OK creates every missing one
// (and pcFolder itself) without a further question. The caption is 5001. A subfolder counts
// only under the exact name the receive writes to, so a "Data" folder on a case-sensitive
// file system does not stand in for "data". A folder that cannot be created is not
// reported: the receive fails later when it writes there. Without a prompt the questions
// count as answered OK.
// Returns 0, or msg::kAborted (4001) when the user refused.
int CheckPcFolders(const std::string& pcFolder, IOperationPrompt* prompt);

// Asks whether the files on the panel's CF card may be overwritten by a send (5009,
// caption 5022). True for OK, and when there is no prompt.
bool ConfirmCardOverwrite(IOperationPrompt* prompt);

// Appends to list the PC files of category that a send takes: the plain files in the
// category's folder whose names match prefix + "*" + extension regardless of letter case,
// and whose characters between the first two and the first "." after them are five digits
// forming a number within the category's range. Paths are appended as found (folder +
// name), in the order the file system lists them. A missing or unreadable folder adds
// nothing. Returns the number of paths appended.
std::size_t CollectCategoryFiles(const std::string& pcFolder, const CfCategory& category,
                                 std::vector<std::string>& list);

// True when fileName is exactly a stem of category and its extension, ignoring the letter
// case of ASCII letters ("zi00001.bin"); "ZI00001.BAK.BIN" and names with other bytes are
// not. Only such a name stands for one card file.
bool IsCfFileNameOf(const CfCategory& category, std::string_view fileName);

// The stem a collected file is announced under: the seven characters after the path's last
// '/', upper-cased ("zi00001.bak.bin" -> "ZI00001").
std::string CfStemOfPath(const std::string& path);

}  // namespace kz

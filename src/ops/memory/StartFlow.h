// The start of an operation, shared by every front-end: what happens between the user's
// choice of a file or folder and the creation of the operation.
//
//   chosen path ──► CheckSelectedPath ──► (front-end: its own checks, e.g. the link)
//                                              │
//                         PrepareStart ◄───────┘
//                           backup:         comment (typed, or the image's it replaces),
//                                           cut to 64 characters; overwrite question;
//                                           ".mem" for a typed name
//                           restore/verify: the image header must load (else a message);
//                                           its comment is the form's
//                           every kind:     the path goes on the recent-file list
//                                              │
//                         Ready ──► the front-end creates the operation with the plan's
//                                   path and comment
//
// AUTOFILENAME and the recent-file list are those of KZMNT.INI in the program folder.
//
// Thread-safety: call from the front-end's UI thread; the prompt is called on that thread.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "ops/engine/StepEngine.h"
#include "ops/memory/FileSelection.h"

namespace kz {

// The file selection mode an operation's path is chosen in (either link).
SelectionMode SelectionModeFor(OperationKind kind);

// The comment edit's limit, in bytes of UTF-8 text.
inline constexpr std::size_t kCommentLimit = 64;

// text cut to kCommentLimit bytes without splitting a UTF-8 sequence.
std::string LimitComment(std::string text);

// Why a chosen path cannot be used in mode, as a text to show (string table), or empty
// when it can: the file selection rule of the mode (with AUTOFILENAME for a backup), and
// for an image path a regular file (a FIFO or a device would block the operation, and a
// backup replaces only a regular file; a typed backup name may name nothing yet).
std::string CheckSelectedPath(SelectionMode mode, const std::string& path);

// What the start asks of the front-end. Texts are string-table ids.
class IStartPrompt {
  public:
    virtual ~IStartPrompt() = default;
    // An OK/Cancel question (the overwrite question). True for OK.
    virtual bool AskOkCancel(int textId) = 0;
    // A message with an OK button only (the image cannot be read, the recent-file list
    // could not be saved).
    virtual void ShowMessage(int textId) = 0;
    // A note that does not stop the start (the comment was cut), formatted already.
    virtual void ShowNote(const std::string& text) = 0;
};

enum class StartOutcome {
    Ready,       // create the operation from the plan
    Declined,    // the user refused to overwrite the file
    Unreadable,  // the image header did not load (the message was shown)
};

struct StartPlan {
    StartOutcome outcome = StartOutcome::Ready;
    // The operation's file name or folder: a typed backup name with ".mem" added when it
    // has no '.'; otherwise the path as chosen (with AUTOFILENAME on the backup names the
    // file itself inside that folder).
    std::string path;
    // The form's comment: the backup's (typed, or that of the image a typed name replaces),
    // the image's for restore and verify, empty for the CF transfers.
    std::string comment;
};

// Runs the start of an operation of kind (either link) on path, which CheckSelectedPath accepted.
// comment is the comment typed for a backup (nullopt: none typed; ignored for the other
// kinds). Questions and messages go to prompt.
StartPlan PrepareStart(OperationKind kind, const std::string& path,
                       const std::optional<std::string>& comment, IStartPrompt& prompt);

// The partial image an earlier backup into the plan's file left (a regular file, not
// followed through a link), which a backup of kind may go on from; empty when there is
// none, for any other kind, and with AUTOFILENAME (the run names its file itself).
std::string ResumablePartial(OperationKind kind, const StartPlan& plan);

}  // namespace kz

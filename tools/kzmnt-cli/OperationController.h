// The console's operation controller: the part of the main window that owns the running
// operation. It starts the operation, handles what the operation posts (one message at a
// time, on the main thread), answers its requests, aborts it on Ctrl-C, and on completion
// writes the status list to "KZMNT.log" and deletes it.
//
//   Run ──► PostEvent(EVENT_NONE) ──► WaitMessage ──┬─ WM_MODEL_INFO_REQUEST  confirm model
//                                         ▲         ├─ WM_PASSWORD_REQUEST    password
//                                         │         ├─ WM_POWER_RESET_DIALOG  wait text
//                                         │         ├─ WM_LAN_ABORT_REQUEST   abort (LAN)
//                                         │         ├─ Ctrl-C                 abort / cancel
//                                         └─────────┘
//                                                   └─ WM_OPERATION_COMPLETE  log, delete, status
//
// A serial operation cannot be aborted in its first second. While a LAN operation searches
// the network it cannot be aborted either: the search runs inside the transfer library on
// the operation's thread, and nothing stops it before it has probed every endpoint. Ctrl-C
// or a termination request then ends the run at once, without the operation: the search
// has sent nothing to a panel and written nothing, so the abort's ending is written and
// logged and the program exits (status 1) without waiting for the search.
//
// Thread-safety: Run on the main thread only; Interrupt from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "ConsoleView.h"
#include "ops/OperationHandle.h"
#include "ops/engine/NodeChooser.h"

namespace kz::cli {

// How a run ended.
struct RunResult {
    int exitStatus = 1;     // 0 when the operation completed, 1 otherwise
    int error = 0;          // the operation's final m_nError (msg::kCompleted when completed)
    std::string imagePath;  // a memory operation's image file as it ended (empty for others)
};

class OperationController {
  public:
    // password: the answer to the panel's password request; without it the user is asked
    // on the terminal (or the request is answered empty). Without a terminal, the wait for
    // a power reset of the unit is bounded (nobody could cancel it).
    OperationController(ConsoleView& view, std::optional<std::string> password);

    // Runs op (either link) to its end. comment is the form's comment (shown with the model
    // confirmation); chooser and node are the LAN's (see COperationHandle::Start). Returns
    // once the operation has completed and been deleted.
    RunResult Run(std::unique_ptr<COperationHandle> op, const std::string& comment,
                  INodeChooser* chooser, const std::string& node);

    // Ctrl-C: cancels a question being asked, or is queued for the main thread, which
    // aborts the operation (from 1000 ms after its start, once), cancels the wait for a
    // power reset, or ends the program while a LAN operation searches the network. A termination request (terminate: SIGTERM, SIGHUP) does both: it cancels
    // a question and aborts the operation, and in the operation's first second the abort
    // waits for that second to pass instead of being dropped.
    void Interrupt(bool terminate = false);

  private:
    RunResult Loop();
    void OnModelInfoRequest(RequestEvent* request);
    void OnPasswordRequest(RequestEvent* request);
    void OnPowerResetDialog(std::uintptr_t wParam);
    void OnInterrupt();
    [[noreturn]] void EndDuringSearch(bool terminate);
    RunResult OnComplete();

    ConsoleView& view_;
    std::optional<std::string> password_;

    std::unique_ptr<COperationHandle> op_;  // the running operation
    std::string comment_;
    bool abortPosted_ = false;
    std::atomic<bool> terminate_{false};
    bool waitDialogShown_ = false;
};

}  // namespace kz::cli

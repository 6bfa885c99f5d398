#include "OperationController.h"

#include <cstdio>
#include <cstdlib>

#include "Commands.h"
#include "config/MessageIds.h"
#include "config/ModelDefs.h"
#include "config/StringTable.h"
#include "diag/DebugLog.h"
#include "diag/Trace.h"
#include "ops/engine/StepEngine.h"
#include "ops/memory/ModelConfirm.h"
#include "platform/Clock.h"
#include "platform/Format.h"
#include "platform/Printable.h"

namespace kz::cli {

namespace {

constexpr std::size_t kPasswordLimit = 255;
// Without a terminal nobody can cancel the wait for a power reset; after this long the
// unit is taken as gone.
constexpr std::chrono::seconds kUnattendedPowerResetWait{120};

// A notice of the controller on stderr.
std::string Notice(int id) {
    return "kzmnt-cli: " + GetString(id);
}

void PrintAreaList(ConsoleView& view, const char* label, const std::vector<std::string>& areas) {
    view.PrintOut(std::string("  ") + label + ":");
    for (const std::string& area : areas) {
        view.PrintOut("    " + area);
    }
}

}  // namespace

OperationController::OperationController(ConsoleView& view, std::optional<std::string> password)
    : view_(view), password_(std::move(password)) {}

RunResult OperationController::Run(std::unique_ptr<COperationHandle> op, const std::string& comment,
                                   INodeChooser* chooser, const std::string& node) {
    op_ = std::move(op);
    comment_ = comment;
    abortPosted_ = false;
    waitDialogShown_ = false;
    if (!view_.GetTerminal()) {
        op_->SetPowerResetLimit(kUnattendedPowerResetWait);
    }
    op_->Start(&view_, &view_, chooser, node);
    return Loop();
}

RunResult OperationController::Loop() {
    for (;;) {
        const UiMessage message = view_.WaitMessage();
        if (message.kind == UiMessage::Kind::Interrupt) {
            OnInterrupt();
            continue;
        }
        switch (message.msg) {
            case WM_MODEL_INFO_REQUEST:
                OnModelInfoRequest(message.request);
                break;
            case WM_PASSWORD_REQUEST:
                OnPasswordRequest(message.request);
                break;
            case WM_POWER_RESET_DIALOG:
                OnPowerResetDialog(message.wParam);
                break;
            case WM_LAN_ABORT_REQUEST:
                // Whoever posts it wants the LAN operation aborted, without a question.
                if (op_ && op_->GetLink() == Link::Lan && !abortPosted_) {
                    abortPosted_ = true;
                    view_.PrintErr(Notice(msg::kAborting));
                    op_->Abort();
                }
                if (message.request) {
                    message.request->Set();
                }
                break;
            case WM_OPERATION_COMPLETE:
                return OnComplete();
            default:
                // Nothing else is meant for an operation's view; a request must
                // still be released.
                if (message.request) {
                    message.request->Set();
                }
                break;
        }
    }
}

void OperationController::Interrupt(bool terminate) {
    if (terminate) {
        terminate_ = true;
    }
    Terminal* terminal = view_.GetTerminal();
    if (terminal && terminal->CancelQuestion() && !terminate) {
        return;
    }
    view_.PostInterrupt();
}

void OperationController::OnInterrupt() {
    if (!op_) {
        return;
    }
    if (waitDialogShown_ && op_->CancelPowerReset()) {
        view_.PrintErr(Notice(msg::kPowerResetCancelled));
        return;
    }
    if (abortPosted_) {
        return;
    }
    const bool terminate = terminate_;
    switch (op_->MayAbort()) {
        case AbortRule::Searching:
            EndDuringSearch(terminate);  // ends the program
        case AbortRule::FirstSecond:
            if (!terminate) {
                return;
            }
            // A termination request is not dropped: the program must still end, and end the
            // way an abort does. What the operation posts meanwhile waits in the queue.
            platform::Clock().Sleep(op_->FirstSecondLeft());
            break;
        case AbortRule::Allowed:
            break;
    }
    abortPosted_ = true;
    view_.PrintErr(Notice(terminate ? msg::kTerminating : msg::kAborting));
    op_->Abort();
}

void OperationController::EndDuringSearch(bool terminate) {
    // The operation's thread stays in the library until the search has probed every
    // endpoint, and the operation can only be deleted after it: the program ends without
    // it. Whatever the operation adds after the final line is dropped.
    view_.PrintErr(Notice(terminate ? msg::kTerminating : msg::kAborting));
    view_.EndProgress();
    view_.CloseStatusList(GetString(msg::kAborted));
    WriteDebugLog(view_.StatusLines());
    std::fflush(nullptr);
    std::_Exit(kExitFailed);
}

void OperationController::OnModelInfoRequest(RequestEvent* request) {
    const std::optional<ModelInfoExchange> exchange = op_ ? op_->ModelInfoRequest() : std::nullopt;
    if (exchange) {
        const CModelDefs defs;
        const ModelInfo info = ConfirmModel(defs, ToDialogInput(*exchange, comment_));

        const std::string caption = info.captionId != 0 ? GetString(info.captionId) : "Model";
        view_.PrintOut(caption);
        view_.PrintOut("  Core ID: " + info.coreIdDisplay);
        view_.PrintOut("  Model: " + Printable(info.modelName));
        view_.PrintOut("  I/O Code: " + Printable(info.ioCode));
        view_.PrintOut("  Comment: " + Printable(info.comment));
        view_.PrintOut("  " + Printable(info.message));
        PrintAreaList(view_, "FEPROM", info.fepromList);
        PrintAreaList(view_, "SRAM", info.sramList);

        const bool ok = view_.Confirm(caption + ": " + Printable(info.message));
        // The dialog's model, file-name stem and rate go back in every case; a refusal
        // also empties the file name, which the operation ends with msg::kAborted.
        op_->AnswerModelInfo(ok, info.modelName, info.bkFileStem, info.baud);
    }
    if (request) {
        request->Set();
    }
}

void OperationController::OnPasswordRequest(RequestEvent* request) {
    std::string password;
    if (password_) {
        password = *password_;
    } else if (Terminal* terminal = view_.GetTerminal()) {
        // An empty password cannot be confirmed: ask again until one is typed or the
        // question is cancelled.
        for (;;) {
            const std::optional<std::string> typed =
                terminal->ReadSecret(GetString(msg::kPasswordPrompt));
            if (!typed) {
                break;
            }
            if (!typed->empty()) {
                password = *typed;
                break;
            }
        }
    } else {
        view_.PrintErr(Notice(msg::kPasswordNoTerminal));
    }
    if (password.size() > kPasswordLimit) {
        password.resize(kPasswordLimit);
    }
    if (op_) {
        op_->AnswerPassword(password);
    }
    if (request) {
        request->Set();
    }
}

void OperationController::OnPowerResetDialog(std::uintptr_t wParam) {
    if (!op_ || op_->GetLink() != Link::Serial) {
        return;
    }
    if (wParam == 1) {
        if (!waitDialogShown_) {
            waitDialogShown_ = true;
            view_.PrintErr(GetString(msg::kAppTitle) + ":\n" + GetString(msg::kPowerResetWait));
        }
        return;
    }
    waitDialogShown_ = false;
}

RunResult OperationController::OnComplete() {
    view_.EndProgress();
    WriteDebugLog(view_.StatusLines());
    RunResult result;
    if (op_) {
        TraceMessage("KZmnt", "OperationController::OnComplete [%s]\n", op_->LinkName());
        result.error = op_->Error();
        const std::string openError = op_->PortOpenError();
        if (!openError.empty()) {
            // The final line only says to check the cable; say what really happened.
            view_.PrintErr("kzmnt-cli: " +
                           Format(GetString(msg::kPortOpenFailed).c_str(), openError.c_str()));
        }
        result.imagePath = op_->ImagePath();
        op_->Shutdown();
        op_.reset();
    }
    waitDialogShown_ = false;
    result.exitStatus = result.error == msg::kCompleted ? 0 : 1;
    return result;
}

}  // namespace kz::cli

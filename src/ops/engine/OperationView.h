// What an operation may ask of its front-end: the view (status list, progress bar, model
// field, power warning, posted messages) and the prompt (questions the operation asks the
// user directly). The Qt window and the command-line tool implement both; an operation
// without a view runs without any user interface and every call is skipped.
//
// Thread-safety: operations call these from their event thread, never from the
// front-end's UI thread. Implementations must not block on the operation (the UI thread
// never waits for an operation); the prompt calls and RequestFromView block the
// operation's event thread until the user has answered, which is safe for that reason.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "ops/engine/TransferProgress.h"

namespace kz {

// Messages an operation posts to its view.
inline constexpr unsigned WM_MODEL_INFO_REQUEST = 2025;
inline constexpr unsigned WM_OPERATION_COMPLETE = 2026;
inline constexpr unsigned WM_POWER_RESET_DIALOG = 2027;
inline constexpr unsigned WM_LAN_ABORT_REQUEST = 2028;
inline constexpr unsigned WM_PASSWORD_REQUEST = 2029;

// Auto-reset event an operation waits on while the view runs a dialog for it.
class RequestEvent {
  public:
    void Reset() {
        std::lock_guard lock(mutex_);
        signalled_ = false;
    }
    void Set() {
        std::lock_guard lock(mutex_);
        signalled_ = true;
        cv_.notify_all();
    }
    // Blocks until Set(), then resets the event.
    void Wait() {
        std::unique_lock lock(mutex_);
        cv_.wait(lock, [this] { return signalled_; });
        signalled_ = false;
    }

  private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool signalled_ = false;
};

class IOperationView {
  public:
    virtual ~IOperationView() = default;

    // Appends a line to the status list and selects it (newest last).
    virtual void AddStatusLine(const std::string& text) = 0;
    virtual void ClearStatusList() = 0;
    // Progress bar position, 0 to 100 (the low 16 bits are used).
    virtual void SetProgress(int position) = 0;
    virtual void ResetProgress() = 0;
    virtual void SetModelName(const std::string& name) = 0;
    // Shows or hides "Please do not shut off a power supply during transmission.".
    virtual void ShowPowerWarning(bool show) = 0;
    // The transfer's bytes, rate, time left and area (FormatProgress makes the text): a few
    // times a second while data moves, on every change of area, and once more when the run
    // ends (running false). A view that shows only the bar may ignore it.
    virtual void SetTransferProgress(const TransferSnapshot& snapshot) { (void)snapshot; }

    // Posts msg to the view's UI thread and returns at once. For WM_MODEL_INFO_REQUEST and
    // WM_PASSWORD_REQUEST, request is the event the view sets once it has written its
    // answer into the operation; for the others it is null.
    virtual void PostViewMessage(unsigned msg, std::uintptr_t wParam, RequestEvent* request) = 0;
};

// Questions an operation asks the user directly. Texts are string-table ids.
class IOperationPrompt {
  public:
    virtual ~IOperationPrompt() = default;

    // A message box with OK and Cancel; captionId 0 means no caption. True for OK.
    virtual bool AskOkCancel(int textId, int captionId) = 0;
    // A message box with an OK button only.
    virtual void ShowMessage(int textId, int captionId) = 0;
    // The restore warning ("Restoration is started."). True for OK.
    virtual bool ConfirmRestore() = 0;
};

}  // namespace kz

// The operation's way into the window. An operation calls the view and prompt interfaces
// from its event thread; the bridge turns every call into a queued call on the GUI thread,
// so the window's controls are only ever touched there, in the order the operation made
// the calls.
//
// Questions (the prompt's message boxes, the restore warning, the node choice) block the
// operation's event thread until the GUI thread has answered; the GUI thread never waits
// for the operation. Before the window deletes an operation it closes the bridge: every
// question still open or still queued is answered with Cancel at once, and later ones are
// not asked, so the operation's threads can always be joined.
//
//   event thread                 GUI thread (CNQmntView)
//   AddStatusLine(t) ─ queued ─► OnStatusLine(t)
//   SetTransferProgress(s) ─ q ─► OnTransferProgress(s)
//   PostViewMessage  ─ queued ─► OnViewMessage(msg, wParam, request)
//   AskOkCancel      ─ queued ─► RunQuestion(...) … Answer(q, result) ─► wakes the thread
//        (waits)
//
// Thread-safety: the interface calls from any thread; Close/Open/Answer on the GUI thread.
#pragma once

#include <QObject>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "ops/engine/NodeChooser.h"
#include "ops/engine/OperationView.h"

namespace kz::ui {

// What the GUI thread shows for a question and how the answer gets back.
struct Question {
    enum class Kind { OkCancel, Message, RestoreWarning, ChooseNode };
    Kind kind = Kind::OkCancel;
    int textId = 0;
    int captionId = 0;
    std::vector<std::string> nodes;  // ChooseNode

    // Written by Answer().
    bool ok = false;
    std::string address;  // ChooseNode

    std::mutex mutex;
    std::condition_variable answered;
    bool done = false;
};

// The GUI side the bridge reaches; implemented by the view.
class IBridgeTarget {
  public:
    virtual ~IBridgeTarget() = default;
    virtual void OnStatusLine(const std::string& text) = 0;
    virtual void OnClearStatusList() = 0;
    virtual void OnProgress(int position) = 0;
    virtual void OnModelName(const std::string& name) = 0;
    virtual void OnPowerWarning(bool show) = 0;
    virtual void OnTransferProgress(const TransferSnapshot& snapshot) = 0;
    virtual void OnViewMessage(unsigned msg, std::uintptr_t wParam, RequestEvent* request) = 0;
    // Shows q; the target calls OperationBridge::Answer once the user has answered.
    virtual void RunQuestion(const std::shared_ptr<Question>& q) = 0;
};

class OperationBridge final : public IOperationView, public IOperationPrompt, public INodeChooser {
  public:
    // context: the QObject the queued calls run on (the view); target: its GUI side.
    OperationBridge(QObject* context, IBridgeTarget* target);

    // ---- IOperationView (event thread) ----
    void AddStatusLine(const std::string& text) override;
    void ClearStatusList() override;
    void SetProgress(int position) override;
    void ResetProgress() override;
    void SetModelName(const std::string& name) override;
    void ShowPowerWarning(bool show) override;
    void SetTransferProgress(const TransferSnapshot& snapshot) override;
    void PostViewMessage(unsigned msg, std::uintptr_t wParam, RequestEvent* request) override;

    // ---- IOperationPrompt, INodeChooser (event thread; block until answered) ----
    bool AskOkCancel(int textId, int captionId) override;
    void ShowMessage(int textId, int captionId) override;
    bool ConfirmRestore() override;
    bool ChooseNode(const std::vector<std::string>& nodes, std::string* address) override;

    // ---- GUI thread ----
    // Records the answer to q and wakes the operation (once; later answers are ignored).
    static void Answer(const std::shared_ptr<Question>& q, bool ok,
                       const std::string& address = {});
    // Answers every open question with Cancel and refuses new ones (they get Cancel at
    // once) until Open().
    void Close();
    void Open();

  private:
    // Queues q for the GUI thread and waits for its answer; Cancel when closed.
    void Ask(const std::shared_ptr<Question>& q);

    QObject* context_;
    IBridgeTarget* target_;
    std::mutex mutex_;
    bool closed_ = false;
    std::set<std::shared_ptr<Question>> open_;
};

}  // namespace kz::ui

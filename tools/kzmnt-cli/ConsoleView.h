// The operation's view and prompt on a console: status lines go to stdout as they are
// added (one flushed line each), the progress bar to stderr when stderr is a terminal (with
// the transfer's bytes, rate, time left and area beside it, cut to the terminal's width), and
// the messages an operation posts are queued for the program's main thread, which plays
// the UI thread and takes them one at a time (WaitMessage).
//
// Questions (the operation's own and the controller's) are answered by Confirm: --yes
// answers OK, otherwise the user is asked on the terminal, and without a terminal the
// question is refused.
//
// Thread-safety: the IOperationView and IOperationPrompt calls come from the operation's
// event thread; PostInterrupt from the signal watcher; WaitMessage and everything else
// from the main thread. All output goes through one lock, so lines never interleave.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Terminal.h"
#include "ops/engine/OperationView.h"

namespace kz::cli {

// One entry of the main thread's queue: a message posted by the operation, or Ctrl-C.
struct UiMessage {
    enum class Kind { View, Interrupt };
    Kind kind = Kind::View;
    unsigned msg = 0;
    std::uintptr_t wParam = 0;
    RequestEvent* request = nullptr;
};

class ConsoleView final : public IOperationView, public IOperationPrompt {
  public:
    // yes: answer every question with OK. terminal: where to ask otherwise (may be null;
    // not owned, must outlive the view).
    ConsoleView(bool yes, Terminal* terminal);
    ~ConsoleView() override;
    ConsoleView(const ConsoleView&) = delete;
    ConsoleView& operator=(const ConsoleView&) = delete;

    // IOperationView
    void AddStatusLine(const std::string& text) override;
    void ClearStatusList() override;
    void SetProgress(int position) override;
    void ResetProgress() override;
    void SetModelName(const std::string& name) override;
    void ShowPowerWarning(bool show) override;
    void SetTransferProgress(const TransferSnapshot& snapshot) override;
    void PostViewMessage(unsigned msg, std::uintptr_t wParam, RequestEvent* request) override;

    // IOperationPrompt
    bool AskOkCancel(int textId, int captionId) override;
    void ShowMessage(int textId, int captionId) override;
    bool ConfirmRestore() override;

    // An OK/Cancel question: true for OK. --yes answers OK at once; without a terminal the
    // question is refused (false) with a note on stderr.
    bool Confirm(const std::string& text);
    // A question answered with a line of text on the terminal (trimmed). Nothing without a
    // terminal, at the end of input or when the question was cancelled.
    std::optional<std::string> AskLine(const std::string& text);
    bool HasTerminal() const { return terminal_ != nullptr; }
    Terminal* GetTerminal() const { return terminal_; }

    // Queues a Ctrl-C for the main thread.
    void PostInterrupt();
    // Blocks until a message is queued and returns the oldest.
    UiMessage WaitMessage();

    // The status list as it stands (what the log receives).
    std::vector<std::string> StatusLines();
    // Adds text as the status list's last line: what the operation adds afterwards is
    // neither shown nor listed (for a run the program ends without its operation).
    void CloseStatusList(const std::string& text);

    // A line on stdout / stderr, kept clear of the progress bar.
    void PrintOut(const std::string& text);
    void PrintErr(const std::string& text);
    // Removes the progress bar from the terminal (at the end of an operation).
    void EndProgress();

  private:
    void EraseBarLocked();
    void DrawBarLocked();
    void WriteLocked(std::FILE* stream, const std::string& text);

    const bool yes_;
    Terminal* const terminal_;
    const bool barOnTerminal_;

    std::mutex outputMutex_;
    std::vector<std::string> lines_;
    bool closed_ = false;  // CloseStatusList was called
    int progress_ = 0;
    std::string detail_;  // the transfer's progress text beside the bar
    bool barShown_ = false;
    bool powerWarning_ = false;
    std::string modelName_;

    std::mutex queueMutex_;
    std::condition_variable queueCv_;
    std::deque<UiMessage> queue_;
};

}  // namespace kz::cli

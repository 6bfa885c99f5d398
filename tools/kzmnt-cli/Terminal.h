// The user's terminal for the questions kzmnt-cli asks: OK/Cancel confirmations and the
// panel password (typed without echo). It is the controlling terminal (/dev/tty), or
// standard input when that is a terminal and /dev/tty cannot be opened. A program run
// without a terminal gets none (Open returns null) and its questions are refused.
//
// A question that is being asked can be cancelled from another thread (Ctrl-C arrives on
// the signal watcher's thread): the waiting read returns and the question counts as
// answered with Cancel.
//
// Thread-safety: questions are asked one at a time (a second caller waits for the first to
// be answered); CancelQuestion may be called from any thread.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/UniqueFd.h"

namespace kz::cli {

class Terminal {
  public:
    // The terminal to ask on, or null when the program has none.
    static std::unique_ptr<Terminal> Open();
    // A terminal that reads from fd and writes its questions to outFd; neither is closed by
    // it. Null when its wake-up pipe cannot be made.
    static std::unique_ptr<Terminal> OnDescriptors(int fd, int outFd);
    ~Terminal();
    Terminal(const Terminal&) = delete;
    Terminal& operator=(const Terminal&) = delete;

    // Shows text (several lines allowed) and asks until the user answers yes/ok (true) or
    // no/cancel (false); an empty answer is Cancel. End of input or a cancelled question:
    // false.
    bool AskOkCancel(const std::string& text);

    // Switches echo off, shows prompt and reads one line. Echo is off before the prompt can
    // be seen, so nothing typed in answer to it is shown. Nothing when the input ended or
    // the question was cancelled. The terminal's settings are restored in every case.
    std::optional<std::string> ReadSecret(const std::string& prompt);

    // Shows text and reads one line (echoed), trimmed. Nothing when the input ended or the
    // question was cancelled.
    std::optional<std::string> AskLine(const std::string& text);

    // Cancels the question being asked. True when there was one (it now answers Cancel);
    // false when no question is open, so the caller may treat the interrupt otherwise.
    bool CancelQuestion();

  private:
    // owned: the descriptor fd belongs to, when the terminal opened it itself.
    Terminal(int fd, platform::UniqueFd owned, int outFd, platform::UniqueFd wakeRead,
             platform::UniqueFd wakeWrite);

    // Longest answer kept; the rest of a longer line is dropped.
    static constexpr std::size_t kMaxAnswer = 1024;

    // Shows prompt and reads one line (without its line end), echoed unless echo is false:
    // echo is off before the prompt shows. Nothing on end of input or cancellation.
    std::optional<std::string> Prompt(const std::string& prompt, bool echo);
    // Reads one line (without its line end). Nothing on end of input or cancellation.
    std::optional<std::string> ReadLine();
    void Write(const std::string& text);
    void BeginQuestion();
    void EndQuestion();

    int fd_;
    platform::UniqueFd owned_;  // fd_ when the terminal opened it, otherwise empty
    int outFd_;                 // where questions are written: the terminal itself, or stderr
    platform::UniqueFd wakeRead_;
    platform::UniqueFd wakeWrite_;

    std::mutex askMutex_;  // one question at a time
    std::mutex stateMutex_;
    bool asking_ = false;
};

}  // namespace kz::cli

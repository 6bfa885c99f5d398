// Ctrl-C and termination requests for kzmnt-cli: while a watcher exists they no longer end
// the program; each one is handed to a callback on a thread of the watcher's (never inside a
// signal handler), where it may take locks and talk to the terminal or the operation. A
// transfer is thus always ended the same way: aborted, the panel reset, the final line
// written.
//
// POSIX (InterruptWatcher_posix.cpp): SIGINT, SIGTERM and SIGHUP, each passed on with its
// number. Windows (InterruptWatcher_win32.cpp): the console's control events through
// SetConsoleCtrlHandler; Ctrl-C and Ctrl-Break come as kInterrupt, the console's close,
// log-off and shut-down as kTerminate. The system ends the program a few seconds after a
// close event whatever it does, so the handler waits for the program's own end only that
// long.
//
// Thread-safety: one watcher at a time per process; build and destroy it on the main thread.
#pragma once

#include <functional>
#include <memory>

namespace kz::cli {

class InterruptWatcher {
  public:
    // What onInterrupt is told: an interrupt from the keyboard, or a request to end.
    enum Kind { kInterrupt = 2, kTerminate = 15 };

    explicit InterruptWatcher(std::function<void(int kind)> onInterrupt);
    // Puts the previous handling back and ends the thread.
    ~InterruptWatcher();
    InterruptWatcher(const InterruptWatcher&) = delete;
    InterruptWatcher& operator=(const InterruptWatcher&) = delete;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace kz::cli

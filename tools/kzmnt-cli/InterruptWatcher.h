// Ctrl-C for kzmnt-cli: while a watcher exists, SIGINT no longer ends the program; each one
// is handed to a callback on the watcher's own thread (never inside the signal handler),
// where it may take locks and talk to the terminal or the operation.
//
// Thread-safety: one watcher at a time per process; build and destroy it on the main thread.
#pragma once

#include <signal.h>

#include <functional>
#include <thread>

namespace kz::cli {

class InterruptWatcher {
  public:
    explicit InterruptWatcher(std::function<void()> onInterrupt);
    // Puts the previous SIGINT disposition back and ends the thread.
    ~InterruptWatcher();
    InterruptWatcher(const InterruptWatcher&) = delete;
    InterruptWatcher& operator=(const InterruptWatcher&) = delete;

  private:
    void Run();

    std::function<void()> onInterrupt_;
    int stopRead_ = -1;
    int stopWrite_ = -1;
    struct sigaction previous_ {};
    bool installed_ = false;
    std::thread thread_;
};

}  // namespace kz::cli

// Ctrl-C and termination requests for kzmnt-cli: while a watcher exists, SIGINT, SIGTERM and
// SIGHUP no longer end the program; each one is handed to a callback (with the signal's
// number) on the watcher's own thread (never inside the signal handler), where it may take
// locks and talk to the terminal or the operation. A transfer is thus always ended the
// same way: aborted, the panel reset, the final line written.
//
// Thread-safety: one watcher at a time per process; build and destroy it on the main thread.
#pragma once

#include <signal.h>

#include <functional>
#include <iterator>
#include <thread>

#include "platform/UniqueFd.h"

namespace kz::cli {

class InterruptWatcher {
  public:
    explicit InterruptWatcher(std::function<void(int signal)> onInterrupt);
    // Puts the previous dispositions back and ends the thread.
    ~InterruptWatcher();
    InterruptWatcher(const InterruptWatcher&) = delete;
    InterruptWatcher& operator=(const InterruptWatcher&) = delete;

  private:
    void Run();

    static constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

    std::function<void(int signal)> onInterrupt_;
    // The signal handler writes to the signal pipe; the destructor wakes the thread
    // through the stop pipe.
    platform::UniqueFd signalRead_;
    platform::UniqueFd signalWrite_;
    platform::UniqueFd stopRead_;
    platform::UniqueFd stopWrite_;
    struct sigaction previous_[std::size(kSignals)]{};
    bool installed_[std::size(kSignals)] = {};
    std::thread thread_;
};

}  // namespace kz::cli

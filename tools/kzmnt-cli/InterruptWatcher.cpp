#include "InterruptWatcher.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace kz::cli {

namespace {

// The handler only writes to this pipe; the watcher thread reads it. A copy of the
// descriptor the watcher owns, for the handler, which may use nothing else.
int g_signalWrite = -1;

extern "C" void OnSignal(int signal) {
    const int saved = errno;
    const char byte = static_cast<char>(signal);
    [[maybe_unused]] const ssize_t n = ::write(g_signalWrite, &byte, 1);
    errno = saved;
}

}  // namespace

InterruptWatcher::InterruptWatcher(std::function<void(int signal)> onInterrupt)
    : onInterrupt_(std::move(onInterrupt)) {
    // Without both pipes no signal is taken over: Ctrl-C then ends the program as usual.
    if (!platform::MakePipe(signalRead_, signalWrite_, true) ||
        !platform::MakePipe(stopRead_, stopWrite_, false)) {
        return;
    }
    g_signalWrite = signalWrite_.Get();

    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (std::size_t i = 0; i < std::size(kSignals); ++i) {
        installed_[i] = ::sigaction(kSignals[i], &action, &previous_[i]) == 0;
    }
    thread_ = std::thread([this] { Run(); });
}

InterruptWatcher::~InterruptWatcher() {
    for (std::size_t i = 0; i < std::size(kSignals); ++i) {
        if (installed_[i]) {
            ::sigaction(kSignals[i], &previous_[i], nullptr);
        }
    }
    if (thread_.joinable()) {
        const char byte = 1;
        [[maybe_unused]] const ssize_t n = ::write(stopWrite_.Get(), &byte, 1);
        thread_.join();
    }
    // The handlers are gone; the pipes close with the members.
    g_signalWrite = -1;
}

void InterruptWatcher::Run() {
    for (;;) {
        pollfd fds[2] = {{signalRead_.Get(), POLLIN, 0}, {stopRead_.Get(), POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if (fds[1].revents != 0) {
            return;
        }
        if (fds[0].revents & POLLIN) {
            char drain[16];
            const ssize_t n = ::read(signalRead_.Get(), drain, sizeof drain);
            for (ssize_t i = 0; i < n; ++i) {
                onInterrupt_(drain[i]);
            }
        }
    }
}

}  // namespace kz::cli

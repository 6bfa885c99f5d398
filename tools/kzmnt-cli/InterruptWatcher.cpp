#include "InterruptWatcher.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace kz::cli {

namespace {

// The handler only writes to this pipe; the watcher thread reads it.
int g_signalRead = -1;
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
    int signalPipe[2];
    int stopPipe[2];
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        return;
    }
    if (::pipe2(stopPipe, O_CLOEXEC) != 0) {
        ::close(signalPipe[0]);
        ::close(signalPipe[1]);
        return;
    }
    g_signalRead = signalPipe[0];
    g_signalWrite = signalPipe[1];
    stopRead_ = stopPipe[0];
    stopWrite_ = stopPipe[1];

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
        [[maybe_unused]] const ssize_t n = ::write(stopWrite_, &byte, 1);
        thread_.join();
    }
    for (int fd : {stopRead_, stopWrite_, g_signalRead, g_signalWrite}) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
    g_signalRead = g_signalWrite = -1;
}

void InterruptWatcher::Run() {
    for (;;) {
        pollfd fds[2] = {{g_signalRead, POLLIN, 0}, {stopRead_, POLLIN, 0}};
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
            const ssize_t n = ::read(g_signalRead, drain, sizeof drain);
            for (ssize_t i = 0; i < n; ++i) {
                onInterrupt_(drain[i]);
            }
        }
    }
}

}  // namespace kz::cli

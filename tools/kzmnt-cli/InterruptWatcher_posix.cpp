#include "InterruptWatcher.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <iterator>
#include <thread>

#include "platform/UniqueFd.h"

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

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

}  // namespace

struct InterruptWatcher::Impl {
    explicit Impl(std::function<void(int)> onInterrupt) : onInterrupt_(std::move(onInterrupt)) {}
    void Run();

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

// SIGINT is reported as kInterrupt; the others ask the program to end.
static_assert(InterruptWatcher::kInterrupt == SIGINT);

InterruptWatcher::InterruptWatcher(std::function<void(int kind)> onInterrupt)
    : impl_(std::make_unique<Impl>([callback = std::move(onInterrupt)](int signal) {
          callback(signal == SIGINT ? kInterrupt : kTerminate);
      })) {
    Impl& d = *impl_;
    // Without both pipes no signal is taken over: Ctrl-C then ends the program as usual.
    if (!platform::MakePipe(d.signalRead_, d.signalWrite_, true) ||
        !platform::MakePipe(d.stopRead_, d.stopWrite_, false)) {
        return;
    }
    g_signalWrite = d.signalWrite_.Get();

    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (std::size_t i = 0; i < std::size(kSignals); ++i) {
        d.installed_[i] = ::sigaction(kSignals[i], &action, &d.previous_[i]) == 0;
    }
    d.thread_ = std::thread([&d] { d.Run(); });
}

InterruptWatcher::~InterruptWatcher() {
    Impl& d = *impl_;
    for (std::size_t i = 0; i < std::size(kSignals); ++i) {
        if (d.installed_[i]) {
            ::sigaction(kSignals[i], &d.previous_[i], nullptr);
        }
    }
    if (d.thread_.joinable()) {
        const char byte = 1;
        [[maybe_unused]] const ssize_t n = ::write(d.stopWrite_.Get(), &byte, 1);
        d.thread_.join();
    }
    // The handlers are gone; the pipes close with the members.
    g_signalWrite = -1;
}

void InterruptWatcher::Impl::Run() {
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

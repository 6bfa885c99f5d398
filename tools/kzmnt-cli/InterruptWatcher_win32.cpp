// The console's control events. The system calls the handler on a thread of its own, so
// the callback could run right there; it is still handed to the watcher's thread, one at a
// time, as on POSIX. A close, log-off or shut-down event ends the process as soon as the
// handler returns, so the handler then waits (bounded) until the program has ended its run.
#include <windows.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "InterruptWatcher.h"

namespace kz::cli {

namespace {

// The system ends a program about 5 s after a close event; the handler gives the run that
// long less a margin.
constexpr DWORD kCloseWaitMs = 4500;

std::mutex g_mutex;
InterruptWatcher* g_watcher = nullptr;  // the one watcher, while it exists

}  // namespace

struct InterruptWatcher::Impl {
    std::function<void(int)> onInterrupt;
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<int> pending;
    bool stopping = false;
    bool installed = false;
    std::thread thread;

    void Run() {
        std::unique_lock lock(mutex);
        for (;;) {
            wake.wait(lock, [this] { return stopping || !pending.empty(); });
            if (stopping) {
                return;
            }
            const int kind = pending.front();
            pending.pop_front();
            lock.unlock();
            onInterrupt(kind);
            lock.lock();
        }
    }

    void Post(int kind) {
        std::lock_guard lock(mutex);
        pending.push_back(kind);
        wake.notify_one();
    }

    static BOOL WINAPI OnControl(DWORD event) {
        const bool close =
            event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT;
        {
            std::lock_guard lock(g_mutex);
            if (g_watcher == nullptr) {
                return FALSE;  // the default handling: the program ends
            }
            g_watcher->impl_->Post(close ? kTerminate : kInterrupt);
        }
        if (close) {
            // The process ends when this returns; the main thread ending first ends it sooner.
            ::Sleep(kCloseWaitMs);
        }
        return TRUE;
    }
};

InterruptWatcher::InterruptWatcher(std::function<void(int kind)> onInterrupt)
    : impl_(std::make_unique<Impl>()) {
    impl_->onInterrupt = std::move(onInterrupt);
    impl_->thread = std::thread([d = impl_.get()] { d->Run(); });
    {
        std::lock_guard lock(g_mutex);
        g_watcher = this;
    }
    impl_->installed = ::SetConsoleCtrlHandler(&Impl::OnControl, TRUE) != 0;
}

InterruptWatcher::~InterruptWatcher() {
    if (impl_->installed) {
        ::SetConsoleCtrlHandler(&Impl::OnControl, FALSE);
    }
    {
        std::lock_guard lock(g_mutex);
        g_watcher = nullptr;
    }
    {
        std::lock_guard lock(impl_->mutex);
        impl_->stopping = true;
        impl_->wake.notify_one();
    }
    if (impl_->thread.joinable()) {
        impl_->thread.join();
    }
}

}  // namespace kz::cli

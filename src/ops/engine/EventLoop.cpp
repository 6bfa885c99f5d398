#include "ops/engine/EventLoop.h"

#include <algorithm>

namespace kz {

EventLoop::EventLoop(Handler handler) : handler_(std::move(handler)) {
    thread_ = std::thread([this] { Run(); });
}

EventLoop::~EventLoop() {
    Stop();
    if (thread_.joinable()) {
        // Only reached when the owner is destroyed from inside a handler call.
        thread_.detach();
    }
}

void EventLoop::Post(int event, std::uint64_t token, bool coalesce) {
    std::lock_guard lock(mutex_);
    if (stopping_) {
        return;
    }
    if (coalesce && std::any_of(queue_.begin(), queue_.end(),
                                [event](const Item& item) { return item.event == event; })) {
        return;
    }
    queue_.push_back({event, token});
    cv_.notify_all();
}

void EventLoop::Stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        queue_.clear();
        cv_.notify_all();
    }
    if (thread_.joinable() && !IsLoopThread()) {
        thread_.join();
    }
}

void EventLoop::WaitIdle() {
    std::unique_lock lock(mutex_);
    idleCv_.wait(lock, [this] { return stopping_ || (queue_.empty() && !busy_); });
}

void EventLoop::Run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        cv_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
        if (stopping_) {
            break;
        }
        Item item = queue_.front();
        queue_.pop_front();
        busy_ = true;
        lock.unlock();
        handler_(item.event, item.token);
        lock.lock();
        busy_ = false;
        if (queue_.empty()) {
            idleCv_.notify_all();
        }
    }
    busy_ = false;
    idleCv_.notify_all();
}

}  // namespace kz

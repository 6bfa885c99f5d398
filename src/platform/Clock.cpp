#include "platform/Clock.h"

#include <atomic>
#include <thread>

namespace kz::platform {

namespace {
std::chrono::steady_clock::time_point ProcessStart() {
    static const auto start = std::chrono::steady_clock::now();
    return start;
}
RealClock g_realClock;
std::atomic<IClock*> g_clock{&g_realClock};
}  // namespace

std::uint32_t RealClock::TickCount() {
    auto elapsed = std::chrono::steady_clock::now() - ProcessStart();
    return static_cast<std::uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count());
}

void RealClock::Sleep(std::chrono::milliseconds d) {
    if (d.count() > 0) {
        std::this_thread::sleep_for(d);
    }
}

ScaledClock::ScaledClock(unsigned factor)
    : factor_(factor == 0 ? 1 : factor), start_(std::chrono::steady_clock::now()) {}

std::uint32_t ScaledClock::TickCount() {
    auto elapsed = std::chrono::steady_clock::now() - start_;
    auto us = std::chrono::duration_cast<std::chrono::microseconds>(elapsed).count();
    return static_cast<std::uint32_t>(us * factor_ / 1000);
}

void ScaledClock::Sleep(std::chrono::milliseconds d) {
    if (d.count() > 0) {
        std::this_thread::sleep_for(std::chrono::microseconds(d.count() * 1000 / factor_));
    }
}

std::uint32_t ManualClock::TickCount() {
    std::lock_guard lock(mutex_);
    return static_cast<std::uint32_t>(now_);
}

void ManualClock::Sleep(std::chrono::milliseconds d) {
    std::unique_lock lock(mutex_);
    const std::uint64_t deadline = now_ + static_cast<std::uint64_t>(d.count());
    if (freeRunning_) {
        now_ = deadline;
        cv_.notify_all();
        return;
    }
    const std::uint64_t enteredAt = advances_;
    ++sleepers_;
    ++freshSleepers_;
    cv_.notify_all();
    cv_.wait(lock, [&] { return freeRunning_ || now_ >= deadline; });
    --sleepers_;
    if (enteredAt == advances_) {
        --freshSleepers_;
    }
}

void ManualClock::Advance(std::chrono::milliseconds d) {
    std::lock_guard lock(mutex_);
    now_ += static_cast<std::uint64_t>(d.count());
    ++advances_;
    freshSleepers_ = 0;
    cv_.notify_all();
}

void ManualClock::SetFreeRunning(bool on) {
    std::lock_guard lock(mutex_);
    freeRunning_ = on;
    cv_.notify_all();
}

int ManualClock::Sleepers() {
    std::lock_guard lock(mutex_);
    return sleepers_;
}

bool ManualClock::WaitForSleepers(int n, std::chrono::milliseconds realTimeout) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, realTimeout, [&] { return freshSleepers_ >= n; });
}

IClock& Clock() {
    return *g_clock.load(std::memory_order_acquire);
}

void SetClock(IClock* clock) {
    g_clock.store(clock ? clock : &g_realClock, std::memory_order_release);
}

}  // namespace kz::platform

// The one clock seam of the protocol: tick counts, sleeps and the 10 ms timer all go
// through Clock(). The program uses the real clock; tests may install a scaled clock
// (everything runs N times faster) or a manual clock (time moves only when the test says).
//
// Thread-safety: Clock() and every IClock method may be called from any thread.
// SetClock() must only be called while no operation is running (test set-up).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace kz::platform {

class IClock {
  public:
    virtual ~IClock() = default;
    // Milliseconds since an arbitrary start, wrapping at 2^32 (GetTickCount semantics).
    virtual std::uint32_t TickCount() = 0;
    // Blocks the calling thread for d of this clock's time.
    virtual void Sleep(std::chrono::milliseconds d) = 0;
};

// The real steady clock.
class RealClock final : public IClock {
  public:
    std::uint32_t TickCount() override;
    void Sleep(std::chrono::milliseconds d) override;
};

// Real time compressed by a factor: Sleep(d) waits d / factor, TickCount() runs factor
// times faster. Protocol time-outs and sleeps keep their ratios, tests finish sooner.
class ScaledClock final : public IClock {
  public:
    explicit ScaledClock(unsigned factor);
    std::uint32_t TickCount() override;
    void Sleep(std::chrono::milliseconds d) override;

  private:
    unsigned factor_;
    std::chrono::steady_clock::time_point start_;
};

// Time that moves only through Advance(). Sleep() blocks until the clock has been
// advanced past the sleeper's deadline, so a test decides exactly when a tick happens.
class ManualClock final : public IClock {
  public:
    std::uint32_t TickCount() override;
    void Sleep(std::chrono::milliseconds d) override;
    // Moves time forward and wakes every sleeper whose deadline has passed.
    void Advance(std::chrono::milliseconds d);
    // When on, Sleep() returns at once and moves time forward by its own duration (for
    // tearing down threads that sleep on this clock).
    void SetFreeRunning(bool on);
    // Number of threads currently blocked in Sleep().
    int Sleepers();
    // Blocks (in real time) until at least n threads have gone to sleep since the last
    // Advance() and still sleep; false after the real time-out.
    bool WaitForSleepers(int n, std::chrono::milliseconds realTimeout = std::chrono::seconds(5));

  private:
    std::mutex mutex_;
    std::condition_variable cv_;
    std::uint64_t now_ = 0;
    int sleepers_ = 0;
    int freshSleepers_ = 0;  // went to sleep after the last Advance()
    std::uint64_t advances_ = 0;
    bool freeRunning_ = false;
};

// The process clock: the real clock unless a test installed another one.
IClock& Clock();
// Installs clock (not owned) as the process clock; nullptr restores the real clock.
void SetClock(IClock* clock);

// Installs a clock for the guard's lifetime, then puts the previous one back. Declare the
// guard (and its clock) before anything whose threads use the clock, so that those threads
// are gone before the clock is.
class ScopedClock {
  public:
    explicit ScopedClock(IClock& clock) : previous_(&Clock()) { SetClock(&clock); }
    ~ScopedClock() { SetClock(previous_); }
    ScopedClock(const ScopedClock&) = delete;
    ScopedClock& operator=(const ScopedClock&) = delete;

  private:
    IClock* previous_;
};

}  // namespace kz::platform

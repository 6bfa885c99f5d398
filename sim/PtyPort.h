// The master side of a new pseudo-terminal as a serial device, so that kzpanel-sim can
// serve a panel to a program that opens the slave (/dev/pts/N) like a serial port.
//
// A pseudo-terminal has no modem lines, no line errors and no break: Caps() says so,
// GetModemStatus() and EscapeFunction() report failure, and ClearError() reports no errors.
// Line settings are accepted and remembered, but bytes pass at any rate. The port keeps a
// slave descriptor of its own open, so the master does not see a hang-up while no program
// has the slave open, and puts the slave into raw mode at creation.
//
// Thread-safety: as ISerialDevice; one thread may block in WaitEvent() while others call
// the remaining methods. POSIX only.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "platform/SerialDevice.h"

namespace kz::sim {

class PtyPort final : public platform::ISerialDevice {
  public:
    // Opens a new pseudo-terminal. Returns null with a reason in *error on failure.
    static std::unique_ptr<PtyPort> Open(std::string* error = nullptr);
    ~PtyPort() override;
    PtyPort(const PtyPort&) = delete;
    PtyPort& operator=(const PtyPort&) = delete;

    // The slave device path for the other program, e.g. "/dev/pts/5".
    const std::string& SlavePath() const { return slavePath_; }

    platform::DeviceCaps Caps() const override;
    bool GetLineState(platform::LineState& state) override;
    bool SetLineState(const platform::LineState& state) override;
    bool SetQueueSizes(std::uint32_t inQueue, std::uint32_t outQueue) override;
    std::size_t Read(void* buffer, std::size_t max) override;
    bool Write(const void* buffer, std::size_t count) override;
    bool ClearError(std::uint32_t& errors, platform::QueueStatus& status) override;
    bool Purge(std::uint32_t flags) override;
    bool EscapeFunction(int function) override;
    bool GetModemStatus(std::uint32_t& status) override;
    bool SetEventMask(std::uint32_t mask) override;
    bool GetEventMask(std::uint32_t& mask) override;
    bool WaitEvent(std::uint32_t& events) override;

  private:
    PtyPort(int master, int slave, int wakeRead, int wakeWrite, std::string slavePath);
    void Wake();

    int master_;
    int slave_;
    int wakeRead_;  // self-pipe: a mask change or a finished write releases WaitEvent
    int wakeWrite_;
    std::string slavePath_;

    std::mutex mutex_;
    platform::LineState line_;
    std::uint32_t mask_ = 0;
    std::uint32_t pending_ = 0;  // events raised outside WaitEvent (EV_TXEMPTY)
    std::uint64_t generation_ = 0;
};

}  // namespace kz::sim

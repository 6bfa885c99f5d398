// Comm events (EV_*) made from what a serial driver reports when asked: the queue counts,
// the line errors pending since the last look, and the modem lines. A backend whose driver
// cannot be trusted to signal events itself (a COM port that Wine maps to a
// pseudo-terminal, a driver whose event wait fails) looks at the port now and then and
// feeds each look to Observe(); WaitEvent() then reports what TakeEvents() returns.
//
//   EV_RXCHAR   the input count grew beyond what was already reported and not yet read
//   EV_TXEMPTY  the output count reached 0 after a write
//   EV_ERR      a framing, overrun, parity or receive-overflow error (CE_*)
//   EV_BREAK    a break (CE_BREAK)
//   EV_CTS, EV_DSR, EV_RLSD   the line changed; EV_RING when a ring ends
//
// Line errors stay pending until TakeErrors(), so looking at the port for events does not
// lose what the caller's ClearError() must report. Not thread-safe: the backend holds its
// own lock around every call.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kz::platform {

class CommEventTracker {
  public:
    struct Observation {
        std::uint32_t inQueue = 0;
        std::uint32_t outQueue = 0;
        std::uint32_t errors = 0;  // CE_* bits the driver reported (and cleared)
        bool modemValid = false;   // the modem lines could be read
        std::uint32_t modem = 0;   // MS_* bits
    };

    // Events outside the mask are never reported; a new mask drops unreported events.
    void SetMask(std::uint32_t mask);
    std::uint32_t Mask() const { return mask_; }

    // Output was handed to the driver: EV_TXEMPTY follows once its queue is empty.
    void Written() { txPending_ = true; }
    // count bytes were read: they no longer count as reported input.
    void Consumed(std::size_t count);
    // The input queue was emptied.
    void InputPurged() { reportedIn_ = 0; }

    void Observe(const Observation& now);

    // The masked events since the last call, then none.
    std::uint32_t TakeEvents();
    // The CE_* bits seen since the last call, then none.
    std::uint32_t TakeErrors();

  private:
    void Raise(std::uint32_t events) { events_ |= events & mask_; }

    std::uint32_t mask_ = 0;
    std::uint32_t events_ = 0;
    std::uint32_t pendingErrors_ = 0;
    std::size_t reportedIn_ = 0;
    bool txPending_ = false;
    bool modemKnown_ = false;
    std::uint32_t lastModem_ = 0;
};

}  // namespace kz::platform

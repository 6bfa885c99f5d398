// An in-process null-modem cable: two connected serial devices, the PC end and the panel
// end, for tests and the panel simulator. Data flows both ways, modem lines cross over
// (one end's RTS is the other's CTS, DTR the other's DSR and RLSD), a break on one end
// reaches the other as EV_BREAK with CE_BREAK pending, and a byte sent while the two ends
// run at different baud rates arrives garbled (0x00) with CE_FRAME pending, so a protocol
// that switches rates in the wrong order fails here as it would on a real cable.
//
// Without wire timing (the default) written bytes arrive at once and the writer's output
// queue is empty when Write returns. With wire timing each byte takes 10 bit times at the
// writer's baud rate (real time, std::chrono::steady_clock), the writer's output queue
// drains at that rate and EV_TXEMPTY is raised when it runs empty.
//
// Bytes reach an end only while a device object is open on it; bytes sent to a closed end
// are lost, as on a cable whose far side is unplugged. Each end keeps its line settings
// from one opening to the next, like a real port. The input queue has no upper bound.
//
// Thread-safety: every method of the link and of the devices it opens may be called from
// any thread (one mutex per link). The usual device rule applies: one thread at a time in
// Read(), one in Write(), one in WaitEvent().
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/SerialDevice.h"

namespace kz::platform {

class VirtualLinkCore;

class VirtualSerialLink {
  public:
    enum class End { Pc, Panel };

    // Default size of each end's output queue (bytes), the driver queue size the protocol
    // engine asks for.
    static constexpr std::size_t kDefaultOutputQueue = 66560;

    // Creates a connected pair and registers it under name, so that
    // OpenSerialDevice("virtual:" + name) opens its PC end. The registration ends when the
    // last shared_ptr goes away. Returns null when a live link already has that name.
    static std::shared_ptr<VirtualSerialLink> Create(const std::string& name);
    // The live link registered under name, or null.
    static std::shared_ptr<VirtualSerialLink> Find(const std::string& name);

    ~VirtualSerialLink();
    VirtualSerialLink(const VirtualSerialLink&) = delete;
    VirtualSerialLink& operator=(const VirtualSerialLink&) = delete;

    const std::string& Name() const { return name_; }

    // Opens one end. Each end may be opened any number of times in sequence, but only one
    // device object per end at a time: returns null while the end is open ("in use").
    // The device stays usable after the link object itself is gone.
    std::unique_ptr<ISerialDevice> OpenEnd(End end);
    // True while a device object is open on end.
    bool IsEndOpen(End end) const;
    // Blocks until a thread waits in WaitEvent() on end; false after timeout (real time).
    bool WaitForEventWaiter(End end, std::chrono::milliseconds timeout = std::chrono::seconds(5));

    // Wire timing on or off (see above). Switching it off delivers the bytes still in
    // flight at once.
    void SetWireTiming(bool on);
    // Output queue size of each end under wire timing; Write blocks only while it is full.
    void SetOutputQueueLimit(std::size_t bytes);

    // Makes line-error bits (CE_*) pending at the receiving end: its next ClearError
    // reports them, and EV_ERR is raised there. Ignored while that end is closed.
    void InjectLineError(End receiver, std::uint32_t ceFlags);

    // Total bytes each end has written so far (whether or not they were delivered).
    std::uint64_t BytesWritten(End writer) const;

  private:
    explicit VirtualSerialLink(std::string name);

    std::string name_;
    std::shared_ptr<VirtualLinkCore> core_;
};

}  // namespace kz::platform

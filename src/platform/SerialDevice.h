// One serial device under CComm: a thin interface with a real backend (termios here,
// Win32 on Windows) and an in-process virtual link for tests and the panel simulator.
// The constants are those of the Win32 communications API, so CComm and its callers
// speak the same numbers on every platform.
//
// Thread-safety: one thread may block in WaitEvent() while other threads call the other
// methods. Read() and Write() must each be used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace kz::platform {

// Comm events (event masks).
inline constexpr std::uint32_t EV_RXCHAR = 0x0001;
inline constexpr std::uint32_t EV_RXFLAG = 0x0002;
inline constexpr std::uint32_t EV_TXEMPTY = 0x0004;
inline constexpr std::uint32_t EV_CTS = 0x0008;
inline constexpr std::uint32_t EV_DSR = 0x0010;
inline constexpr std::uint32_t EV_RLSD = 0x0020;
inline constexpr std::uint32_t EV_BREAK = 0x0040;
inline constexpr std::uint32_t EV_ERR = 0x0080;
inline constexpr std::uint32_t EV_RING = 0x0100;

// Line-error bits reported by ClearError().
inline constexpr std::uint32_t CE_RXOVER = 0x0001;
inline constexpr std::uint32_t CE_OVERRUN = 0x0002;
inline constexpr std::uint32_t CE_RXPARITY = 0x0004;
inline constexpr std::uint32_t CE_FRAME = 0x0008;
inline constexpr std::uint32_t CE_BREAK = 0x0010;

// Purge flags.
inline constexpr std::uint32_t PURGE_TXABORT = 0x0001;
inline constexpr std::uint32_t PURGE_RXABORT = 0x0002;
inline constexpr std::uint32_t PURGE_TXCLEAR = 0x0004;
inline constexpr std::uint32_t PURGE_RXCLEAR = 0x0008;

// Modem status bits.
inline constexpr std::uint32_t MS_CTS_ON = 0x0010;
inline constexpr std::uint32_t MS_DSR_ON = 0x0020;
inline constexpr std::uint32_t MS_RING_ON = 0x0040;
inline constexpr std::uint32_t MS_RLSD_ON = 0x0080;

// Extended functions.
inline constexpr int SETXOFF = 1;
inline constexpr int SETXON = 2;
inline constexpr int SETRTS = 3;
inline constexpr int CLRRTS = 4;
inline constexpr int SETDTR = 5;
inline constexpr int CLRDTR = 6;
inline constexpr int SETBREAK = 8;
inline constexpr int CLRBREAK = 9;

// Line state: our counterpart of the Win32 device-control block.
struct LineState {
    std::uint32_t baudRate = 9600;
    std::uint8_t byteSize = 8;
    std::uint8_t parity = 0;    // 0 none, 1 odd, 2 even
    std::uint8_t stopBits = 0;  // 0 one, 1 one and a half, 2 two
    bool outxCtsFlow = false;
    bool outxDsrFlow = false;
    std::uint8_t rtsControl = 1;  // 0 disable, 1 enable, 2 handshake, 3 toggle
    std::uint8_t dtrControl = 1;  // 0 disable, 1 enable, 2 handshake
    bool dsrSensitivity = false;
    bool outX = false;  // XON/XOFF output flow
    bool inX = false;   // XON/XOFF input flow
    char xonChar = 0x11;
    char xoffChar = 0x13;
    std::uint16_t xonLim = 0;
    std::uint16_t xoffLim = 0;
    char evtChar = 0;
};

// Driver queue counts.
struct QueueStatus {
    std::uint32_t inQueue = 0;
    std::uint32_t outQueue = 0;
};

// What a device can do; a pseudo-terminal, for instance, has no modem lines.
struct DeviceCaps {
    bool modemLines = false;   // GetModemStatus() reports real lines
    bool errorCounts = false;  // ClearError() reports real line errors
    bool breakSignal = false;  // SETBREAK/CLRBREAK reach the line
};

class ISerialDevice {
  public:
    virtual ~ISerialDevice() = default;

    virtual DeviceCaps Caps() const = 0;

    virtual bool GetLineState(LineState& state) = 0;
    // Applies speed, character format and flow control. False when the device refuses.
    virtual bool SetLineState(const LineState& state) = 0;
    virtual bool SetQueueSizes(std::uint32_t inQueue, std::uint32_t outQueue) = 0;

    // Copies at most max bytes that have already arrived; never waits. Returns the count
    // (0 when nothing is waiting).
    virtual std::size_t Read(void* buffer, std::size_t max) = 0;
    // Returns once the driver has taken all count bytes (it may block while the output
    // queue is full). False on failure.
    virtual bool Write(const void* buffer, std::size_t count) = 0;

    // Returns the line-error bits (CE_*) pending since the last call, clears them, and
    // fills the queue counts.
    virtual bool ClearError(std::uint32_t& errors, QueueStatus& status) = 0;
    virtual bool Purge(std::uint32_t flags) = 0;
    // SETBREAK, CLRBREAK, SETRTS, CLRRTS, SETDTR, CLRDTR, ... False when not supported.
    virtual bool EscapeFunction(int function) = 0;
    // MS_* bits. Returns false (status 0) when the device has no modem lines.
    virtual bool GetModemStatus(std::uint32_t& status) = 0;

    // Events (EV_*) that WaitEvent() reports. Changing the mask releases a pending wait,
    // which then reports no events.
    virtual bool SetEventMask(std::uint32_t mask) = 0;
    virtual bool GetEventMask(std::uint32_t& mask) = 0;
    // Blocks until at least one masked event has happened since the previous wait, then
    // reports them in events and returns true. Returns true with events == 0 when the mask
    // was changed meanwhile; false when the device failed or was closed.
    virtual bool WaitEvent(std::uint32_t& events) = 0;
};

// Why a device did not open: the kind, for callers to act on, and the reason, for a user
// to read. The reason begins with the kind in words ("no such device: ", "device busy: ",
// "permission denied: ", "not a serial device: " or "cannot use device: "), followed by
// the device and the system's own words. Callers switch on kind and never parse reason.
enum class OpenFailure { NoDevice, Busy, NoPermission, NotSerial, Other };
struct DeviceOpenError {
    OpenFailure kind = OpenFailure::Other;
    std::string reason;
    // NoPermission: the group that owns the device, whose members may open it (empty when
    // unknown).
    std::string group;
};

// The reason's opening words for a kind ("device busy", ...).
std::string_view OpenFailureWords(OpenFailure kind);
// A failure of kind on what, with the system's words (may be empty) in parentheses.
DeviceOpenError MakeOpenError(OpenFailure kind, const std::string& what,
                              const std::string& systemWords);

// Opens a device by name: "virtual:NAME" opens the PC end of a registered virtual link,
// anything else is a device path (/dev/ttyUSB0, /dev/pts/3, ...). Returns null on failure,
// with the kind and the reason in *error when given.
std::unique_ptr<ISerialDevice> OpenSerialDevice(const std::string& name,
                                                DeviceOpenError* error = nullptr);

}  // namespace kz::platform

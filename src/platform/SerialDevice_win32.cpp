// The Win32 backend: a COM port opened for overlapped I/O behind ISerialDevice. The
// device interface speaks the Win32 numbers already (EV_*, CE_*, PURGE_*, MS_*, the
// extended functions), so most calls pass straight through.
//
// Read never waits: the port's time-outs are set so that ReadFile returns at once with
// what the driver holds. Write waits until the driver has taken the data.
//
// Events come one of two ways:
// - The driver signals them: WaitEvent runs WaitCommEvent on its own overlapped record;
//   changing the mask (SetCommMask) releases it with no events, which is also how the
//   destructor gets a waiting thread out. This is the way for a port that reports its
//   modem lines, as every UART and USB adapter does.
// - WaitEvent looks at the port every few milliseconds (ClearCommError for the queue
//   counts and line errors, GetCommModemStatus where the lines exist) and makes the events
//   from what changed (CommEventTracker), as the termios backend does. This is the way for
//   a port without modem lines, and for a port whose driver fails WaitCommEvent: Wine's
//   emulation of a COM port mapped to a pseudo-terminal answers the event wait with an
//   error, because it cannot read the lines and error counters the mask asks about. The
//   line errors seen while looking stay pending for ClearError.

// Our header first: windows.h defines the same names (EV_RXCHAR, ...) as macros.
#include "platform/SerialDeviceNative.h"

#include "platform/CommEventTracker.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <utility>

namespace kz::platform {

namespace {

// Owns one kernel handle (file or event).
class UniqueHandle {
  public:
    UniqueHandle() = default;
    explicit UniqueHandle(HANDLE h) : h_(h == INVALID_HANDLE_VALUE ? nullptr : h) {}
    ~UniqueHandle() { Reset(); }
    UniqueHandle(UniqueHandle&& other) noexcept : h_(std::exchange(other.h_, nullptr)) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) {
            Reset();
            h_ = std::exchange(other.h_, nullptr);
        }
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;

    HANDLE Get() const { return h_; }
    explicit operator bool() const { return h_ != nullptr; }
    void Reset() {
        if (h_ != nullptr) {
            ::CloseHandle(h_);
            h_ = nullptr;
        }
    }

  private:
    HANDLE h_ = nullptr;
};

UniqueHandle MakeEvent() {
    // Manual reset, not signalled, unnamed: what an overlapped record needs.
    return UniqueHandle(::CreateEventA(nullptr, TRUE, FALSE, nullptr));
}

// The one place that turns a Win32 error code into our failure kinds.
DeviceOpenError Win32Error(DWORD err, const std::string& what) {
    OpenFailure kind;
    switch (err) {
        case ERROR_ACCESS_DENIED:  // what CreateFile reports for a COM port already open
        case ERROR_SHARING_VIOLATION:
        case ERROR_BUSY:
            kind = OpenFailure::Busy;
            break;
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_BAD_UNIT:
        case ERROR_DEV_NOT_EXIST:
            kind = OpenFailure::NoDevice;
            break;
        case ERROR_INVALID_FUNCTION:
        case ERROR_NOT_SUPPORTED:
            kind = OpenFailure::NotSerial;
            break;
        default:
            kind = OpenFailure::Other;
            break;
    }
    char text[256] = {};
    DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                               err, 0, text, sizeof text, nullptr);
    while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == ' ')) {
        text[--n] = '\0';
    }
    return MakeOpenError(kind, what, std::string(text, n));
}

// "COM12" is only reachable through the device namespace; "COM1" to "COM9" work either
// way, so every bare COM name gets the prefix.
std::string DevicePath(const std::string& name) {
    if (name.size() > 3 && name.compare(0, 4, "\\\\.\\") == 0) {
        return name;
    }
    if (name.size() > 3 && std::toupper(static_cast<unsigned char>(name[0])) == 'C' &&
        std::toupper(static_cast<unsigned char>(name[1])) == 'O' &&
        std::toupper(static_cast<unsigned char>(name[2])) == 'M') {
        return "\\\\.\\" + name;
    }
    return name;
}

LineState FromDcb(const DCB& dcb) {
    LineState s;
    s.baudRate = dcb.BaudRate;
    s.byteSize = dcb.ByteSize;
    s.parity = dcb.Parity;
    s.stopBits = dcb.StopBits;
    s.outxCtsFlow = dcb.fOutxCtsFlow != 0;
    s.outxDsrFlow = dcb.fOutxDsrFlow != 0;
    s.rtsControl = static_cast<std::uint8_t>(dcb.fRtsControl);
    s.dtrControl = static_cast<std::uint8_t>(dcb.fDtrControl);
    s.dsrSensitivity = dcb.fDsrSensitivity != 0;
    s.outX = dcb.fOutX != 0;
    s.inX = dcb.fInX != 0;
    s.xonChar = dcb.XonChar;
    s.xoffChar = dcb.XoffChar;
    s.xonLim = dcb.XonLim;
    s.xoffLim = dcb.XoffLim;
    s.evtChar = dcb.EvtChar;
    return s;
}

void ToDcb(const LineState& s, DCB& dcb) {
    dcb.BaudRate = s.baudRate;
    dcb.ByteSize = s.byteSize;
    dcb.Parity = s.parity;
    dcb.StopBits = s.stopBits;
    dcb.fBinary = TRUE;
    dcb.fParity = s.parity != NOPARITY ? TRUE : FALSE;
    dcb.fOutxCtsFlow = s.outxCtsFlow ? TRUE : FALSE;
    dcb.fOutxDsrFlow = s.outxDsrFlow ? TRUE : FALSE;
    dcb.fRtsControl = s.rtsControl & 3;
    dcb.fDtrControl = s.dtrControl & 3;
    dcb.fDsrSensitivity = s.dsrSensitivity ? TRUE : FALSE;
    dcb.fOutX = s.outX ? TRUE : FALSE;
    dcb.fInX = s.inX ? TRUE : FALSE;
    dcb.XonChar = s.xonChar;
    dcb.XoffChar = s.xoffChar;
    dcb.XonLim = s.xonLim;
    dcb.XoffLim = s.xoffLim;
    dcb.EvtChar = s.evtChar;
}

// How often WaitEvent looks at a port whose driver does not signal events. Under Wine a
// look is a few system calls; on Windows the wait lasts at least one timer tick.
constexpr DWORD kLookIntervalMs = 2;

class Win32SerialDevice final : public ISerialDevice {
  public:
    Win32SerialDevice(UniqueHandle port, UniqueHandle readEvent, UniqueHandle writeEvent,
                      UniqueHandle waitEvent, UniqueHandle wakeEvent, DeviceCaps caps,
                      bool driverEvents)
        : port_(std::move(port)),
          readEvent_(std::move(readEvent)),
          writeEvent_(std::move(writeEvent)),
          waitEvent_(std::move(waitEvent)),
          wakeEvent_(std::move(wakeEvent)),
          caps_(caps),
          driverEvents_(driverEvents) {}

    ~Win32SerialDevice() override {
        std::unique_lock lock(mutex_);
        closing_ = true;
        // A mask change releases a pending WaitCommEvent and the wake event a looking
        // waiter; repeat both until the waiter has left, in case it was between two waits
        // the first time.
        while (waiters_ > 0) {
            ::SetCommMask(port_.Get(), 0);
            ::SetEvent(wakeEvent_.Get());
            cv_.wait_for(lock, std::chrono::milliseconds(1));
        }
    }

    DeviceCaps Caps() const override { return caps_; }

    bool GetLineState(LineState& state) override {
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        if (!::GetCommState(port_.Get(), &dcb)) {
            return false;
        }
        state = FromDcb(dcb);
        return true;
    }

    bool SetLineState(const LineState& state) override {
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        if (!::GetCommState(port_.Get(), &dcb)) {
            return false;
        }
        ToDcb(state, dcb);
        return ::SetCommState(port_.Get(), &dcb) != FALSE;
    }

    bool SetQueueSizes(std::uint32_t inQueue, std::uint32_t outQueue) override {
        return ::SetupComm(port_.Get(), inQueue, outQueue) != FALSE;
    }

    std::size_t Read(void* buffer, std::size_t max) override {
        if (max == 0) {
            return 0;
        }
        OVERLAPPED ov{};
        ov.hEvent = readEvent_.Get();
        ::ResetEvent(ov.hEvent);
        DWORD got = 0;
        const DWORD want = static_cast<DWORD>(std::min<std::size_t>(max, MAXDWORD));
        if (!::ReadFile(port_.Get(), buffer, want, &got, &ov)) {
            got = 0;
            if (::GetLastError() != ERROR_IO_PENDING) {
                return 0;
            }
            // The time-outs make the read complete at once with what is there.
            if (!::GetOverlappedResult(port_.Get(), &ov, &got, TRUE) &&
                ::GetLastError() != ERROR_IO_INCOMPLETE) {
                return 0;
            }
        }
        std::lock_guard lock(mutex_);
        tracker_.Consumed(got);
        return got;
    }

    bool Write(const void* buffer, std::size_t count) override {
        const auto* p = static_cast<const char*>(buffer);
        const bool any = count > 0;
        bool ok = true;
        while (ok && count > 0) {
            OVERLAPPED ov{};
            ov.hEvent = writeEvent_.Get();
            ::ResetEvent(ov.hEvent);
            const DWORD piece = static_cast<DWORD>(std::min<std::size_t>(count, 1u << 30));
            DWORD done = 0;
            if (!::WriteFile(port_.Get(), p, piece, &done, &ov)) {
                if (::GetLastError() != ERROR_IO_PENDING) {
                    ok = false;
                    break;
                }
                for (;;) {
                    if (::GetOverlappedResult(port_.Get(), &ov, &done, TRUE)) {
                        break;
                    }
                    if (::GetLastError() != ERROR_IO_INCOMPLETE) {
                        ok = false;
                        break;
                    }
                }
            }
            if (ok && done == 0) {
                ok = false;  // no write time-outs are set, so this means failure
            }
            p += done;
            count -= std::min<std::size_t>(count, done);
        }
        if (any) {
            std::lock_guard lock(mutex_);
            tracker_.Written();
            ::SetEvent(wakeEvent_.Get());
        }
        return ok;
    }

    bool ClearError(std::uint32_t& errors, QueueStatus& status) override {
        std::lock_guard lock(mutex_);
        // The driver clears its error bits when asked; the tracker keeps those a looking
        // WaitEvent has taken, so none is lost either way.
        if (!LookLocked()) {
            return false;
        }
        errors = tracker_.TakeErrors();
        status = queues_;
        return true;
    }

    bool Purge(std::uint32_t flags) override {
        const bool ok = ::PurgeComm(port_.Get(), flags) != FALSE;
        if (flags & PURGE_RXCLEAR) {
            std::lock_guard lock(mutex_);
            tracker_.InputPurged();
        }
        return ok;
    }

    bool EscapeFunction(int function) override {
        return ::EscapeCommFunction(port_.Get(), static_cast<DWORD>(function)) != FALSE;
    }

    bool GetModemStatus(std::uint32_t& status) override {
        DWORD s = 0;
        status = 0;
        if (!caps_.modemLines || !::GetCommModemStatus(port_.Get(), &s)) {
            return false;
        }
        status = s;
        return true;
    }

    bool SetEventMask(std::uint32_t mask) override {
        std::lock_guard lock(mutex_);
        tracker_.SetMask(mask);
        ++generation_;
        ::SetEvent(wakeEvent_.Get());
        // The driver learns the mask too: it releases a pending WaitCommEvent. A port
        // whose events this backend makes itself needs nothing more from it.
        const bool driverTookIt = ::SetCommMask(port_.Get(), mask) != FALSE;
        return driverTookIt || !driverEvents_;
    }

    bool GetEventMask(std::uint32_t& mask) override {
        std::lock_guard lock(mutex_);
        mask = tracker_.Mask();
        return true;
    }

    bool WaitEvent(std::uint32_t& events) override {
        events = 0;
        bool driverEvents;
        {
            std::lock_guard lock(mutex_);
            if (closing_) {
                return false;
            }
            ++waiters_;
            driverEvents = driverEvents_;
        }
        const bool ok = driverEvents ? WaitDriverEvent(events) : WaitLookedEvent(events);
        std::lock_guard lock(mutex_);
        --waiters_;
        cv_.notify_all();
        if (closing_) {
            events = 0;
            return false;
        }
        return ok;
    }

  private:
    bool WaitDriverEvent(std::uint32_t& events) {
        std::uint64_t generation;
        {
            std::lock_guard lock(mutex_);
            generation = generation_;
        }
        OVERLAPPED ov{};
        ov.hEvent = waitEvent_.Get();
        ::ResetEvent(ov.hEvent);
        DWORD ev = 0;
        bool ok = ::WaitCommEvent(port_.Get(), &ev, &ov) != FALSE;
        DWORD err = ok ? ERROR_SUCCESS : ::GetLastError();
        if (!ok && err == ERROR_IO_PENDING) {
            DWORD unused = 0;
            ok = ::GetOverlappedResult(port_.Get(), &ov, &unused, TRUE) != FALSE;
            err = ok ? ERROR_SUCCESS : ::GetLastError();
        }
        if (ok) {
            events = ev;  // 0 when the mask was changed meanwhile
            return true;
        }
        std::lock_guard lock(mutex_);
        if (closing_ || generation_ != generation || err == ERROR_OPERATION_ABORTED) {
            return true;  // released by a mask change: no events
        }
        if (tracker_.Mask() == 0) {
            // A driver may refuse to wait for no events; that says nothing about the port.
            return false;
        }
        // The driver cannot wait for these events. If the port still answers, look at it
        // from now on instead.
        if (!LookLocked()) {
            return false;
        }
        driverEvents_ = false;
        events = tracker_.TakeEvents();
        return true;
    }

    bool WaitLookedEvent(std::uint32_t& events) {
        std::unique_lock lock(mutex_);
        const std::uint64_t generation = generation_;
        for (;;) {
            if (closing_ || generation_ != generation) {
                return !closing_;  // a mask change reports no events
            }
            if (!LookLocked()) {
                return false;  // the port went away
            }
            events = tracker_.TakeEvents();
            if (events != 0) {
                return true;
            }
            lock.unlock();
            ::WaitForSingleObject(wakeEvent_.Get(), kLookIntervalMs);
            lock.lock();
        }
    }

    // One look at the port for the tracker: queue counts and line errors, and the modem
    // lines where the port has them and the driver does not signal their changes.
    bool LookLocked() {
        DWORD errors = 0;
        COMSTAT cs{};
        if (!::ClearCommError(port_.Get(), &errors, &cs)) {
            return false;
        }
        CommEventTracker::Observation now;
        now.inQueue = cs.cbInQue;
        now.outQueue = cs.cbOutQue;
        now.errors = errors;
        DWORD modem = 0;
        if (caps_.modemLines && !driverEvents_ && ::GetCommModemStatus(port_.Get(), &modem)) {
            now.modemValid = true;
            now.modem = modem;
        }
        tracker_.Observe(now);
        queues_.inQueue = cs.cbInQue;
        queues_.outQueue = cs.cbOutQue;
        return true;
    }

    const UniqueHandle port_;
    const UniqueHandle readEvent_;
    const UniqueHandle writeEvent_;
    const UniqueHandle waitEvent_;
    const UniqueHandle wakeEvent_;  // auto-reset: a mask change, a write or the close
    const DeviceCaps caps_;

    std::mutex mutex_;
    std::condition_variable cv_;
    bool closing_ = false;
    int waiters_ = 0;
    bool driverEvents_;
    std::uint64_t generation_ = 0;
    CommEventTracker tracker_;
    QueueStatus queues_;
};

}  // namespace

std::unique_ptr<ISerialDevice> OpenNativeSerialDevice(const std::string& path,
                                                      DeviceOpenError* error) {
    auto fail = [&](DWORD err) -> std::unique_ptr<ISerialDevice> {
        if (error != nullptr) {
            *error = Win32Error(err, path);
        }
        return nullptr;
    };

    UniqueHandle port(::CreateFileA(DevicePath(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                    nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr));
    if (!port) {
        return fail(::GetLastError());
    }
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!::GetCommState(port.Get(), &dcb)) {
        return fail(::GetLastError());
    }
    // Reads return at once with what has arrived; writes have no time-out.
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = 0;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = 0;
    if (!::SetCommTimeouts(port.Get(), &timeouts)) {
        return fail(::GetLastError());
    }
    UniqueHandle readEvent = MakeEvent();
    UniqueHandle writeEvent = MakeEvent();
    UniqueHandle waitEvent = MakeEvent();
    // Auto-reset: each wake-up releases one look.
    UniqueHandle wakeEvent(::CreateEventA(nullptr, FALSE, FALSE, nullptr));
    if (!readEvent || !writeEvent || !waitEvent || !wakeEvent) {
        return fail(::GetLastError());
    }
    DeviceCaps caps;
    DWORD modem = 0;
    caps.modemLines = ::GetCommModemStatus(port.Get(), &modem) != FALSE;
    caps.errorCounts = true;
    caps.breakSignal = true;
    // A port that cannot report its modem lines is not trusted to signal events either.
    const bool driverEvents = caps.modemLines;
    return std::make_unique<Win32SerialDevice>(std::move(port), std::move(readEvent),
                                               std::move(writeEvent), std::move(waitEvent),
                                               std::move(wakeEvent), caps, driverEvents);
}

}  // namespace kz::platform

// The Win32 backend: a COM port opened for overlapped I/O behind ISerialDevice. The
// device interface speaks the Win32 numbers already (EV_*, CE_*, PURGE_*, MS_*, the
// extended functions), so most calls pass straight through.
//
// Read never waits: the port's time-outs are set so that ReadFile returns at once with
// what the driver holds. Write waits until the driver has taken the data. WaitEvent runs
// WaitCommEvent on its own overlapped record; changing the mask (SetCommMask) releases it
// with no events, which is also how the destructor gets a waiting thread out.

// Our header first: windows.h defines the same names (EV_RXCHAR, ...) as macros.
#include "platform/SerialDeviceNative.h"

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

class Win32SerialDevice final : public ISerialDevice {
  public:
    Win32SerialDevice(UniqueHandle port, UniqueHandle readEvent, UniqueHandle writeEvent,
                      UniqueHandle waitEvent, DeviceCaps caps)
        : port_(std::move(port)),
          readEvent_(std::move(readEvent)),
          writeEvent_(std::move(writeEvent)),
          waitEvent_(std::move(waitEvent)),
          caps_(caps) {}

    ~Win32SerialDevice() override {
        std::unique_lock lock(mutex_);
        closing_ = true;
        // A mask change releases a pending WaitCommEvent; repeat it until the waiter has
        // left, in case it was between two waits the first time.
        while (waiters_ > 0) {
            ::SetCommMask(port_.Get(), 0);
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
        if (::ReadFile(port_.Get(), buffer, want, &got, &ov)) {
            return got;
        }
        if (::GetLastError() != ERROR_IO_PENDING) {
            return 0;
        }
        // The time-outs make the read complete at once with what is there.
        if (!::GetOverlappedResult(port_.Get(), &ov, &got, TRUE)) {
            return ::GetLastError() == ERROR_IO_INCOMPLETE ? got : 0;
        }
        return got;
    }

    bool Write(const void* buffer, std::size_t count) override {
        const auto* p = static_cast<const char*>(buffer);
        while (count > 0) {
            OVERLAPPED ov{};
            ov.hEvent = writeEvent_.Get();
            ::ResetEvent(ov.hEvent);
            const DWORD piece = static_cast<DWORD>(std::min<std::size_t>(count, 1u << 30));
            DWORD done = 0;
            if (!::WriteFile(port_.Get(), p, piece, &done, &ov)) {
                if (::GetLastError() != ERROR_IO_PENDING) {
                    return false;
                }
                for (;;) {
                    if (::GetOverlappedResult(port_.Get(), &ov, &done, TRUE)) {
                        break;
                    }
                    if (::GetLastError() != ERROR_IO_INCOMPLETE) {
                        return false;
                    }
                }
            }
            if (done == 0) {
                return false;  // no write time-outs are set, so this means failure
            }
            p += done;
            count -= done;
        }
        return true;
    }

    bool ClearError(std::uint32_t& errors, QueueStatus& status) override {
        DWORD e = 0;
        COMSTAT cs{};
        if (!::ClearCommError(port_.Get(), &e, &cs)) {
            return false;
        }
        errors = e;
        status.inQueue = cs.cbInQue;
        status.outQueue = cs.cbOutQue;
        return true;
    }

    bool Purge(std::uint32_t flags) override { return ::PurgeComm(port_.Get(), flags) != FALSE; }

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
        return ::SetCommMask(port_.Get(), mask) != FALSE;
    }

    bool GetEventMask(std::uint32_t& mask) override {
        DWORD m = 0;
        if (!::GetCommMask(port_.Get(), &m)) {
            return false;
        }
        mask = m;
        return true;
    }

    bool WaitEvent(std::uint32_t& events) override {
        events = 0;
        {
            std::lock_guard lock(mutex_);
            if (closing_) {
                return false;
            }
            ++waiters_;
        }
        OVERLAPPED ov{};
        ov.hEvent = waitEvent_.Get();
        ::ResetEvent(ov.hEvent);
        DWORD ev = 0;
        bool ok = ::WaitCommEvent(port_.Get(), &ev, &ov) != FALSE;
        if (!ok && ::GetLastError() == ERROR_IO_PENDING) {
            DWORD unused = 0;
            ok = ::GetOverlappedResult(port_.Get(), &ov, &unused, TRUE) != FALSE;
        }
        std::lock_guard lock(mutex_);
        --waiters_;
        cv_.notify_all();
        if (closing_) {
            return false;
        }
        if (ok) {
            events = ev;  // 0 when the mask was changed meanwhile
        }
        return ok;
    }

  private:
    const UniqueHandle port_;
    const UniqueHandle readEvent_;
    const UniqueHandle writeEvent_;
    const UniqueHandle waitEvent_;
    const DeviceCaps caps_;

    std::mutex mutex_;
    std::condition_variable cv_;
    bool closing_ = false;
    int waiters_ = 0;
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
    if (!readEvent || !writeEvent || !waitEvent) {
        return fail(::GetLastError());
    }
    DeviceCaps caps;
    DWORD modem = 0;
    caps.modemLines = ::GetCommModemStatus(port.Get(), &modem) != FALSE;
    caps.errorCounts = true;
    caps.breakSignal = true;
    return std::make_unique<Win32SerialDevice>(std::move(port), std::move(readEvent),
                                               std::move(writeEvent), std::move(waitEvent), caps);
}

}  // namespace kz::platform

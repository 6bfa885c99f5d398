// The termios backend: real adapters (/dev/ttyUSB*, /dev/ttyACM*, /dev/ttyS*) and
// pseudo-terminals behind ISerialDevice.
//
// termios reports no comm events, so WaitEvent() makes them from what it can observe:
//
//   EV_RXCHAR   the input count (FIONREAD) grew since the last look; poll() sleeps on
//               POLLIN while nothing unreported is waiting
//   EV_TXEMPTY  the output count (TIOCOUTQ) reached 0 after a Write; looked at every
//               2 ms while output is pending
//   EV_CTS/DSR/RLSD/RING  a modem line (TIOCMGET) changed; looked at every 10 ms
//   EV_ERR/EV_BREAK       a line-error counter (TIOCGICOUNT) grew; looked at every 10 ms
//
// A self-pipe wakes poll() when the mask changes, a Write adds pending output, or the
// device is being destroyed. Devices without modem lines or error counters (a
// pseudo-terminal, where TIOCMGET and TIOCGICOUNT fail) say so through Caps().
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#ifdef __linux__
#include <linux/serial.h>
#endif

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <utility>

#include "platform/SerialDeviceNative.h"
#include "platform/SerialPorts.h"
#include "platform/UniqueFd.h"

namespace kz::platform {

namespace {

// The one place that turns errno into our failure kinds.
DeviceOpenError ErrnoError(int err, const std::string& what) {
    OpenFailure kind;
    switch (err) {
        case EBUSY:
        case EWOULDBLOCK:
            kind = OpenFailure::Busy;
            break;
        case ENOENT:
        case ENODEV:
        case ENXIO:
            kind = OpenFailure::NoDevice;
            break;
        case EACCES:
        case EPERM:
            kind = OpenFailure::NoPermission;
            break;
        case ENOTTY:
            kind = OpenFailure::NotSerial;
            break;
        default:
            kind = OpenFailure::Other;
            break;
    }
    return MakeOpenError(kind, what, std::strerror(err));
}

struct SpeedEntry {
    std::uint32_t rate;
    speed_t code;
};

constexpr SpeedEntry kSpeeds[] = {
    {50, B50},           {75, B75},     {110, B110},   {134, B134},     {150, B150},
    {200, B200},         {300, B300},   {600, B600},   {1200, B1200},   {1800, B1800},
    {2400, B2400},       {4800, B4800}, {9600, B9600}, {19200, B19200}, {38400, B38400},
#ifdef B57600
    {57600, B57600},
#endif
#ifdef B115200
    {115200, B115200},
#endif
#ifdef B230400
    {230400, B230400},
#endif
#ifdef B460800
    {460800, B460800},
#endif
#ifdef B500000
    {500000, B500000},
#endif
#ifdef B576000
    {576000, B576000},
#endif
#ifdef B921600
    {921600, B921600},
#endif
#ifdef B1000000
    {1000000, B1000000},
#endif
#ifdef B1152000
    {1152000, B1152000},
#endif
#ifdef B1500000
    {1500000, B1500000},
#endif
#ifdef B2000000
    {2000000, B2000000},
#endif
#ifdef B2500000
    {2500000, B2500000},
#endif
#ifdef B3000000
    {3000000, B3000000},
#endif
#ifdef B3500000
    {3500000, B3500000},
#endif
#ifdef B4000000
    {4000000, B4000000},
#endif
};

bool SpeedCode(std::uint32_t rate, speed_t& code) {
    for (const SpeedEntry& e : kSpeeds) {
        if (e.rate == rate) {
            code = e.code;
            return true;
        }
    }
    return false;
}

std::uint32_t SpeedRate(speed_t code) {
    for (const SpeedEntry& e : kSpeeds) {
        if (e.code == code) {
            return e.rate;
        }
    }
    return 0;
}

// Translates the termios settings into a line state (fields termios has no word for keep
// the values in base).
LineState FromTermios(const termios& t, LineState base) {
    if (std::uint32_t rate = SpeedRate(cfgetospeed(&t)); rate != 0) {
        base.baudRate = rate;
    }
    switch (t.c_cflag & CSIZE) {
        case CS5:
            base.byteSize = 5;
            break;
        case CS6:
            base.byteSize = 6;
            break;
        case CS7:
            base.byteSize = 7;
            break;
        default:
            base.byteSize = 8;
            break;
    }
    base.parity = (t.c_cflag & PARENB) ? ((t.c_cflag & PARODD) ? 1 : 2) : 0;
    base.stopBits = (t.c_cflag & CSTOPB) ? 2 : 0;
#ifdef CRTSCTS
    base.outxCtsFlow = (t.c_cflag & CRTSCTS) != 0;
#endif
    base.outX = (t.c_iflag & IXON) != 0;
    base.inX = (t.c_iflag & IXOFF) != 0;
    base.xonChar = static_cast<char>(t.c_cc[VSTART]);
    base.xoffChar = static_cast<char>(t.c_cc[VSTOP]);
    return base;
}

class PosixSerialDevice final : public ISerialDevice {
  public:
    PosixSerialDevice(UniqueFd fd, UniqueFd wakeRead, UniqueFd wakeWrite, DeviceCaps caps,
                      LineState line)
        : fd_(std::move(fd)),
          wakeRead_(std::move(wakeRead)),
          wakeWrite_(std::move(wakeWrite)),
          caps_(caps),
          line_(line) {
        std::lock_guard lock(mutex_);
        ReadModemLocked(lastModem_);
        ReadCountsLocked(lastCounts_);
    }

    ~PosixSerialDevice() override {
        std::unique_lock lock(mutex_);
        closing_ = true;
        WakeLocked();
        cv_.wait(lock, [&] { return waiters_ == 0 && writers_ == 0; });
        // Exclusive mode belongs to the terminal, not to our descriptor: left set, it would
        // refuse every later open by anyone without privileges.
        ::ioctl(fd_.Get(), TIOCNXCL);
    }

    DeviceCaps Caps() const override { return caps_; }

    bool GetLineState(LineState& state) override {
        std::lock_guard lock(mutex_);
        state = line_;
        return true;
    }

    bool SetLineState(const LineState& state) override {
        termios t{};
        if (::tcgetattr(fd_.Get(), &t) != 0) {
            return false;
        }
        speed_t speed;
        if (!SpeedCode(state.baudRate, speed)) {
            return false;  // non-standard rates are refused
        }
        tcflag_t size;
        switch (state.byteSize) {
            case 5:
                size = CS5;
                break;
            case 6:
                size = CS6;
                break;
            case 7:
                size = CS7;
                break;
            case 8:
                size = CS8;
                break;
            default:
                return false;
        }
        if (state.parity > 2 || state.stopBits > 2) {
            return false;  // mark and space parity have no portable termios form
        }
        ::cfmakeraw(&t);
        t.c_cflag |= CLOCAL | CREAD;
        t.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB);
        t.c_cflag |= size;
        if (state.parity != 0) {
            t.c_cflag |= PARENB;
            if (state.parity == 1) {
                t.c_cflag |= PARODD;
            }
            t.c_iflag |= INPCK;
        }
        if (state.stopBits != 0) {
            t.c_cflag |= CSTOPB;  // termios knows no 1.5; two is the nearest
        }
#ifdef CRTSCTS
        // termios ties RTS input handshake to CTS output flow. Only CTS output flow turns
        // it on, so that an adapter whose CTS is not wired still sends.
        if (state.outxCtsFlow) {
            t.c_cflag |= CRTSCTS;
        } else {
            t.c_cflag &= ~CRTSCTS;
        }
#endif
        t.c_iflag &= ~(IXON | IXOFF | IXANY);
        if (state.outX) {
            t.c_iflag |= IXON;
        }
        if (state.inX) {
            t.c_iflag |= IXOFF;
        }
        t.c_cc[VSTART] = static_cast<cc_t>(state.xonChar);
        t.c_cc[VSTOP] = static_cast<cc_t>(state.xoffChar);
        t.c_cc[VMIN] = 0;
        t.c_cc[VTIME] = 0;
        if (::cfsetispeed(&t, speed) != 0 || ::cfsetospeed(&t, speed) != 0) {
            return false;
        }
        if (::tcsetattr(fd_.Get(), TCSANOW, &t) != 0) {
            return false;
        }
        if (caps_.modemLines) {
            // With CRTSCTS off the lines are ours: disable drops them, anything else raises
            // them (handshake included, as termios cannot do input-only handshake).
            SetModemBit(TIOCM_RTS, state.rtsControl != 0);
            SetModemBit(TIOCM_DTR, state.dtrControl != 0);
        }
        std::lock_guard lock(mutex_);
        line_ = state;
        return true;
    }

    bool SetQueueSizes(std::uint32_t, std::uint32_t) override {
        return true;  // the kernel sizes its own buffers
    }

    std::size_t Read(void* buffer, std::size_t max) override {
        if (max == 0) {
            return 0;
        }
        ssize_t n;
        do {
            n = ::read(fd_.Get(), buffer, max);
        } while (n < 0 && errno == EINTR);
        if (n <= 0) {
            return 0;
        }
        std::lock_guard lock(mutex_);
        reportedIn_ -= std::min<std::size_t>(reportedIn_, static_cast<std::size_t>(n));
        return static_cast<std::size_t>(n);
    }

    bool Write(const void* buffer, std::size_t count) override {
        {
            std::lock_guard lock(mutex_);
            if (closing_) {
                return false;
            }
            ++writers_;
        }
        const bool ok = WriteAll(static_cast<const std::uint8_t*>(buffer), count);
        std::lock_guard lock(mutex_);
        if (count > 0) {
            txPending_ = true;
            WakeLocked();
        }
        --writers_;
        cv_.notify_all();
        return ok;
    }

    bool ClearError(std::uint32_t& errors, QueueStatus& status) override {
        std::lock_guard lock(mutex_);
        CheckCountsLocked();
        errors = pendingErrors_;
        pendingErrors_ = 0;
        status.inQueue = static_cast<std::uint32_t>(InputCount());
        status.outQueue = static_cast<std::uint32_t>(OutputCount());
        return true;
    }

    bool Purge(std::uint32_t flags) override {
        bool ok = true;
        if (flags & PURGE_RXCLEAR) {
            ok = ::tcflush(fd_.Get(), TCIFLUSH) == 0 && ok;
            std::lock_guard lock(mutex_);
            reportedIn_ = 0;
        }
        if (flags & (PURGE_TXCLEAR | PURGE_TXABORT)) {
            ok = ::tcflush(fd_.Get(), TCOFLUSH) == 0 && ok;
        }
        return ok;
    }

    bool EscapeFunction(int function) override {
        switch (function) {
            case SETBREAK:
                return ::ioctl(fd_.Get(), TIOCSBRK) == 0;
            case CLRBREAK:
                return ::ioctl(fd_.Get(), TIOCCBRK) == 0;
            case SETRTS:
            case CLRRTS:
                return caps_.modemLines && SetModemBit(TIOCM_RTS, function == SETRTS);
            case SETDTR:
            case CLRDTR:
                return caps_.modemLines && SetModemBit(TIOCM_DTR, function == SETDTR);
            case SETXON:
                return ::tcflow(fd_.Get(), TCOON) == 0;
            case SETXOFF:
                return ::tcflow(fd_.Get(), TCOOFF) == 0;
            default:
                return false;
        }
    }

    bool GetModemStatus(std::uint32_t& status) override {
        status = 0;
        int bits = 0;
        if (!caps_.modemLines || ::ioctl(fd_.Get(), TIOCMGET, &bits) != 0) {
            return false;
        }
        status = ModemStatus(bits);
        return true;
    }

    bool SetEventMask(std::uint32_t mask) override {
        std::lock_guard lock(mutex_);
        mask_ = mask;
        events_ = 0;
        ++generation_;
        WakeLocked();
        return true;
    }

    bool GetEventMask(std::uint32_t& mask) override {
        std::lock_guard lock(mutex_);
        mask = mask_;
        return true;
    }

    bool WaitEvent(std::uint32_t& events) override {
        events = 0;
        std::unique_lock lock(mutex_);
        if (closing_) {
            return false;
        }
        const std::uint64_t generation = generation_;
        ++waiters_;
        bool ok = true;
        for (;;) {
            DrainWakeLocked();
            if (closing_) {
                ok = false;
                break;
            }
            if (generation_ != generation) {
                break;  // the mask changed: report no events
            }
            CheckAllLocked();
            if ((events_ & mask_) != 0) {
                events = events_ & mask_;
                events_ = 0;
                break;
            }
            pollfd fds[2] = {{wakeRead_.Get(), POLLIN, 0}, {fd_.Get(), 0, 0}};
            const std::size_t waitingIn = InputCount();
            if ((mask_ & EV_RXCHAR) && waitingIn == 0) {
                fds[1].events = POLLIN;
            }
            const int timeout = PollTimeoutLocked(waitingIn);
            lock.unlock();
            int r = ::poll(fds, fds[1].events ? 2 : 1, timeout);
            lock.lock();
            if (r < 0 && errno != EINTR) {
                ok = false;
                break;
            }
            if (r > 0 && (fds[1].revents & (POLLHUP | POLLERR | POLLNVAL)) && InputCount() == 0) {
                ok = false;  // the device went away (adapter unplugged, other side closed)
                break;
            }
        }
        --waiters_;
        cv_.notify_all();
        return ok;
    }

  private:
#ifdef TIOCGICOUNT
    using Counts = serial_icounter_struct;
#else
    struct Counts {};
#endif

    bool WriteAll(const std::uint8_t* p, std::size_t count) {
        while (count > 0) {
            ssize_t n = ::write(fd_.Get(), p, count);
            if (n > 0) {
                p += n;
                count -= static_cast<std::size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
                return false;
            }
            // The driver's queue is full: wait until it takes more, looking now and then
            // whether the device is being closed.
            pollfd pfd{fd_.Get(), POLLOUT, 0};
            int r = ::poll(&pfd, 1, 100);
            if (r < 0 && errno != EINTR) {
                return false;
            }
            if (r > 0 && (pfd.revents & (POLLERR | POLLHUP | POLLNVAL))) {
                return false;
            }
            std::lock_guard lock(mutex_);
            if (closing_) {
                return false;
            }
        }
        return true;
    }

    bool SetModemBit(int bit, bool on) {
        return ::ioctl(fd_.Get(), on ? TIOCMBIS : TIOCMBIC, &bit) == 0;
    }

    static std::uint32_t ModemStatus(int bits) {
        std::uint32_t status = 0;
        if (bits & TIOCM_CTS) {
            status |= MS_CTS_ON;
        }
        if (bits & TIOCM_DSR) {
            status |= MS_DSR_ON;
        }
        if (bits & TIOCM_RNG) {
            status |= MS_RING_ON;
        }
        if (bits & TIOCM_CD) {
            status |= MS_RLSD_ON;
        }
        return status;
    }

    std::size_t InputCount() const {
        int n = 0;
        return ::ioctl(fd_.Get(), FIONREAD, &n) == 0 && n > 0 ? static_cast<std::size_t>(n) : 0;
    }

    std::size_t OutputCount() const {
        int n = 0;
        return ::ioctl(fd_.Get(), TIOCOUTQ, &n) == 0 && n > 0 ? static_cast<std::size_t>(n) : 0;
    }

    void WakeLocked() {
        const char byte = 1;
        // A full pipe already holds a wake-up; nothing is lost when this write fails.
        [[maybe_unused]] ssize_t n = ::write(wakeWrite_.Get(), &byte, 1);
    }

    void DrainWakeLocked() {
        char buf[64];
        while (::read(wakeRead_.Get(), buf, sizeof buf) > 0) {
        }
    }

    void Raise(std::uint32_t ev) {
        events_ |= ev & mask_;
    }

    bool ReadModemLocked(int& bits) const {
        return caps_.modemLines && ::ioctl(fd_.Get(), TIOCMGET, &bits) == 0;
    }

    bool ReadCountsLocked([[maybe_unused]] Counts& counts) const {
#ifdef TIOCGICOUNT
        return caps_.errorCounts && ::ioctl(fd_.Get(), TIOCGICOUNT, &counts) == 0;
#else
        return false;
#endif
    }

    // Line-error counters: growth becomes pending CE_* bits and EV_ERR / EV_BREAK.
    void CheckCountsLocked() {
#ifdef TIOCGICOUNT
        Counts now{};
        if (!ReadCountsLocked(now)) {
            return;
        }
        std::uint32_t errors = 0;
        if (now.frame != lastCounts_.frame) {
            errors |= CE_FRAME;
        }
        if (now.overrun != lastCounts_.overrun) {
            errors |= CE_OVERRUN;
        }
        if (now.parity != lastCounts_.parity) {
            errors |= CE_RXPARITY;
        }
        if (now.buf_overrun != lastCounts_.buf_overrun) {
            errors |= CE_RXOVER;
        }
        if (now.brk != lastCounts_.brk) {
            errors |= CE_BREAK;
            Raise(EV_BREAK);
        }
        lastCounts_ = now;
        if (errors & ~CE_BREAK) {
            Raise(EV_ERR);
        }
        pendingErrors_ |= errors;
#endif
    }

    void CheckAllLocked() {
        const std::size_t in = InputCount();
        if (in > reportedIn_) {
            Raise(EV_RXCHAR);
        }
        reportedIn_ = in;
        if (txPending_ && OutputCount() == 0) {
            txPending_ = false;
            Raise(EV_TXEMPTY);
        }
        int bits = 0;
        if (ReadModemLocked(bits)) {
            const int changed = bits ^ lastModem_;
            if (changed & TIOCM_CTS) {
                Raise(EV_CTS);
            }
            if (changed & TIOCM_DSR) {
                Raise(EV_DSR);
            }
            if (changed & TIOCM_CD) {
                Raise(EV_RLSD);
            }
            if ((changed & TIOCM_RNG) && !(bits & TIOCM_RNG)) {
                Raise(EV_RING);  // a ring ends
            }
            lastModem_ = bits;
        }
        CheckCountsLocked();
    }

    // How long poll() may sleep before something must be looked at again.
    int PollTimeoutLocked(std::size_t waitingIn) const {
        if (txPending_ && (mask_ & EV_TXEMPTY)) {
            return 2;
        }
        if ((mask_ & EV_RXCHAR) && waitingIn > 0) {
            return 5;  // unread input: POLLIN would fire at once, so look for growth
        }
        if (caps_.modemLines && (mask_ & (EV_CTS | EV_DSR | EV_RLSD | EV_RING))) {
            return 10;
        }
        if (caps_.errorCounts && (mask_ & (EV_ERR | EV_BREAK))) {
            return 10;
        }
        return -1;
    }

    const UniqueFd fd_;
    const UniqueFd wakeRead_;
    const UniqueFd wakeWrite_;
    const DeviceCaps caps_;

    std::mutex mutex_;
    std::condition_variable cv_;
    LineState line_;
    std::uint32_t mask_ = 0;
    std::uint32_t events_ = 0;
    std::uint32_t pendingErrors_ = 0;
    std::uint64_t generation_ = 0;
    std::size_t reportedIn_ = 0;  // input bytes already announced by EV_RXCHAR
    bool txPending_ = false;      // written since the output queue was last seen empty
    int lastModem_ = 0;
    Counts lastCounts_{};
    bool closing_ = false;
    int waiters_ = 0;
    int writers_ = 0;
};

}  // namespace

std::unique_ptr<ISerialDevice> OpenNativeSerialDevice(const std::string& path,
                                                      DeviceOpenError* error) {
    auto fail = [&](int err) -> std::unique_ptr<ISerialDevice> {
        if (error != nullptr) {
            *error = ErrnoError(err, path);
            if (error->kind == OpenFailure::NoPermission) {
                error->group = DeviceOwnerGroup(path);
            }
        }
        return nullptr;
    };

    UniqueFd fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!fd) {
        return fail(errno);
    }
    if (!::isatty(fd.Get())) {
        return fail(ENOTTY);
    }
    // The advisory lock keeps out a second copy of ours, even one running with privileges
    // that TIOCEXCL does not stop; it comes first, so that a copy refused here never touches
    // the exclusive mode of the copy that holds the port. TIOCEXCL then keeps other programs
    // out; it stays set until the device is closed (or this open fails), then it is cleared.
    if (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) {
        return fail(errno == EWOULDBLOCK ? EBUSY : errno);
    }
    if (::ioctl(fd.Get(), TIOCEXCL) != 0) {
        return fail(errno);
    }
    struct ExclusiveGuard {
        int fd;
        bool keep = false;
        ~ExclusiveGuard() {
            if (!keep) {
                ::ioctl(fd, TIOCNXCL);
            }
        }
    } exclusive{fd.Get()};

    termios t{};
    if (::tcgetattr(fd.Get(), &t) != 0) {
        return fail(errno);
    }
    LineState line = FromTermios(t, LineState{});
    // Raw bytes, no echo, no signals; speed and character format stay as the port had them.
    speed_t ispeed = ::cfgetispeed(&t);
    speed_t ospeed = ::cfgetospeed(&t);
    ::cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    ::cfsetispeed(&t, ispeed);
    ::cfsetospeed(&t, ospeed);
    if (::tcsetattr(fd.Get(), TCSANOW, &t) != 0) {
        return fail(errno);
    }
    line = FromTermios(t, line);

    DeviceCaps caps;
    int bits = 0;
    caps.modemLines = ::ioctl(fd.Get(), TIOCMGET, &bits) == 0;
#ifdef TIOCGICOUNT
    serial_icounter_struct counts{};
    caps.errorCounts = ::ioctl(fd.Get(), TIOCGICOUNT, &counts) == 0;
#endif
    // A pseudo-terminal accepts TIOCSBRK but sends nothing; a device with modem lines is
    // a real UART (or USB bridge) whose break reaches the wire.
    caps.breakSignal = caps.modemLines;

    UniqueFd wakeRead;
    UniqueFd wakeWrite;
    if (!MakePipe(wakeRead, wakeWrite, true)) {
        return fail(errno);
    }
    exclusive.keep = true;
    return std::make_unique<PosixSerialDevice>(std::move(fd), std::move(wakeRead),
                                               std::move(wakeWrite), caps, line);
}

}  // namespace kz::platform

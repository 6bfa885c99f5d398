#include "sim/PtyPort.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace kz::sim {

namespace {

// How long Write waits for the other side to take bytes before it gives up; a program
// that opened the slave and stopped reading must not hang the panel.
constexpr int kWriteStallMs = 2000;

std::string Reason(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

void CloseFd(int fd) {
    if (fd >= 0) {
        ::close(fd);
    }
}

}  // namespace

std::unique_ptr<PtyPort> PtyPort::Open(std::string* error) {
    auto fail = [&](const std::string& reason, int a = -1, int b = -1) {
        if (error) {
            *error = reason;
        }
        CloseFd(a);
        CloseFd(b);
        return nullptr;
    };
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0) {
        return fail(Reason("posix_openpt"));
    }
    if (::grantpt(master) != 0 || ::unlockpt(master) != 0) {
        return fail(Reason("grantpt/unlockpt"), master);
    }
    char name[128];
    if (::ptsname_r(master, name, sizeof name) != 0) {
        return fail(Reason("ptsname"), master);
    }
    const int slave = ::open(name, O_RDWR | O_NOCTTY);
    if (slave < 0) {
        return fail(Reason("open slave"), master);
    }
    termios raw{};
    if (::tcgetattr(slave, &raw) == 0) {
        ::cfmakeraw(&raw);
        ::tcsetattr(slave, TCSANOW, &raw);
    }
    const int flags = ::fcntl(master, F_GETFL);
    ::fcntl(master, F_SETFL, flags | O_NONBLOCK);
    int pipeFds[2];
    if (::pipe(pipeFds) != 0) {
        CloseFd(slave);
        return fail(Reason("pipe"), master);
    }
    for (int fd : pipeFds) {
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    }
    return std::unique_ptr<PtyPort>(new PtyPort(master, slave, pipeFds[0], pipeFds[1], name));
}

PtyPort::PtyPort(int master, int slave, int wakeRead, int wakeWrite, std::string slavePath)
    : master_(master),
      slave_(slave),
      wakeRead_(wakeRead),
      wakeWrite_(wakeWrite),
      slavePath_(std::move(slavePath)) {}

PtyPort::~PtyPort() {
    CloseFd(wakeRead_);
    CloseFd(wakeWrite_);
    CloseFd(slave_);
    CloseFd(master_);
}

platform::DeviceCaps PtyPort::Caps() const {
    return {};  // no modem lines, no line errors, no break
}

bool PtyPort::GetLineState(platform::LineState& state) {
    std::lock_guard lock(mutex_);
    state = line_;
    return true;
}

bool PtyPort::SetLineState(const platform::LineState& state) {
    std::lock_guard lock(mutex_);
    line_ = state;
    return true;
}

bool PtyPort::SetQueueSizes(std::uint32_t, std::uint32_t) {
    return true;
}

std::size_t PtyPort::Read(void* buffer, std::size_t max) {
    const ssize_t n = ::read(master_, buffer, max);
    return n > 0 ? static_cast<std::size_t>(n) : 0;
}

bool PtyPort::Write(const void* buffer, std::size_t count) {
    const auto* bytes = static_cast<const std::uint8_t*>(buffer);
    std::size_t done = 0;
    while (done < count) {
        const ssize_t n = ::write(master_, bytes + done, count - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            return false;
        }
        pollfd out{master_, POLLOUT, 0};
        if (::poll(&out, 1, kWriteStallMs) <= 0) {
            return false;
        }
    }
    {
        std::lock_guard lock(mutex_);
        if (mask_ & platform::EV_TXEMPTY) {
            pending_ |= platform::EV_TXEMPTY;
        }
    }
    Wake();
    return true;
}

bool PtyPort::ClearError(std::uint32_t& errors, platform::QueueStatus& status) {
    errors = 0;
    status = {};
    return true;
}

bool PtyPort::Purge(std::uint32_t flags) {
    if (flags & platform::PURGE_RXCLEAR) {
        char sink[4096];
        while (::read(master_, sink, sizeof sink) > 0) {
        }
    }
    return true;
}

bool PtyPort::EscapeFunction(int) {
    return false;
}

bool PtyPort::GetModemStatus(std::uint32_t& status) {
    status = 0;
    return false;
}

bool PtyPort::SetEventMask(std::uint32_t mask) {
    {
        std::lock_guard lock(mutex_);
        mask_ = mask;
        pending_ = 0;
        ++generation_;
    }
    Wake();
    return true;
}

bool PtyPort::GetEventMask(std::uint32_t& mask) {
    std::lock_guard lock(mutex_);
    mask = mask_;
    return true;
}

void PtyPort::Wake() {
    const char byte = 1;
    [[maybe_unused]] ssize_t ignored = ::write(wakeWrite_, &byte, 1);
}

bool PtyPort::WaitEvent(std::uint32_t& events) {
    events = 0;
    std::uint64_t generation;
    {
        std::lock_guard lock(mutex_);
        generation = generation_;
    }
    for (;;) {
        std::uint32_t mask;
        {
            std::lock_guard lock(mutex_);
            if (generation_ != generation) {
                return true;  // the mask changed: released with no events
            }
            mask = mask_;
            if (pending_ & mask) {
                events = pending_ & mask;
                pending_ = 0;
                return true;
            }
        }
        pollfd fds[2] = {{wakeRead_, POLLIN, 0},
                         {master_, static_cast<short>(mask & platform::EV_RXCHAR ? POLLIN : 0), 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        if (fds[0].revents & POLLIN) {
            char sink[64];
            while (::read(wakeRead_, sink, sizeof sink) > 0) {
            }
        }
        if (fds[1].revents & (POLLERR | POLLNVAL)) {
            return false;
        }
        if (fds[1].revents & POLLIN) {
            events = platform::EV_RXCHAR;
            return true;
        }
        if (fds[1].revents & POLLHUP) {
            // Should not happen while our own slave descriptor is open; do not spin on it.
            ::poll(nullptr, 0, 10);
        }
    }
}

}  // namespace kz::sim

#include "Terminal.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace kz::cli {

namespace {

// Switches echo off on fd for its lifetime (the line end is still echoed).
class EchoOff {
  public:
    explicit EchoOff(int fd) : fd_(fd) {
        if (::tcgetattr(fd_, &saved_) == 0) {
            termios quiet = saved_;
            quiet.c_lflag &= static_cast<tcflag_t>(~ECHO);
            quiet.c_lflag |= ECHONL;
            active_ = ::tcsetattr(fd_, TCSANOW, &quiet) == 0;
        }
    }
    ~EchoOff() {
        if (active_) {
            ::tcsetattr(fd_, TCSANOW, &saved_);
        }
    }
    EchoOff(const EchoOff&) = delete;
    EchoOff& operator=(const EchoOff&) = delete;

  private:
    int fd_;
    termios saved_{};
    bool active_ = false;
};

}  // namespace

std::unique_ptr<Terminal> Terminal::Open() {
    platform::UniqueFd wakeRead;
    platform::UniqueFd wakeWrite;
    if (!platform::MakePipe(wakeRead, wakeWrite, true)) {
        return nullptr;
    }
    platform::UniqueFd tty(::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (tty) {
        const int fd = tty.Get();
        return std::unique_ptr<Terminal>(
            new Terminal(fd, std::move(tty), fd, std::move(wakeRead), std::move(wakeWrite)));
    }
    if (::isatty(STDIN_FILENO)) {
        return std::unique_ptr<Terminal>(new Terminal(STDIN_FILENO, {}, STDERR_FILENO,
                                                      std::move(wakeRead), std::move(wakeWrite)));
    }
    return nullptr;
}

std::unique_ptr<Terminal> Terminal::OnDescriptors(int fd, int outFd) {
    platform::UniqueFd wakeRead;
    platform::UniqueFd wakeWrite;
    if (!platform::MakePipe(wakeRead, wakeWrite, true)) {
        return nullptr;
    }
    return std::unique_ptr<Terminal>(
        new Terminal(fd, {}, outFd, std::move(wakeRead), std::move(wakeWrite)));
}

std::optional<std::string> Terminal::Prompt(const std::string& prompt, bool echo) {
    std::optional<EchoOff> quiet;
    if (!echo) {
        quiet.emplace(fd_);
    }
    Write(prompt);
    return ReadLine();
}

bool Terminal::CancelQuestion() {
    std::lock_guard lock(stateMutex_);
    if (!asking_) {
        return false;
    }
    const char byte = 1;
    // The pipe is non-blocking: when it is full a cancellation is pending already.
    [[maybe_unused]] const ssize_t n = ::write(wakeWrite_.Get(), &byte, 1);
    return true;
}

void Terminal::BeginQuestion() {
    std::lock_guard lock(stateMutex_);
    char drain[64];
    while (::read(wakeRead_.Get(), drain, sizeof drain) > 0) {
    }
    asking_ = true;
}

void Terminal::EndQuestion() {
    std::lock_guard lock(stateMutex_);
    asking_ = false;
}

std::optional<std::string> Terminal::ReadLine() {
    std::string line;
    for (;;) {
        pollfd fds[2] = {{fd_, POLLIN, 0}, {wakeRead_.Get(), POLLIN, 0}};
        const int ready = ::poll(fds, 2, -1);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            return std::nullopt;
        }
        if (fds[1].revents & POLLIN) {
            return std::nullopt;
        }
        if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
            continue;
        }
        char buffer[256];
        const ssize_t n = ::read(fd_, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                continue;
            }
            return std::nullopt;
        }
        if (n == 0) {
            return std::nullopt;  // end of input
        }
        for (ssize_t i = 0; i < n; ++i) {
            if (buffer[i] == '\n') {
                return line;
            }
            if (line.size() < kMaxAnswer) {
                line += buffer[i];
            }
        }
    }
}

void Terminal::Write(const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(outFd_, text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        done += static_cast<std::size_t>(n);
    }
}

}  // namespace kz::cli

#include "Terminal.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <utility>

namespace kz::cli {

namespace {

constexpr std::size_t kMaxAnswer = 1024;

std::string Lower(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

std::string Trim(const std::string& text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) {
        return {};
    }
    const auto last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

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

Terminal::Terminal(int fd, platform::UniqueFd owned, int outFd, platform::UniqueFd wakeRead,
                   platform::UniqueFd wakeWrite)
    : fd_(fd),
      owned_(std::move(owned)),
      outFd_(outFd),
      wakeRead_(std::move(wakeRead)),
      wakeWrite_(std::move(wakeWrite)) {}

Terminal::~Terminal() = default;

bool Terminal::AskOkCancel(const std::string& text) {
    std::lock_guard ask(askMutex_);
    BeginQuestion();
    bool result = false;
    Write(text);
    for (;;) {
        Write(" [y/N] ");
        const std::optional<std::string> line = ReadLine();
        if (!line) {
            Write("\n");
            break;
        }
        const std::string answer = Lower(Trim(*line));
        if (answer == "y" || answer == "yes" || answer == "ok") {
            result = true;
            break;
        }
        if (answer.empty() || answer == "n" || answer == "no" || answer == "cancel") {
            break;
        }
    }
    EndQuestion();
    return result;
}

std::optional<std::string> Terminal::AskLine(const std::string& text) {
    std::lock_guard ask(askMutex_);
    BeginQuestion();
    Write(text);
    std::optional<std::string> line = ReadLine();
    if (line) {
        line = Trim(*line);
    } else {
        Write("\n");
    }
    EndQuestion();
    return line;
}

std::optional<std::string> Terminal::ReadSecret(const std::string& prompt) {
    std::lock_guard ask(askMutex_);
    BeginQuestion();
    std::optional<std::string> line;
    {
        // Off before the prompt shows: a password typed (or pasted) the moment the prompt
        // appears must not be echoed.
        EchoOff quiet(fd_);
        Write(prompt);
        line = ReadLine();
    }
    if (!line) {
        Write("\n");
    }
    EndQuestion();
    return line;
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

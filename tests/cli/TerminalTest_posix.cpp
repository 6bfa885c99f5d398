// kzmnt-cli's terminal questions on a pseudo-terminal: the test holds the master side (the
// user's keyboard and screen), the terminal reads the slave.
#if !defined(_WIN32)

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <optional>
#include <string>
#include <thread>

#include "Terminal.h"

namespace kz::cli {
namespace {

using namespace std::chrono_literals;

// Reads what the screen shows until it contains text (or nothing comes for two seconds).
std::string ReadUntil(int fd, const std::string& text) {
    std::string seen;
    while (seen.find(text) == std::string::npos) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 2000) <= 0) {
            break;
        }
        char buf[256];
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) {
            break;
        }
        seen.append(buf, static_cast<std::size_t>(n));
    }
    return seen;
}

bool EchoOn(int fd) {
    termios t{};
    return ::tcgetattr(fd, &t) == 0 && (t.c_lflag & ECHO) != 0;
}

TEST(Terminal, PasswordPromptAppearsOnlyOnceEchoIsOff) {
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(::grantpt(master), 0);
    ASSERT_EQ(::unlockpt(master), 0);
    const int slave = ::open(::ptsname(master), O_RDWR | O_NOCTTY);
    ASSERT_GE(slave, 0);
    ASSERT_TRUE(EchoOn(slave));

    // The prompt goes to a pipe that is full: it cannot appear until the test makes room,
    // and the test makes room only once echo is off. Prompting before switching echo off
    // would leave both waiting, and echo on.
    int out[2];
    ASSERT_EQ(::pipe(out), 0);
    ::fcntl(out[1], F_SETFL, ::fcntl(out[1], F_GETFL) | O_NONBLOCK);
    const std::string filler(4096, '.');
    while (::write(out[1], filler.data(), filler.size()) > 0) {
    }
    ::fcntl(out[1], F_SETFL, ::fcntl(out[1], F_GETFL) & ~O_NONBLOCK);

    auto terminal = Terminal::OnDescriptors(slave, out[1]);
    ASSERT_TRUE(terminal);
    auto answer = std::async(std::launch::async,
                             [&] { return terminal->ReadSecret("Please input a password: "); });
    bool echoOff = false;
    for (int i = 0; i < 500 && !echoOff; ++i) {
        echoOff = !EchoOn(slave);
        if (!echoOff) {
            std::this_thread::sleep_for(10ms);
        }
    }
    EXPECT_TRUE(echoOff) << "the prompt was written while echo was still on";
    // Room for the prompt; then the user types at once.
    EXPECT_NE(ReadUntil(out[0], "Please input a password: ").find("Please input a password: "),
              std::string::npos);
    const std::string typed = "s3cret\n";
    ASSERT_EQ(::write(master, typed.data(), typed.size()), static_cast<ssize_t>(typed.size()));
    ASSERT_EQ(answer.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(answer.get(), std::optional<std::string>("s3cret"));
    EXPECT_EQ(ReadUntil(master, "\n").find("s3cret"), std::string::npos);
    EXPECT_TRUE(EchoOn(slave));  // restored

    terminal.reset();
    for (int fd : {out[0], out[1], slave, master}) {
        ::close(fd);
    }
}

}  // namespace
}  // namespace kz::cli

#endif

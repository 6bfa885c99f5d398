// The termios backend over a pseudo-terminal: the test holds the master side, the device
// opens the slave path as it would open /dev/ttyUSB0.
#if !defined(_WIN32)

#include <fcntl.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "platform/SerialDevice.h"
#include "support/TempDir.h"

namespace kz::platform {
namespace {

class PseudoTerminal {
  public:
    PseudoTerminal() {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ >= 0 && ::grantpt(master_) == 0 && ::unlockpt(master_) == 0) {
            char name[128];
            if (::ptsname_r(master_, name, sizeof name) == 0) {
                slave_ = name;
            }
        }
    }
    ~PseudoTerminal() {
        if (master_ >= 0) {
            ::close(master_);
        }
    }
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;

    const std::string& SlavePath() const { return slave_; }

    bool Send(const std::string& text) {
        return ::write(master_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    }
    std::string Receive(std::size_t count) {
        std::string out;
        char buf[64];
        while (out.size() < count) {
            ssize_t n = ::read(master_, buf, std::min(sizeof buf, count - out.size()));
            if (n <= 0) {
                break;
            }
            out.append(buf, static_cast<std::size_t>(n));
        }
        return out;
    }

    // Whether the terminal is in exclusive mode (TIOCEXCL), asked through a descriptor of
    // our own (the tests run with privileges that TIOCEXCL does not stop).
    bool Exclusive() const {
        const int fd = ::open(slave_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (fd < 0) {
            return errno == EBUSY;  // without those privileges the open itself is refused
        }
        int exclusive = -1;
        ::ioctl(fd, TIOCGEXCL, &exclusive);
        ::close(fd);
        return exclusive == 1;
    }

  private:
    int master_ = -1;
    std::string slave_;
};

// Waits for EV_RXCHAR, reads what has come, and goes on until count bytes are held.
std::string ReadWithEvents(ISerialDevice& dev, std::size_t count, std::uint32_t& seen) {
    std::string out;
    char buf[64];
    while (out.size() < count) {
        std::uint32_t ev = 0;
        if (!dev.WaitEvent(ev)) {
            break;
        }
        seen |= ev;
        while (std::size_t n = dev.Read(buf, sizeof buf)) {
            out.append(buf, n);
        }
    }
    return out;
}

TEST(PosixSerial, PseudoTerminalCarriesBytesEventsAndLineCalls) {
    PseudoTerminal pty;
    ASSERT_FALSE(pty.SlavePath().empty());
    DeviceOpenError error;
    auto dev = OpenSerialDevice(pty.SlavePath(), &error);
    ASSERT_TRUE(dev) << error.reason;

    // A second open of a port in use is refused.
    DeviceOpenError busy;
    EXPECT_FALSE(OpenSerialDevice(pty.SlavePath(), &busy));
    EXPECT_EQ(busy.kind, OpenFailure::Busy);
    EXPECT_NE(busy.reason.find("device busy"), std::string::npos) << busy.reason;

    // A pseudo-terminal has neither modem lines nor error counters.
    EXPECT_FALSE(dev->Caps().modemLines);
    EXPECT_FALSE(dev->Caps().errorCounts);
    std::uint32_t ms = 0xFF;
    EXPECT_FALSE(dev->GetModemStatus(ms));
    EXPECT_EQ(ms, 0u);

    // Speed and format: standard rates work, others are refused.
    LineState st;
    ASSERT_TRUE(dev->GetLineState(st));
    st.baudRate = 115200;
    st.parity = 2;
    st.byteSize = 7;
    ASSERT_TRUE(dev->SetLineState(st));
    st.baudRate = 9600;
    st.parity = 0;
    st.byteSize = 8;
    ASSERT_TRUE(dev->SetLineState(st));
    LineState odd = st;
    odd.baudRate = 12345;
    EXPECT_FALSE(dev->SetLineState(odd));
    ASSERT_TRUE(dev->GetLineState(st));
    EXPECT_EQ(st.baudRate, 9600u);
    EXPECT_TRUE(dev->EscapeFunction(SETBREAK));
    EXPECT_TRUE(dev->EscapeFunction(CLRBREAK));

    // Panel to PC, announced by EV_RXCHAR.
    ASSERT_TRUE(dev->SetEventMask(EV_RXCHAR | EV_TXEMPTY | EV_ERR));
    std::uint32_t seen = 0;
    ASSERT_TRUE(
        pty.Send("\x10"
                 "000\r\x1a"));
    EXPECT_EQ(ReadWithEvents(*dev, 6, seen),
              "\x10"
              "000\r\x1a");
    EXPECT_NE(seen & EV_RXCHAR, 0u);

    // PC to panel, followed by EV_TXEMPTY.
    const std::string frame = "\x10>V\r" + std::string(3000, 'D');
    ASSERT_TRUE(dev->Write(frame.data(), frame.size()));
    EXPECT_EQ(pty.Receive(frame.size()), frame);
    seen = 0;
    while (!(seen & EV_TXEMPTY)) {
        std::uint32_t ev = 0;
        ASSERT_TRUE(dev->WaitEvent(ev));
        seen |= ev;
    }

    std::uint32_t errors = 0xFF;
    QueueStatus status;
    ASSERT_TRUE(dev->ClearError(errors, status));
    EXPECT_EQ(errors, 0u);
    EXPECT_EQ(status.inQueue, 0u);
    ASSERT_TRUE(dev->Purge(PURGE_RXCLEAR | PURGE_TXCLEAR));

    // Once closed, the port can be opened again, and by anyone: the exclusive mode held
    // while it was open is gone (an unprivileged open would otherwise fail with EBUSY).
    EXPECT_TRUE(pty.Exclusive());
    dev.reset();
    EXPECT_FALSE(pty.Exclusive());
    EXPECT_TRUE(OpenSerialDevice(pty.SlavePath(), &error)) << error.reason;
}

TEST(PosixSerial, OpenFailuresSayWhy) {
    test::TempDir dir;
    // The kind is a value to act on; the reason names it in words, then the device.
    const struct {
        std::string device;
        OpenFailure kind;
        const char* words;
    } cases[] = {{dir.str() + "ttyNONE", OpenFailure::NoDevice, "no such device: "},
                 {dir.Write("plain", "x"), OpenFailure::NotSerial, "not a serial device: "},
                 {"virtual:no-such-link", OpenFailure::NoDevice, "no such device: "}};
    for (const auto& c : cases) {
        DeviceOpenError error;
        EXPECT_FALSE(OpenSerialDevice(c.device, &error));
        EXPECT_EQ(error.kind, c.kind) << c.device;
        EXPECT_EQ(error.reason.rfind(c.words, 0), 0u) << error.reason;
    }
}

}  // namespace
}  // namespace kz::platform

#endif

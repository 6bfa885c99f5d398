// The pseudo-terminal port, with a panel behind it, seen from the slave side as a program
// that opened the device would see it.
#include "sim/PtyPort.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "sim/Panel.h"
#include "support/PanelFixture.h"
#include "tests/sim/PcWire.h"

namespace kz::test {
namespace {

class Slave {
  public:
    explicit Slave(const std::string& path) : fd_(::open(path.c_str(), O_RDWR | O_NOCTTY)) {
        if (fd_ >= 0) {
            termios raw{};
            ::tcgetattr(fd_, &raw);
            ::cfmakeraw(&raw);
            ::tcsetattr(fd_, TCSANOW, &raw);
            ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) | O_NONBLOCK);
        }
    }
    ~Slave() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    bool ok() const { return fd_ >= 0; }
    void Send(const std::string& bytes) {
        ASSERT_EQ(::write(fd_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    std::string Read(std::size_t n) {
        std::string got;
        wire::Eventually([&] {
            char buffer[256];
            const ssize_t r = ::read(fd_, buffer, std::min(sizeof buffer, n - got.size()));
            if (r > 0) {
                got.append(buffer, static_cast<std::size_t>(r));
            }
            return got.size() >= n;
        });
        return got;
    }

  private:
    int fd_;
};

TEST(PtyPort, HasNoModemLinesNoErrorsAndNoBreak) {
    std::string error;
    auto port = sim::PtyPort::Open(&error);
    ASSERT_TRUE(port) << error;
    EXPECT_EQ(port->SlavePath().rfind("/dev/", 0), 0u);
    const platform::DeviceCaps caps = port->Caps();
    EXPECT_FALSE(caps.modemLines);
    EXPECT_FALSE(caps.errorCounts);
    EXPECT_FALSE(caps.breakSignal);
    std::uint32_t status = 1;
    EXPECT_FALSE(port->GetModemStatus(status));
    EXPECT_EQ(status, 0u);
    EXPECT_FALSE(port->EscapeFunction(platform::SETBREAK));
}

TEST(PtyPort, ServesAPanelToTheSlaveAcrossReopening) {
    std::string error;
    auto port = sim::PtyPort::Open(&error);
    ASSERT_TRUE(port) << error;
    const std::string path = port->SlavePath();
    sim::Panel panel(std::move(port), TestPanel());
    ASSERT_TRUE(panel.Start());
    {
        Slave slave(path);
        ASSERT_TRUE(slave.ok());
        slave.Send(std::string(1, wire::ENQ));
        EXPECT_EQ(slave.Read(2), std::string({wire::ETX, wire::SUB}));
    }
    // The program closed the device and opens it again: the panel still answers.
    Slave again(path);
    ASSERT_TRUE(again.ok());
    again.Send(wire::Mid());
    const std::string answer = again.Read(17);
    EXPECT_EQ(answer.substr(9, 4), "8C93");
    panel.Stop();
    EXPECT_EQ(panel.Counters().frames, 1u);
}

TEST(PtyPort, StopReleasesAnIdlePanel) {
    auto port = sim::PtyPort::Open();
    ASSERT_TRUE(port);
    sim::Panel panel(std::move(port), TestPanel());
    ASSERT_TRUE(panel.Start());
    panel.Stop();
    EXPECT_FALSE(panel.Running());
}

}  // namespace
}  // namespace kz::test

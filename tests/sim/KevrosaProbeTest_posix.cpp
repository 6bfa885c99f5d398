// The node search's probe of our LAN library against peers that answer badly: each probe
// ends, and says "no panel here".
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <future>
#include <thread>
#include <vector>

#include "sim/kevrosa/KevrosaSession.h"

namespace kz::test {
namespace {

using kevrosa::library::Endpoint;
using kevrosa::library::Session;

// A peer on 127.0.0.1 that takes one connection, reads the probe, sends `answer` and then
// keeps the connection open, silent, until Release().
class StallingPeer {
  public:
    explicit StallingPeer(std::vector<std::uint8_t> answer) : m_answer(std::move(answer)) {
        m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof sa;
        if (m_listener < 0 ||
            ::bind(m_listener, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
            ::listen(m_listener, 1) != 0 ||
            ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
            return;
        }
        m_port = ntohs(sa.sin_port);
        m_thread = std::thread([this] { Serve(); });
    }
    ~StallingPeer() {
        Release();
        if (m_thread.joinable()) {
            m_thread.join();
        }
        if (m_listener >= 0) {
            ::close(m_listener);
        }
    }
    int Port() const { return m_port; }
    void Release() {
        if (!m_released) {
            m_released = true;
            m_release.set_value();
        }
    }

  private:
    void Serve() {
        const int c = ::accept(m_listener, nullptr, nullptr);
        if (c < 0) {
            return;
        }
        std::uint8_t request[64];
        [[maybe_unused]] const ssize_t got = ::recv(c, request, sizeof request, 0);
        if (!m_answer.empty()) {
            [[maybe_unused]] const ssize_t sent =
                ::send(c, m_answer.data(), m_answer.size(), MSG_NOSIGNAL);
        }
        m_release.get_future().wait();
        ::close(c);
    }

    std::vector<std::uint8_t> m_answer;
    int m_listener = -1;
    int m_port = 0;
    std::thread m_thread;
    std::promise<void> m_release;
    bool m_released = false;
};

class KevrosaProbeTest : public ::testing::TestWithParam<std::vector<std::uint8_t>> {};

// A peer that stops in the middle of its answer used to keep the search (and with it the
// socket's close and free) waiting for the rest without end.
TEST_P(KevrosaProbeTest, APeerThatStallsIsNoPanel) {
    StallingPeer peer(GetParam());
    ASSERT_NE(peer.Port(), 0);
    Endpoint e;
    e.address = 0x7F000001;
    e.port = peer.Port();
    EXPECT_FALSE(Session::Probe(e));
    peer.Release();
}

INSTANTIATE_TEST_SUITE_P(
    Answers, KevrosaProbeTest,
    ::testing::Values(std::vector<std::uint8_t>{},                        // says nothing
                      std::vector<std::uint8_t>{0x06, 0x00},              // half a length
                      std::vector<std::uint8_t>{0x06, 0x00, 0x00, 0x00},  // a length, no body
                      std::vector<std::uint8_t>{0x06, 0x00, 0x00, 0x00, 0x01, 0x01}));

}  // namespace
}  // namespace kz::test

// Kevrosa.dll's close against a panel that keeps the connection open and says nothing: the
// reader thread waits in select() and must still see the shutdown of the close.
#include <winsock2.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <future>
#include <string>
#include <thread>

#include "lan/MtoMTypes.h"
#include "sim/kevrosa/KevrosaSession.h"

using kz::lan::MtoMCallback;
using kz::lan::MtoMSocket;

extern "C" {
MtoMSocket* KZ_MTOM_CALL CreateMtoMSocket(std::uint32_t kind);
int KZ_MTOM_CALL OpenMtoMLAN(MtoMSocket* s, MtoMCallback cb, const char* address);
int KZ_MTOM_CALL CloseMtoM(MtoMSocket* s, MtoMCallback cb);
int KZ_MTOM_CALL FreeMtoMSocket(MtoMSocket* s);
}

namespace kz::test {
namespace {

// A peer on 127.0.0.1 that accepts one connection and keeps it open, silent, until
// Release().
class SilentPeer {
  public:
    SilentPeer() {
        WSADATA data;
        m_started = ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
        m_listener = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int len = sizeof sa;
        if (m_listener == INVALID_SOCKET ||
            ::bind(m_listener, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
            ::listen(m_listener, 1) != 0 ||
            ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
            return;
        }
        m_port = ntohs(sa.sin_port);
        m_thread = std::thread([this] {
            const SOCKET c = ::accept(m_listener, nullptr, nullptr);
            m_release.get_future().wait();
            if (c != INVALID_SOCKET) {
                ::closesocket(c);
            }
        });
    }
    ~SilentPeer() {
        Release();
        if (m_thread.joinable()) {
            m_thread.join();
        }
        if (m_listener != INVALID_SOCKET) {
            ::closesocket(m_listener);
        }
        if (m_started) {
            ::WSACleanup();
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
    bool m_started = false;
    SOCKET m_listener = INVALID_SOCKET;
    int m_port = 0;
    std::thread m_thread;
    std::promise<void> m_release;
    bool m_released = false;
};

TEST(KevrosaCloseTest, CloseEndsWhileTheSilentPanelKeepsTheConnection) {
    SilentPeer peer;
    ASSERT_NE(peer.Port(), 0);
    MtoMSocket* s = CreateMtoMSocket(0);
    ASSERT_NE(s, nullptr);
    const std::string endpoint = "127.0.0.1:" + std::to_string(peer.Port());
    // The open connects, then waits in vain for the panel to accept it.
    EXPECT_EQ(OpenMtoMLAN(s, nullptr, endpoint.c_str()), kevrosa::library::kFailure);
    // Before, this waited as long as the peer kept the connection.
    EXPECT_EQ(CloseMtoM(s, nullptr), kz::lan::kResultSuccess);
    peer.Release();
    EXPECT_EQ(FreeMtoMSocket(s), kz::lan::kResultSuccess);
}

}  // namespace
}  // namespace kz::test

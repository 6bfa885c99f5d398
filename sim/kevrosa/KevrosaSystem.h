// What libKevrosa needs from the operating system: TCP sockets with a way to interrupt a
// wait, the folder of the library file, and the few files it reads and writes. The rest of
// the library is the same on every system; KevrosaSystem_posix.cpp and KevrosaSystem_win32.cpp
// (Winsock) implement this.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace kz::kevrosa::library {

// A socket: a descriptor on POSIX, a Winsock SOCKET on Windows; kNoSocket for none.
using Socket = std::intptr_t;
inline constexpr Socket kNoSocket = -1;

using SystemClock = std::chrono::steady_clock;

// Takes the socket layer into use for one session (Winsock's WSAStartup, counted by the
// system); false when sockets cannot be used. Each true answer is matched by StopSockets.
bool StartSockets();
void StopSockets();

// The IPv4 address "a.b.c.d" (four decimal parts, each 0 to 255) in host order.
std::optional<std::uint32_t> ParseIPv4(const std::string& text);

// Wakes the waits of WaitReady from another thread. Each Wake() makes the wait look at its
// interrupted() test; a wake-up that finds nothing interrupted is drained and waited past.
class Waker {
  public:
    Waker();
    ~Waker();
    Waker(const Waker&) = delete;
    Waker& operator=(const Waker&) = delete;

    void Wake();
    // The end a wait watches (kNoSocket when the waker could not be made).
    Socket Watched() const { return m_watched; }
    // Takes what Wake() left, so the next wait blocks again.
    void Drain();

  private:
    Socket m_watched = kNoSocket;
    Socket m_other = kNoSocket;
};

enum class Readiness { Read, Write };

// Waits until s is ready for r, or until the deadline, or until waker (null: none) is woken
// and interrupted() says so. 1 ready (an error or the end of the connection counts as
// ready), 0 deadline, -1 interrupted or failed.
int WaitReady(Socket s, Readiness r, SystemClock::time_point deadline, Waker* waker,
              const std::function<bool()>& interrupted);

// Waits at most ms milliseconds (-1: without end) for s to become readable. 1 readable (or
// the wait was cut short and the caller should look again), 0 time is up, -1 failed.
int WaitReadable(Socket s, int ms);

// Keep-alive for a connection: first probe after idleSeconds of silence, then every
// intervalSeconds, count unanswered probes end it; data unacknowledged for userTimeoutMs
// ends it too. Where the system cannot set a value it keeps its own.
struct KeepAlive {
    int idleSeconds;
    int intervalSeconds;
    int count;
    int userTimeoutMs;
};

// A TCP connection to address:port (host order) within wait, with TCP_NODELAY and the
// keep-alive of keep.
// kNoSocket on failure or when interrupted (see WaitReady).
Socket ConnectTcp(std::uint32_t address, int port, std::chrono::milliseconds wait, Waker* waker,
                  const std::function<bool()>& interrupted, const KeepAlive& keep);

// Sends what it can without waiting: the bytes sent (> 0), 0 when none could be sent now,
// -1 when the connection failed. Never raises a signal.
std::ptrdiff_t SendNow(Socket s, const std::uint8_t* data, std::size_t count);

// Receives what is there without waiting: the bytes received (> 0), 0 when nothing is
// there now, -1 at the end of the stream or when the connection failed.
std::ptrdiff_t ReceiveNow(Socket s, std::uint8_t* data, std::size_t count);

// Ends both directions: a thread blocked on s wakes up to the end of the stream.
void ShutdownSocket(Socket s);
void CloseSocket(Socket s);

// The folder the library file was loaded from, with its separator at the end; empty when
// the system does not say.
std::string LibraryFolder();

}  // namespace kz::kevrosa::library

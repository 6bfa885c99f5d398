// libKevrosa on Windows (Kevrosa.dll): Winsock 2 sockets, select() with a loopback UDP
// socket to wake a wait (Winsock has no pipes to select on), GetModuleFileName for the
// library folder, and the files it reads and writes (an exclusive temporary file and a
// rename, never through a reparse point such as a symbolic link or a junction).
//
// Sockets stay non-blocking from the connect on; the waits are select() calls. Keep-alive
// is set through SIO_KEEPALIVE_VALS (idle time and interval; the probe count is the
// system's) and the retransmission limit through TCP_MAXRT where the system has it.

// Winsock first, then what builds on it.
#include <winsock2.h>

#include <windows.h>
#include <ws2tcpip.h>

#include <mstcpip.h>

#include <algorithm>
#include <climits>
#include <vector>

#include "sim/kevrosa/KevrosaCard.h"
#include "sim/kevrosa/KevrosaSession.h"
#include "sim/kevrosa/KevrosaSystem.h"

namespace kz::kevrosa::library {

namespace {

SOCKET Sock(Socket s) {
    return static_cast<SOCKET>(s);
}

Socket Handle(SOCKET s) {
    return s == INVALID_SOCKET ? kNoSocket : static_cast<Socket>(s);
}

bool SetNonBlocking(SOCKET s) {
    u_long on = 1;
    return ::ioctlsocket(s, FIONBIO, &on) == 0;
}

SOCKET NewSocket(int type, int protocol) {
    return ::WSASocketW(AF_INET, type, protocol, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
}

// select()'s time for ms milliseconds (negative: without end).
timeval* TimeFor(int ms, timeval& tv) {
    if (ms < 0) {
        return nullptr;
    }
    tv.tv_sec = ms / 1000;
    tv.tv_usec = (ms % 1000) * 1000;
    return &tv;
}

constexpr DWORD kReparse = FILE_ATTRIBUTE_REPARSE_POINT;

}  // namespace

bool StartSockets() {
    WSADATA data;
    return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

void StopSockets() {
    ::WSACleanup();
}

std::optional<std::uint32_t> ParseIPv4(const std::string& text) {
    // Four decimal parts without leading zeros, each at most 255: the dotted form only.
    std::uint32_t address = 0;
    std::size_t i = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (i >= text.size() || text[i] != '.') {
                return std::nullopt;
            }
            ++i;
        }
        const std::size_t start = i;
        unsigned value = 0;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9' && i - start < 3) {
            value = value * 10 + static_cast<unsigned>(text[i] - '0');
            ++i;
        }
        if (i == start || value > 255 || (text[start] == '0' && i - start > 1)) {
            return std::nullopt;
        }
        address = (address << 8) | value;
    }
    if (i != text.size()) {
        return std::nullopt;
    }
    return address;
}

// ---- Waker: a UDP socket on the loopback that sends to itself ------------------------------

Waker::Waker() {
    const SOCKET s = NewSocket(SOCK_DGRAM, IPPROTO_UDP);
    if (s == INVALID_SOCKET) {
        return;
    }
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int len = sizeof sa;
    if (::bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
        ::getsockname(s, reinterpret_cast<sockaddr*>(&sa), &len) != 0 ||
        ::connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || !SetNonBlocking(s)) {
        ::closesocket(s);
        return;
    }
    m_watched = Handle(s);
}

Waker::~Waker() {
    if (m_watched != kNoSocket) {
        ::closesocket(Sock(m_watched));
    }
}

void Waker::Wake() {
    if (m_watched != kNoSocket) {
        const char byte = 1;
        ::send(Sock(m_watched), &byte, 1, 0);
    }
}

void Waker::Drain() {
    char drain[16];
    while (m_watched != kNoSocket && ::recv(Sock(m_watched), drain, sizeof drain, 0) > 0) {
    }
}

// ---- waits ---------------------------------------------------------------------------------

int WaitReady(Socket s, Readiness r, SystemClock::time_point deadline, Waker* waker,
              const std::function<bool()>& interrupted) {
    const Socket wakeEnd = waker != nullptr ? waker->Watched() : kNoSocket;
    for (;;) {
        fd_set reads;
        fd_set writes;
        fd_set errors;
        FD_ZERO(&reads);
        FD_ZERO(&writes);
        FD_ZERO(&errors);
        FD_SET(Sock(s), r == Readiness::Read ? &reads : &writes);
        // A connect that fails shows in the error set, not the write set.
        FD_SET(Sock(s), &errors);
        if (wakeEnd != kNoSocket) {
            FD_SET(Sock(wakeEnd), &reads);
        }
        timeval tv;
        const int n =
            ::select(0, &reads, &writes, &errors, TimeFor(MillisecondsUntil(deadline), tv));
        if (n == SOCKET_ERROR) {
            return -1;
        }
        if (n == 0) {
            return 0;
        }
        if (wakeEnd != kNoSocket && FD_ISSET(Sock(wakeEnd), &reads)) {
            if (interrupted()) {
                return -1;
            }
            waker->Drain();
            // A cancel whose byte was just drained has counted already.
            if (interrupted()) {
                return -1;
            }
        }
        if (FD_ISSET(Sock(s), &reads) || FD_ISSET(Sock(s), &writes) || FD_ISSET(Sock(s), &errors)) {
            return 1;
        }
    }
}

int WaitReadable(Socket s, int ms) {
    // A shutdown() from another thread does not always end a select() that waits already
    // (it does not when the peer keeps the connection open): the wait is cut into slices,
    // and the caller's next receive then sees the shutdown.
    constexpr int kSlice = 250;
    const int slice = ms < 0 || ms > kSlice ? kSlice : ms;
    fd_set reads;
    FD_ZERO(&reads);
    FD_SET(Sock(s), &reads);
    timeval tv;
    const int n = ::select(0, &reads, nullptr, nullptr, TimeFor(slice, tv));
    if (n == SOCKET_ERROR) {
        return -1;
    }
    return n > 0 || slice != ms ? 1 : 0;
}

// ---- connections ---------------------------------------------------------------------------

Socket ConnectTcp(std::uint32_t address, int port, std::chrono::milliseconds wait, Waker* waker,
                  const std::function<bool()>& interrupted, const KeepAlive& keep) {
    const SOCKET s = NewSocket(SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) {
        return kNoSocket;
    }
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<u_short>(port));
    sa.sin_addr.s_addr = htonl(address);
    bool connected = false;
    if (SetNonBlocking(s)) {
        if (::connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0) {
            connected = true;
        } else if (::WSAGetLastError() == WSAEWOULDBLOCK) {
            int err = 0;
            int len = sizeof err;
            connected =
                WaitReady(Handle(s), Readiness::Write, SystemClock::now() + wait, waker,
                          interrupted) == 1 &&
                ::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &len) == 0 &&
                err == 0;
        }
    }
    if (!connected) {
        ::closesocket(s);
        return kNoSocket;
    }
    const BOOL one = TRUE;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
    tcp_keepalive alive{};
    alive.onoff = 1;
    alive.keepalivetime = static_cast<ULONG>(keep.idleSeconds) * 1000;
    alive.keepaliveinterval = static_cast<ULONG>(keep.intervalSeconds) * 1000;
    DWORD returned = 0;
    ::WSAIoctl(s, SIO_KEEPALIVE_VALS, &alive, sizeof alive, nullptr, 0, &returned, nullptr,
               nullptr);
    // TCP_MAXRT: seconds of unacknowledged data before the connection ends.
    constexpr int kTcpMaxRetransmitTime = 5;
    const DWORD maxSeconds = static_cast<DWORD>((keep.userTimeoutMs + 999) / 1000);
    ::setsockopt(s, IPPROTO_TCP, kTcpMaxRetransmitTime, reinterpret_cast<const char*>(&maxSeconds),
                 sizeof maxSeconds);
    return Handle(s);
}

std::ptrdiff_t SendNow(Socket s, const std::uint8_t* data, std::size_t count) {
    const int chunk = static_cast<int>(std::min<std::size_t>(count, INT_MAX));
    const int n = ::send(Sock(s), reinterpret_cast<const char*>(data), chunk, 0);
    if (n > 0) {
        return n;
    }
    return n == SOCKET_ERROR && ::WSAGetLastError() == WSAEWOULDBLOCK ? 0 : -1;
}

std::ptrdiff_t ReceiveNow(Socket s, std::uint8_t* data, std::size_t count) {
    const int chunk = static_cast<int>(std::min<std::size_t>(count, INT_MAX));
    const int n = ::recv(Sock(s), reinterpret_cast<char*>(data), chunk, 0);
    if (n > 0) {
        return n;
    }
    return n == SOCKET_ERROR && ::WSAGetLastError() == WSAEWOULDBLOCK ? 0 : -1;
}

void ShutdownSocket(Socket s) {
    ::shutdown(Sock(s), SD_BOTH);
}

void CloseSocket(Socket s) {
    ::closesocket(Sock(s));
}

// ---- files ---------------------------------------------------------------------------------

std::string LibraryFolder() {
    HMODULE self = nullptr;
    if (!::GetModuleHandleExA(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            reinterpret_cast<LPCSTR>(&LibraryFolder), &self)) {
        return {};
    }
    std::vector<char> path(MAX_PATH);
    for (;;) {
        const DWORD n = ::GetModuleFileNameA(self, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0) {
            return {};
        }
        if (n < path.size()) {
            const std::string library(path.data(), n);
            const auto slash = library.find_last_of("\\/");
            return slash != std::string::npos ? library.substr(0, slash + 1) : std::string();
        }
        if (path.size() >= 32768) {
            return {};
        }
        path.resize(path.size() * 2);
    }
}

std::optional<std::string> Session::ReadConfigFile(const std::string& path) {
    // Folders open too (and then list nothing), as they do on POSIX.
    const HANDLE h = ::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        return std::nullopt;
    }
    std::string text;
    BY_HANDLE_FILE_INFORMATION info{};
    if (::GetFileType(h) == FILE_TYPE_DISK && ::GetFileInformationByHandle(h, &info) &&
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        char chunk[4096];
        DWORD n = 0;
        while (text.size() < kMaxConfigBytes && ::ReadFile(h, chunk, sizeof chunk, &n, nullptr) &&
               n > 0) {
            text.append(chunk, n);
        }
    }
    ::CloseHandle(h);
    return text.substr(0, kMaxConfigBytes);
}

bool StoreFile(const std::string& folder, const std::string& name, const std::uint8_t* data,
               std::size_t size) {
    std::string dirPath = folder;
    while (dirPath.size() > 1 && (dirPath.back() == '/' || dirPath.back() == '\\')) {
        dirPath.pop_back();
    }
    // The folder must be a real folder: a junction or a link to one is not followed.
    const DWORD dirAttributes = ::GetFileAttributesA(dirPath.c_str());
    if (dirAttributes == INVALID_FILE_ATTRIBUTES ||
        (dirAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 || (dirAttributes & kReparse) != 0) {
        return false;
    }
    const std::string temp = dirPath + "\\." + name + ".part";
    const std::string target = dirPath + "\\" + name;
    ::DeleteFileA(temp.c_str());
    const HANDLE h = ::CreateFileA(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                   FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    bool ok = h != INVALID_HANDLE_VALUE;
    std::size_t written = 0;
    while (ok && written < size) {
        DWORD n = 0;
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(size - written, 1u << 20));
        ok = ::WriteFile(h, data + written, chunk, &n, nullptr) && n > 0;
        written += ok ? n : 0;
    }
    if (h != INVALID_HANDLE_VALUE) {
        ok = ::CloseHandle(h) && ok;
    }
    // A target that exists must be a plain file: a folder or a link is never replaced.
    const DWORD targetAttributes = ::GetFileAttributesA(target.c_str());
    if (ok && targetAttributes != INVALID_FILE_ATTRIBUTES) {
        ok = (targetAttributes & (FILE_ATTRIBUTE_DIRECTORY | kReparse)) == 0;
    }
    if (ok) {
        ok = ::MoveFileExA(temp.c_str(), target.c_str(),
                           MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
    }
    if (!ok && h != INVALID_HANDLE_VALUE) {
        ::DeleteFileA(temp.c_str());
    }
    return ok;
}

std::optional<std::vector<std::uint8_t>> ReadPcFile(const char* path) {
    // Opens a link itself rather than what it names, and then refuses it.
    const HANDLE h = ::CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        return std::nullopt;
    }
    std::optional<std::vector<std::uint8_t>> bytes;
    BY_HANDLE_FILE_INFORMATION info{};
    if (::GetFileType(h) == FILE_TYPE_DISK && ::GetFileInformationByHandle(h, &info) &&
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | kReparse)) == 0 &&
        info.nFileSizeHigh == 0 && info.nFileSizeLow < kMaxMessage - 1024) {
        std::vector<std::uint8_t> data(info.nFileSizeLow);
        std::size_t got = 0;
        while (got < data.size()) {
            DWORD n = 0;
            if (!::ReadFile(h, data.data() + got, static_cast<DWORD>(data.size() - got), &n,
                            nullptr) ||
                n == 0) {
                break;
            }
            got += n;
        }
        if (got == data.size()) {
            bytes = std::move(data);
        }
    }
    ::CloseHandle(h);
    return bytes;
}

}  // namespace kz::kevrosa::library

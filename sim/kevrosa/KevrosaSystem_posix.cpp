// libKevrosa on POSIX: sockets, poll() with a pipe to wake a wait, dladdr() for the library
// folder, and the files it reads and writes (openat/renameat, never through a link).
#include <arpa/inet.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "sim/kevrosa/KevrosaCard.h"
#include "sim/kevrosa/KevrosaSession.h"
#include "sim/kevrosa/KevrosaSystem.h"

namespace kz::kevrosa::library {

namespace {

int Fd(Socket s) {
    return static_cast<int>(s);
}

}  // namespace

bool StartSockets() {
    return true;
}

void StopSockets() {}

std::optional<std::uint32_t> ParseIPv4(const std::string& text) {
    in_addr in{};
    if (::inet_pton(AF_INET, text.c_str(), &in) != 1) {
        return std::nullopt;
    }
    return ntohl(in.s_addr);
}

// ---- Waker: a non-blocking pipe ----------------------------------------------------------

Waker::Waker() {
    int ends[2];
    if (::pipe(ends) != 0) {
        return;
    }
    for (int end : ends) {
        ::fcntl(end, F_SETFL, ::fcntl(end, F_GETFL) | O_NONBLOCK);
        ::fcntl(end, F_SETFD, FD_CLOEXEC);
    }
    m_watched = ends[0];
    m_other = ends[1];
}

Waker::~Waker() {
    for (Socket end : {m_watched, m_other}) {
        if (end != kNoSocket) {
            ::close(Fd(end));
        }
    }
}

void Waker::Wake() {
    if (m_other != kNoSocket) {
        const char byte = 1;
        [[maybe_unused]] const ssize_t n = ::write(Fd(m_other), &byte, 1);
    }
}

void Waker::Drain() {
    char drain[16];
    while (m_watched != kNoSocket && ::read(Fd(m_watched), drain, sizeof drain) > 0) {
    }
}

// ---- waits ---------------------------------------------------------------------------------

int WaitReady(Socket s, Readiness r, SystemClock::time_point deadline, Waker* waker,
              const std::function<bool()>& interrupted) {
    const Socket wakeEnd = waker != nullptr ? waker->Watched() : kNoSocket;
    const short events = r == Readiness::Read ? POLLIN : POLLOUT;
    for (;;) {
        pollfd p[2] = {{Fd(s), events, 0}, {Fd(wakeEnd), POLLIN, 0}};
        const int n = ::poll(p, wakeEnd != kNoSocket ? 2 : 1, MillisecondsUntil(deadline));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return -1;
        }
        if (n == 0) {
            return 0;
        }
        if (wakeEnd != kNoSocket && (p[1].revents & POLLIN) != 0) {
            if (interrupted()) {
                return -1;
            }
            waker->Drain();
            // A cancel whose byte was just drained has counted already.
            if (interrupted()) {
                return -1;
            }
        }
        if (p[0].revents != 0) {
            return 1;
        }
    }
}

int WaitReadable(Socket s, int ms) {
    pollfd p{Fd(s), POLLIN, 0};
    const int ready = ::poll(&p, 1, ms);
    if (ready < 0) {
        return errno == EINTR ? 1 : -1;
    }
    return ready;
}

// ---- connections ---------------------------------------------------------------------------

Socket ConnectTcp(std::uint32_t address, int port, std::chrono::milliseconds wait, Waker* waker,
                  const std::function<bool()>& interrupted, const KeepAlive& keep) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        return kNoSocket;
    }
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<std::uint16_t>(port));
    sa.sin_addr.s_addr = htonl(address);
    int rc = ::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    if (rc != 0 && errno == EINPROGRESS) {
        int err = 0;
        socklen_t len = sizeof err;
        if (WaitReady(fd, Readiness::Write, SystemClock::now() + wait, waker, interrupted) == 1 &&
            ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0) {
            rc = 0;
        }
    }
    if (rc != 0) {
        ::close(fd);
        return kNoSocket;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &keep.idleSeconds, sizeof keep.idleSeconds);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &keep.intervalSeconds,
                 sizeof keep.intervalSeconds);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &keep.count, sizeof keep.count);
    ::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &keep.userTimeoutMs, sizeof keep.userTimeoutMs);
    return fd;
}

std::ptrdiff_t SendNow(Socket s, const std::uint8_t* data, std::size_t count) {
    for (;;) {
        const ssize_t n = ::send(Fd(s), data, count, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            return n;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) ? 0 : -1;
    }
}

std::ptrdiff_t ReceiveNow(Socket s, std::uint8_t* data, std::size_t count) {
    for (;;) {
        const ssize_t n = ::recv(Fd(s), data, count, MSG_DONTWAIT);
        if (n > 0) {
            return n;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) ? 0 : -1;
    }
}

void ShutdownSocket(Socket s) {
    ::shutdown(Fd(s), SHUT_RDWR);
}

void CloseSocket(Socket s) {
    ::close(Fd(s));
}

// ---- files ---------------------------------------------------------------------------------

std::string LibraryFolder() {
    Dl_info info{};
    if (::dladdr(reinterpret_cast<void*>(&LibraryFolder), &info) == 0 ||
        info.dli_fname == nullptr) {
        return {};
    }
    const std::string library = info.dli_fname;
    const auto slash = library.rfind('/');
    return slash != std::string::npos ? library.substr(0, slash + 1) : std::string();
}

std::optional<std::string> Session::ReadConfigFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return std::nullopt;
    }
    std::string text;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        char chunk[4096];
        while (text.size() < kMaxConfigBytes) {
            const ssize_t n = ::read(fd, chunk, sizeof chunk);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                break;
            }
            text.append(chunk, static_cast<std::size_t>(n));
        }
    }
    ::close(fd);
    return text.substr(0, kMaxConfigBytes);
}

bool StoreFile(const std::string& folder, const std::string& name, const std::uint8_t* data,
               std::size_t size) {
    std::string dirPath = folder;
    while (dirPath.size() > 1 && dirPath.back() == '/') {
        dirPath.pop_back();
    }
    const int dir = ::open(dirPath.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dir < 0) {
        return false;
    }
    const std::string temp = "." + name + ".part";
    ::unlinkat(dir, temp.c_str(), 0);
    const int fd =
        ::openat(dir, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    bool ok = fd >= 0;
    std::size_t written = 0;
    while (ok && written < size) {
        const ssize_t n = ::write(fd, data + written, size - written);
        ok = n > 0;
        written += ok ? static_cast<std::size_t>(n) : 0;
    }
    if (fd >= 0) {
        ok = ::close(fd) == 0 && ok;
    }
    struct stat st {};
    // A target that exists must be a plain file: a folder or a link is never replaced.
    if (ok && ::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        ok = S_ISREG(st.st_mode);
    }
    if (ok) {
        ok = ::renameat(dir, temp.c_str(), dir, name.c_str()) == 0;
    }
    if (!ok && fd >= 0) {
        ::unlinkat(dir, temp.c_str(), 0);
    }
    ::close(dir);
    return ok;
}

std::optional<std::vector<std::uint8_t>> ReadPcFile(const char* path) {
    const int fd = ::open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return std::nullopt;
    }
    struct stat st {};
    std::optional<std::vector<std::uint8_t>> bytes;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
        static_cast<std::uint64_t>(st.st_size) < kMaxMessage - 1024) {
        std::vector<std::uint8_t> data(static_cast<std::size_t>(st.st_size));
        std::size_t got = 0;
        while (got < data.size()) {
            const ssize_t n = ::read(fd, data.data() + got, data.size() - got);
            if (n <= 0) {
                break;
            }
            got += static_cast<std::size_t>(n);
        }
        if (got == data.size()) {
            bytes = std::move(data);
        }
    }
    ::close(fd);
    return bytes;
}

}  // namespace kz::kevrosa::library

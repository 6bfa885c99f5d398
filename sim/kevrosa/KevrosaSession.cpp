// libKevrosa's sessions: connecting (with TCP keep-alive), sending requests and waiting for
// their acceptance, the reader thread and its answer wait, the cancel and the node search.
//
//   connect ─► Open ─► request: send ─► Ack (accepted / refused) ─► Done ─► callback
//                        │ no progress for kSyncWait: kCauseTimeout
//                        │ CancelMtoM meanwhile: kCauseCancelled
//                        └ accepted, silent for the answer wait: kCauseTimeout
#include "sim/kevrosa/KevrosaSession.h"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "sim/kevrosa/WireSocket.h"

namespace kz::kevrosa::library {

namespace {

// The answer wait of a new socket.
std::chrono::milliseconds AnswerWait() {
    const char* text = std::getenv(kAnswerWaitVariable);
    if (text != nullptr && *text != '\0') {
        char* end = nullptr;
        const unsigned long ms = std::strtoul(text, &end, 10);
        if (*end == '\0' && ms > 0 && ms <= 3600000) {
            return std::chrono::milliseconds(ms);
        }
    }
    return kAnswerWait;
}

// Text without the blanks around it.
std::string Trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// Waits until fd is ready for events, or until the deadline, or until wakeFd (-1: none)
// becomes readable and interrupted() says so (a stale wake-up is drained and waited past).
// 1 ready, 0 deadline, -1 interrupted or error.
int WaitReady(int fd, short events, Clock::time_point deadline, int wakeFd,
              const std::function<bool()>& interrupted) {
    for (;;) {
        pollfd p[2] = {{fd, events, 0}, {wakeFd, POLLIN, 0}};
        const int n = ::poll(p, wakeFd >= 0 ? 2 : 1, MillisecondsUntil(deadline));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return -1;
        }
        if (n == 0) {
            return 0;
        }
        if (wakeFd >= 0 && (p[1].revents & POLLIN) != 0) {
            if (interrupted()) {
                return -1;
            }
            char drain[16];
            while (::read(wakeFd, drain, sizeof drain) > 0) {
            }
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

// A TCP connection to e within wait; -1 on failure or when interrupted (see WaitReady).
int Connect(const Endpoint& e, std::chrono::milliseconds wait, int wakeFd,
            const std::function<bool()>& interrupted) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        return -1;
    }
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<std::uint16_t>(e.port));
    sa.sin_addr.s_addr = htonl(e.address);
    int rc = ::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    if (rc != 0 && errno == EINPROGRESS) {
        int err = 0;
        socklen_t len = sizeof err;
        if (WaitReady(fd, POLLOUT, Clock::now() + wait, wakeFd, interrupted) == 1 &&
            ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0) {
            rc = 0;
        }
    }
    if (rc != 0) {
        ::close(fd);
        return -1;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    // A panel that is switched off or cut off is found without waiting for the system's
    // hours-long defaults.
    ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &kKeepIdle, sizeof kKeepIdle);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &kKeepInterval, sizeof kKeepInterval);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &kKeepCount, sizeof kKeepCount);
    ::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &kUserTimeout, sizeof kUserTimeout);
    return fd;
}

// The same without a way to interrupt it (the node search's probes).
int Connect(const Endpoint& e, std::chrono::milliseconds wait) {
    return Connect(e, wait, -1, [] { return false; });
}

}  // namespace

int MillisecondsUntil(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    return static_cast<int>(std::clamp<std::int64_t>(left.count(), 0, INT_MAX));
}

std::optional<Endpoint> ParseEndpoint(const std::string& text) {
    const auto colon = text.find(':');
    const std::string host = Trimmed(text.substr(0, colon));
    in_addr in{};
    if (::inet_pton(AF_INET, host.c_str(), &in) != 1) {
        return std::nullopt;
    }
    Endpoint e;
    e.address = ntohl(in.s_addr);
    if (colon != std::string::npos) {
        const std::string port = Trimmed(text.substr(colon + 1));
        if (port.empty() || port.size() > 5 ||
            !std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; })) {
            return std::nullopt;
        }
        e.port = std::stoi(port);
        if (e.port < kz::lan::kMinNodePort || e.port > kz::lan::kMaxNodePort) {
            return std::nullopt;
        }
    }
    return e;
}

Session* SessionOf(MtoMSocket* s) {
    return s != nullptr ? reinterpret_cast<SocketRecord*>(s)->session : nullptr;
}

int Refuse(MtoMSocket* s, std::uint32_t cause) {
    if (s != nullptr) {
        kz::lan::SetErrorCode(s, cause);
    }
    return kFailure;
}

// ---- Session --------------------------------------------------------------------------------

Session::Session() : answerWait(AnswerWait()) {
    if (::pipe(wake) == 0) {
        for (int end : wake) {
            ::fcntl(end, F_SETFL, ::fcntl(end, F_GETFL) | O_NONBLOCK);
            ::fcntl(end, F_SETFD, FD_CLOEXEC);
        }
    } else {
        wake[0] = wake[1] = -1;
    }
}

Session::~Session() {
    for (int end : wake) {
        if (end >= 0) {
            ::close(end);
        }
    }
}

std::uint64_t Session::CancelMark() {
    std::lock_guard lock(mutex);
    return cancels;
}

std::function<bool()> Session::CancelledSince(std::uint64_t mark) {
    return [this, mark] {
        std::lock_guard lock(mutex);
        return cancels != mark;
    };
}

// ---- connection -------------------------------------------------------------------------

int Session::OpenConnection(const std::string& address, std::uint64_t mark) {
    CloseConnection();
    const auto endpoint = ParseEndpoint(address);
    if (!endpoint) {
        SetError(kCauseBadArgument);
        return kFailure;
    }
    const int connected = Connect(*endpoint, kConnectWait, wake[0], CancelledSince(mark));
    if (connected < 0) {
        SetError(CancelledSince(mark)() ? kCauseCancelled : kCauseConnection);
        return kFailure;
    }
    {
        std::lock_guard lock(mutex);
        fd = connected;
        dead = false;
        lastHeard = Clock::now();
    }
    reader = std::thread([this, connected] { ReadAnswers(connected); });
    return Submit(mark, nullptr, Op::Open, {}, nullptr);
}

void Session::CloseConnection() {
    int old;
    {
        std::lock_guard lock(mutex);
        old = fd;
    }
    if (old >= 0) {
        ::shutdown(old, SHUT_RDWR);
    }
    if (reader.joinable()) {
        reader.join();
    }
    std::lock_guard lock(mutex);
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
    outstanding.reset();
    awaitingAck.clear();
}

void Session::JoinWorker() {
    if (worker.joinable()) {
        worker.join();
    }
}

int Session::RunLocal(MtoMCallback cb, std::uint64_t mark, std::function<int()> work) {
    if (cb == nullptr) {
        return work();
    }
    JoinWorker();
    worker = std::thread([this, cb, mark, work = std::move(work)] {
        const int result = work();
        if (!CancelledSince(mark)()) {
            cb(socket, result == 0 ? 0 : kFailure);
        }
    });
    return kz::lan::kResultAccepted;
}

// ---- requests ---------------------------------------------------------------------------

int Session::Submit(MtoMCallback cb, Op op, const std::vector<std::uint8_t>& payload,
                    Completion complete) {
    return Submit(CancelMark(), cb, op, payload, std::move(complete));
}

int Session::Submit(std::uint64_t mark, MtoMCallback cb, Op op,
                    const std::vector<std::uint8_t>& payload, Completion complete) {
    auto p = std::make_shared<Pending>();
    p->cb = cb;
    p->complete = std::move(complete);
    int target;
    {
        std::lock_guard lock(mutex);
        if (cancels != mark) {
            SetError(kCauseCancelled);
            return kFailure;
        }
        if (fd < 0 || dead) {
            SetError(kCauseConnection);
            return kFailure;
        }
        if (outstanding) {
            SetError(kCauseBusy);
            return kFailure;
        }
        p->seq = nextSeq++;
        outstanding = p;
        awaitingAck[p->seq] = p;
        target = fd;
    }
    Writer w;
    w.U8(static_cast<std::uint8_t>(op)).U32(p->seq);
    w.bytes.insert(w.bytes.end(), payload.begin(), payload.end());
    std::uint32_t sendFailure;
    {
        std::lock_guard lock(sendMutex);
        sendFailure = SendWatched(target, Frame(w.bytes), mark);
    }
    std::unique_lock lock(mutex);
    if (sendFailure != 0) {
        Forget(p);
        SetError(sendFailure);
        return kFailure;
    }
    const auto cancelled = [&] { return cancels != mark; };
    if (!changed.wait_for(lock, kSyncWait, [&] { return p->acked || cancelled(); }) || !p->acked) {
        Forget(p);
        SetError(cancelled() ? kCauseCancelled : kCauseTimeout);
        return kFailure;
    }
    if (!p->accepted) {
        SetError(p->cause);
        return kFailure;
    }
    if (cb != nullptr) {
        return kz::lan::kResultAccepted;
    }
    if (!changed.wait_for(lock, kSyncWait, [&] { return p->done || cancelled(); }) || !p->done) {
        Forget(p);
        SetError(cancelled() ? kCauseCancelled : kCauseTimeout);
        return kFailure;
    }
    if (p->cause != 0) {
        SetError(p->cause);
        return kFailure;
    }
    return kz::lan::kResultSuccess;
}

std::uint32_t Session::SendWatched(int target, const std::vector<std::uint8_t>& frame,
                                   std::uint64_t mark) {
    const std::uint8_t* data = frame.data();
    std::size_t count = frame.size();
    const auto interrupted = CancelledSince(mark);
    while (count > 0) {
        const ssize_t n = ::send(target, data, count, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            data += n;
            count -= static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            const int ready =
                WaitReady(target, POLLOUT, Clock::now() + kSyncWait, wake[0], interrupted);
            if (ready == 1) {
                continue;
            }
            if (ready == 0) {
                return kCauseTimeout;
            }
            return interrupted() ? kCauseCancelled : kCauseConnection;
        }
        return kCauseConnection;
    }
    return 0;
}

void Session::Forget(const std::shared_ptr<Pending>& p) {
    if (outstanding == p) {
        outstanding.reset();
    }
    awaitingAck.erase(p->seq);
}

void Session::Cancel() {
    {
        std::lock_guard lock(mutex);
        ++cancels;
        if (outstanding) {
            outstanding->done = true;
            outstanding->cause = kCauseCancelled;
            outstanding.reset();
        }
        changed.notify_all();
    }
    if (wake[1] >= 0) {
        const char byte = 1;
        [[maybe_unused]] const ssize_t n = ::write(wake[1], &byte, 1);
    }
}

// ---- answers ----------------------------------------------------------------------------

int Session::AnswerTimeLeft() const {
    if (!outstanding || !outstanding->acked || !outstanding->accepted || outstanding->done) {
        return -1;
    }
    return MillisecondsUntil(lastHeard + answerWait);
}

void Session::ExpireSilentRequest() {
    std::unique_lock lock(mutex);
    if (AnswerTimeLeft() != 0) {
        return;
    }
    auto p = std::move(outstanding);
    outstanding.reset();
    p->done = true;
    p->cause = kCauseTimeout;
    changed.notify_all();
    if (p->cb != nullptr) {
        SetError(kCauseTimeout);
        lock.unlock();
        p->cb(socket, kFailure);
    }
}

bool Session::ReceiveWatched(int connection, std::uint8_t* data, std::size_t count) {
    while (count > 0) {
        const ssize_t n = ::recv(connection, data, count, MSG_DONTWAIT);
        if (n > 0) {
            std::lock_guard lock(mutex);
            lastHeard = Clock::now();
            data += n;
            count -= static_cast<std::size_t>(n);
            continue;
        }
        if (n == 0 || (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)) {
            return false;
        }
        if (errno == EINTR) {
            continue;
        }
        int left;
        {
            std::lock_guard lock(mutex);
            left = AnswerTimeLeft();
        }
        pollfd p{connection, POLLIN, 0};
        const int ready = ::poll(&p, 1, left);
        if (ready == 0) {
            ExpireSilentRequest();
        } else if (ready < 0 && errno != EINTR) {
            return false;
        }
    }
    return true;
}

bool Session::ReceiveAnswer(int connection, std::vector<std::uint8_t>& body) {
    std::uint8_t length[4];
    if (!ReceiveWatched(connection, length, sizeof length)) {
        return false;
    }
    const std::uint32_t n = Reader(length, 4).U32();
    if (n > kMaxMessage) {
        return false;
    }
    body.resize(n);
    return ReceiveWatched(connection, body.data(), n);
}

void Session::ReadAnswers(int connection) {
    std::vector<std::uint8_t> body;
    while (ReceiveAnswer(connection, body)) {
        Reader r(body.data(), body.size());
        const auto kind = static_cast<Kind>(r.U8());
        const std::uint32_t seq = r.U32();
        std::unique_lock lock(mutex);
        if (kind == Kind::Ack) {
            auto it = awaitingAck.find(seq);
            if (it == awaitingAck.end()) {
                continue;
            }
            auto p = it->second;
            awaitingAck.erase(it);
            p->acked = true;
            p->accepted = r.U8() == 1;
            if (!p->accepted) {
                p->cause = r.U32();
                p->done = true;
                if (outstanding == p) {
                    outstanding.reset();
                }
            }
            changed.notify_all();
        } else if (kind == Kind::Done && outstanding && outstanding->seq == seq) {
            auto p = outstanding;
            outstanding.reset();
            std::uint32_t cause = r.U32();
            if (cause == 0 && !r.Failed() && p->complete) {
                cause = p->complete(r);
            }
            if (r.Failed() && cause == 0) {
                cause = kCauseBadAnswer;
            }
            p->cause = cause;
            p->done = true;
            changed.notify_all();
            if (p->cb != nullptr) {
                if (cause != 0) {
                    SetError(cause);
                }
                lock.unlock();
                p->cb(socket, cause == 0 ? 0 : kFailure);
            }
        }
    }
    std::shared_ptr<Pending> lost;
    {
        std::lock_guard lock(mutex);
        dead = true;
        lost = std::move(outstanding);
        outstanding.reset();
        bool callback = false;
        if (lost && !lost->done) {
            lost->done = true;
            lost->cause = kCauseConnection;
            callback = lost->acked && lost->accepted && lost->cb != nullptr;
        }
        for (auto& [seq, p] : awaitingAck) {
            p->acked = true;
            // A request whose completion already reached its callback stays accepted, so
            // its caller does not see a refusal after the result.
            p->accepted = p->done && p->cb != nullptr;
            if (!p->accepted) {
                p->cause = kCauseConnection;
                p->done = true;
            }
        }
        awaitingAck.clear();
        changed.notify_all();
        if (!callback) {
            return;
        }
        SetError(kCauseConnection);
    }
    lost->cb(socket, kFailure);
}

// ---- node search ------------------------------------------------------------------------

int Session::FindNodes(const std::optional<std::string>& target) {
    std::vector<Endpoint> endpoints;
    if (target) {
        const auto e = ParseEndpoint(*target);
        if (!e) {
            SetError(kCauseBadArgument);
            return kFailure;
        }
        endpoints.push_back(*e);
    } else {
        endpoints = ConfiguredEndpoints();
    }
    std::vector<Endpoint> found;
    for (const Endpoint& e : endpoints) {
        if (Probe(e)) {
            found.push_back(e);
        }
    }
    std::vector<unsigned char> table(kz::lan::kNodeTableEntries +
                                     found.size() * kz::lan::kNodeEntrySize);
    const auto count = static_cast<std::int32_t>(found.size());
    std::memcpy(table.data() + kz::lan::kNodeTableCount, &count, 4);
    for (std::size_t i = 0; i < found.size(); ++i) {
        unsigned char* entry =
            table.data() + kz::lan::kNodeTableEntries + i * kz::lan::kNodeEntrySize;
        const std::int32_t valid = 1;
        const std::int32_t word = found[i].port;
        std::memcpy(entry, &valid, 4);
        std::memcpy(entry + 4, &word, 4);
        std::memcpy(entry + 8, &found[i].address, 4);
    }
    std::lock_guard lock(mutex);
    nodeTable = std::move(table);
    kz::lan::WriteField<const unsigned char*>(socket, kz::lan::kOffsetNodeTable, nodeTable.data());
    return kz::lan::kResultSuccess;
}

std::vector<Endpoint> Session::ConfiguredEndpoints() {
    Dl_info info{};
    std::string path = kConfigFile;
    if (::dladdr(reinterpret_cast<void*>(&ParseEndpoint), &info) != 0 &&
        info.dli_fname != nullptr) {
        const std::string library = info.dli_fname;
        const auto slash = library.rfind('/');
        if (slash != std::string::npos) {
            path = library.substr(0, slash + 1) + kConfigFile;
        }
    }
    const std::optional<std::string> text = ReadConfigFile(path);
    if (!text) {
        return {Endpoint{0x7F000001, kz::lan::kDefaultPort}};
    }
    return ParseConfig(*text);
}

std::vector<Endpoint> Session::ParseConfig(const std::string& text) {
    std::vector<Endpoint> endpoints;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        line = line.substr(0, line.find('#'));
        line.erase(std::remove_if(line.begin(), line.end(),
                                  [](char c) { return c == ' ' || c == '\t' || c == '\r'; }),
                   line.end());
        if (auto e = ParseEndpoint(line)) {
            endpoints.push_back(*e);
        }
    }
    return endpoints;
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

bool Session::Probe(const Endpoint& e) {
    const int probe = Connect(e, kProbeWait);
    if (probe < 0) {
        return false;
    }
    Writer w;
    w.U8(static_cast<std::uint8_t>(Op::Probe)).U32(1);
    bool ok = SendMessage(probe, w.bytes);
    bool done = false;
    std::vector<std::uint8_t> body;
    while (ok && !done) {
        pollfd p{probe, POLLIN, 0};
        ok =
            ::poll(&p, 1, static_cast<int>(kProbeWait.count())) == 1 && ReceiveMessage(probe, body);
        if (ok) {
            Reader r(body.data(), body.size());
            const auto kind = static_cast<Kind>(r.U8());
            r.U32();
            const std::uint32_t value = kind == Kind::Ack ? r.U8() : r.U32();
            ok = !r.Failed() && (kind == Kind::Ack ? value == 1 : value == 0);
            done = kind == Kind::Done;
        }
    }
    ::close(probe);
    return ok && done;
}

}  // namespace kz::kevrosa::library

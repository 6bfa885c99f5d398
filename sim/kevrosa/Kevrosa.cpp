// libKevrosa: our LAN transfer library. It implements the library contract of
// lan/MtoMTypes.h over the TCP protocol of sim/kevrosa/KevrosaWire.h and exports the
// contract's functions under their plain C names; everything else is hidden.
//
// Per socket record one session: at most one connection, one reader thread that takes the
// panel's answers and runs the completion callbacks, and one worker thread for the requests
// that complete without the panel (open, node search) when they are given a callback.
//
//   caller                       reader thread
//   Submit: send request ----->  Ack   -> wakes the caller (accepted: 1, refused: 2)
//                                Done  -> fills the caller's buffers, sets m_dwErrorCode,
//                                         calls the callback (may come before the Ack)
//                                EOF   -> the outstanding request fails (kCauseConnection)
//
// Requests without a callback wait for their Done at most kSyncWait, and every request waits
// for its Ack at most kSyncWait. An accepted request with a callback fails with
// kCauseTimeout when the panel has sent nothing for the answer wait (kAnswerWait, or
// KEVROSA_ANSWER_WAIT_MS milliseconds from the environment when a socket is made) since
// its acceptance; a late answer is then dropped. Sending a request gives up after kSyncWait
// without progress. The connection uses TCP keep-alive (first probe after kKeepIdle of
// silence, then every kKeepInterval, kKeepCount unanswered probes end it) and unacknowledged
// data ends it after kUserTimeout, so a dead panel or link ends the outstanding request as
// a lost connection. A failure result is kFailure (2). The library keeps no state outside
// the socket records, so it can be unloaded and loaded again between sessions.
//
// Cancelling: CancelMtoM ends the outstanding request without a completion (cause
// kCauseCancelled), and it may come from another thread while a call of the same socket
// waits: the connect of an open, the sending of a request, the wait for its Ack and a
// synchronous wait for its Done then end at once with a failure (kCauseCancelled), and an
// open running on the worker thread ends without calling its callback.
//
// Node search: MtoMFS_FindNode probes the one target given ("a.b.c.d[:port]") or else every
// endpoint listed in kConfigFile beside the library file, one "a.b.c.d[:port]" per line
// ("#" starts a comment); without that file it probes 127.0.0.1:8000, and a kConfigFile that
// is not a regular file (a FIFO, a folder, a device) lists nothing. It connects only to
// those endpoints and never broadcasts. A node table entry's word is the port the node was
// found on, which the binding connects to; so that it can, an endpoint's port must lie in
// 1024 to 65535 (a line or target with another port is not probed). The socket's search
// fields (+1244, port, +1264) are accepted as they are and not used.
//
// Card reads: MtoMDLE_FileReadCard stores the files of the range only inside the folder it
// is given, each under prefix + five digits + the extension given, through a temporary file
// created exclusively and renamed. A file whose name from the panel is not its prefix, five
// digits in the range and an optional extension, or whose number came before, is left out
// and reported as lan/MtoMTypes.h describes (kNoticeNamesLeftOut); the others are stored. An
// answer that is malformed as a whole fails the request (kCauseBadAnswer) before anything is
// written. Card writes read only a regular PC file, never through a link, and never wait
// for a FIFO's writer.
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
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "lan/MtoMTypes.h"
#include "sim/kevrosa/KevrosaWire.h"
#include "sim/kevrosa/WireSocket.h"

#define KEVROSA_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

using namespace kz::kevrosa;
using kz::lan::MtoMCallback;
using kz::lan::MtoMSocket;

constexpr int kFailure = 2;
constexpr const char* kConfigFile = "Kevrosa.conf";
constexpr auto kSyncWait = std::chrono::seconds(10);
constexpr auto kAnswerWait = std::chrono::seconds(60);
constexpr const char* kAnswerWaitVariable = "KEVROSA_ANSWER_WAIT_MS";
constexpr auto kConnectWait = std::chrono::milliseconds(2000);
constexpr auto kProbeWait = std::chrono::milliseconds(1000);
constexpr int kKeepIdle = 5;      // seconds
constexpr int kKeepInterval = 2;  // seconds
constexpr int kKeepCount = 3;
constexpr int kUserTimeout = 20000;  // milliseconds
constexpr std::size_t kMaxText = 1024;
constexpr std::size_t kMaxConfigBytes = 64 * 1024;

using Clock = std::chrono::steady_clock;

// Milliseconds from now until deadline for poll(): at least 0, rounded up, at most INT_MAX.
int MillisecondsUntil(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    return static_cast<int>(std::clamp<std::int64_t>(left.count(), 0, INT_MAX));
}

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

struct Endpoint {
    std::uint32_t address = 0;  // host order: first octet in the top byte
    int port = kz::lan::kDefaultPort;
};

// Text without the blanks around it.
std::string Trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// "a.b.c.d" or "a.b.c.d:port" (port 1024 to 65535); blanks around either part are allowed,
// so the search target "a.b.c.d : port" of the node search reads too.
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

// Parses a Done payload and fills the caller's buffers; returns the cause (0: success).
using Completion = std::function<std::uint32_t(Reader&)>;

struct Pending {
    std::uint32_t seq = 0;
    MtoMCallback cb = nullptr;
    Completion complete;
    bool acked = false;
    bool accepted = false;
    bool done = false;
    std::uint32_t cause = 0;
};

struct Session;

// What CreateMtoMSocket hands out: the contract's record followed by our session.
struct SocketRecord {
    unsigned char bytes[kz::lan::kSocketRecordSize];
    Session* session;
};

struct Session {
    Session() : answerWait(AnswerWait()) {
        if (::pipe(wake) == 0) {
            for (int end : wake) {
                ::fcntl(end, F_SETFL, ::fcntl(end, F_GETFL) | O_NONBLOCK);
                ::fcntl(end, F_SETFD, FD_CLOEXEC);
            }
        } else {
            wake[0] = wake[1] = -1;
        }
    }
    ~Session() {
        for (int end : wake) {
            if (end >= 0) {
                ::close(end);
            }
        }
    }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    MtoMSocket* socket = nullptr;
    std::mutex mutex;
    std::condition_variable changed;
    int fd = -1;
    bool dead = false;
    std::thread reader;
    std::shared_ptr<Pending> outstanding;
    std::map<std::uint32_t, std::shared_ptr<Pending>> awaitingAck;
    std::uint32_t nextSeq = 1;
    std::mutex sendMutex;
    std::thread worker;
    std::vector<unsigned char> nodeTable;
    std::uint32_t transitionType = 0;
    // CancelMtoM calls so far; a waiting call compares it with the count it began with.
    std::uint64_t cancels = 0;
    // A byte is written to wake[1] by each CancelMtoM, for the waits that poll a descriptor.
    int wake[2] = {-1, -1};
    const std::chrono::milliseconds answerWait;
    Clock::time_point lastHeard;  // when the panel last sent anything

    void SetError(std::uint32_t cause) { kz::lan::SetErrorCode(socket, cause); }

    std::uint64_t CancelMark() {
        std::lock_guard lock(mutex);
        return cancels;
    }
    // For the waits on a descriptor: true when CancelMtoM came after mark.
    std::function<bool()> CancelledSince(std::uint64_t mark) {
        return [this, mark] {
            std::lock_guard lock(mutex);
            return cancels != mark;
        };
    }

    // --- connection ---------------------------------------------------------------------

    int OpenConnection(const std::string& address, std::uint64_t mark) {
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

    void CloseConnection() {
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

    void JoinWorker() {
        if (worker.joinable()) {
            worker.join();
        }
    }

    // A request that completes without the panel: at once without a callback, else on the
    // worker thread through the callback (none when CancelMtoM came meanwhile).
    int RunLocal(MtoMCallback cb, std::uint64_t mark, std::function<int()> work) {
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

    // --- requests -----------------------------------------------------------------------

    int Submit(MtoMCallback cb, Op op, const std::vector<std::uint8_t>& payload,
               Completion complete) {
        return Submit(CancelMark(), cb, op, payload, std::move(complete));
    }

    // mark: the cancel count when the caller's call began; a CancelMtoM after it ends the
    // waits below.
    int Submit(std::uint64_t mark, MtoMCallback cb, Op op, const std::vector<std::uint8_t>& payload,
               Completion complete) {
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
        if (!changed.wait_for(lock, kSyncWait, [&] { return p->acked || cancelled(); }) ||
            !p->acked) {
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
        if (!changed.wait_for(lock, kSyncWait, [&] { return p->done || cancelled(); }) ||
            !p->done) {
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

    // Sends every byte of frame; 0, or the cause of the failure: the connection failed, no
    // byte could be sent for kSyncWait (kCauseTimeout), or CancelMtoM came after mark.
    std::uint32_t SendWatched(int target, const std::vector<std::uint8_t>& frame,
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

    // Gives up a request; its late answers are dropped. Caller holds the mutex.
    void Forget(const std::shared_ptr<Pending>& p) {
        if (outstanding == p) {
            outstanding.reset();
        }
        awaitingAck.erase(p->seq);
    }

    void Cancel() {
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

    // --- answers ------------------------------------------------------------------------

    // The time left for the outstanding request's answer; -1 when no accepted request
    // waits for one. Caller holds the mutex.
    int AnswerTimeLeft() const {
        if (!outstanding || !outstanding->acked || !outstanding->accepted || outstanding->done) {
            return -1;
        }
        return MillisecondsUntil(lastHeard + answerWait);
    }

    // Fails the outstanding request when its answer wait is over.
    void ExpireSilentRequest() {
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

    // Reads exactly count bytes; false at the end of the stream or on an error. While it
    // waits, an outstanding request whose answer wait is over fails, and the reading goes on
    // (what still comes for it is dropped).
    bool ReceiveWatched(int connection, std::uint8_t* data, std::size_t count) {
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

    // One message body; false at the end of the stream, on an error or for a length above
    // kMaxMessage.
    bool ReceiveAnswer(int connection, std::vector<std::uint8_t>& body) {
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

    // The reader thread: answers until the connection ends.
    void ReadAnswers(int connection) {
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

    // --- node search --------------------------------------------------------------------

    int FindNodes(const std::optional<std::string>& target) {
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
        kz::lan::WriteField<const unsigned char*>(socket, kz::lan::kOffsetNodeTable,
                                                  nodeTable.data());
        return kz::lan::kResultSuccess;
    }

    static std::vector<Endpoint> ConfiguredEndpoints() {
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
        std::vector<Endpoint> endpoints;
        std::istringstream in(*text);
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

    // The text of the node list at path, at most kMaxConfigBytes of it; nullopt when there
    // is no such file (or it cannot be opened). Only a regular file is read: opening does
    // not wait for a FIFO's writer, and anything else reads as an empty list.
    static std::optional<std::string> ReadConfigFile(const std::string& path) {
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

    // True when a panel answers a probe at e.
    static bool Probe(const Endpoint& e) {
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
            ok = ::poll(&p, 1, static_cast<int>(kProbeWait.count())) == 1 &&
                 ReceiveMessage(probe, body);
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
};

Session* SessionOf(MtoMSocket* s) {
    return s != nullptr ? reinterpret_cast<SocketRecord*>(s)->session : nullptr;
}

std::vector<std::uint8_t> Bytes(const void* data, std::size_t count) {
    Writer w;
    w.Bytes(data, count);
    return std::move(w.bytes);
}

// Copies a text into dest with a terminating NUL, at most kMaxText characters.
void CopyText(Reader& r, unsigned char* dest) {
    const std::size_t n = std::min(r.Remaining(), kMaxText);
    const std::uint8_t* text = r.Take(n);
    std::memcpy(dest, text, n);
    dest[n] = 0;
}

std::string PrefixText(std::uint32_t prefix) {
    const char a = static_cast<char>(prefix & 0xFF);
    const char b = static_cast<char>((prefix >> 8) & 0xFF);
    // Card prefixes are upper-case letters and digits ("ZI", "Z4").
    const auto upper = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); };
    if ((prefix >> 16) != 0 || !upper(a) || !upper(b)) {
        return {};
    }
    return std::string{a, b};
}

bool IsPlainExtension(const std::string& ext) {
    return ext.size() >= 2 && ext.size() <= 9 && ext[0] == '.' &&
           std::all_of(ext.begin() + 1, ext.end(),
                       [](char c) { return std::isalnum(static_cast<unsigned char>(c)); });
}

// The number of a card file name from the panel: prefix, five digits, and nothing or an
// extension of letters and digits; -1 for any other name.
long CardNumber(const std::string& name, const std::string& prefix) {
    if (name.size() < 7 || name.compare(0, 2, prefix) != 0) {
        return -1;
    }
    long number = 0;
    for (std::size_t i = 2; i < 7; ++i) {
        if (name[i] < '0' || name[i] > '9') {
            return -1;
        }
        number = number * 10 + (name[i] - '0');
    }
    const std::string rest = name.substr(7);
    if (!rest.empty() && !IsPlainExtension(rest)) {
        return -1;
    }
    return number;
}

// Writes bytes as folder/name through an exclusive temporary file and a rename; neither the
// folder nor the target is followed through a symbolic link.
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

// The whole plain file at path (never through a link); nullopt when it cannot be read.
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

// Reports the names a card read left out: the notice in m_dwErrorCode, then the header and
// as many names as fit in the list after the stored files' entries.
void ReportLeftOut(MtoMSocket* s, kz::lan::KzFileList* list, std::size_t room, std::size_t stored,
                   const std::vector<std::string>& names, std::uint32_t total) {
    kz::lan::SetErrorCode(s, kz::lan::kNoticeNamesLeftOut);
    if (list == nullptr || stored >= room) {
        return;
    }
    const std::size_t shown = std::min(names.size(), room - stored - 1);
    kz::lan::KzLeftOutHeader header;
    header.mark = kz::lan::kNoticeNamesLeftOut;
    header.total = total;
    header.shown = static_cast<std::uint32_t>(shown);
    std::memcpy(list[stored].bytes, &header, sizeof header);
    for (std::size_t i = 0; i < shown; ++i) {
        list[stored + 1 + i] = kz::lan::EncodeLeftOutName(names[i]);
    }
}

int Refuse(MtoMSocket* s, std::uint32_t cause) {
    if (s != nullptr) {
        kz::lan::SetErrorCode(s, cause);
    }
    return kFailure;
}

}  // namespace

// --- exported functions -------------------------------------------------------------------

KEVROSA_EXPORT MtoMSocket* KZ_MTOM_CALL CreateMtoMSocket(std::uint32_t /*kind*/) {
    auto* record = new (std::nothrow) SocketRecord{};
    if (record == nullptr) {
        return nullptr;
    }
    record->session = new (std::nothrow) Session;
    if (record->session == nullptr) {
        delete record;
        return nullptr;
    }
    record->session->socket = reinterpret_cast<MtoMSocket*>(record);
    return record->session->socket;
}

KEVROSA_EXPORT int KZ_MTOM_CALL OpenMtoMLAN(MtoMSocket* s, MtoMCallback cb, const char* address) {
    Session* session = SessionOf(s);
    if (session == nullptr) {
        return kFailure;
    }
    // A cancel from now on ends the open, wherever it has got to.
    const std::uint64_t mark = session->CancelMark();
    if (address == nullptr) {
        // Opened for a node search: nothing to connect to yet.
        return session->RunLocal(cb, mark, [] { return 0; });
    }
    return session->RunLocal(cb, mark, [session, mark, text = std::string(address)] {
        return session->OpenConnection(text, mark);
    });
}

KEVROSA_EXPORT int KZ_MTOM_CALL CloseMtoM(MtoMSocket* s, MtoMCallback /*cb*/) {
    Session* session = SessionOf(s);
    if (session == nullptr) {
        return kFailure;
    }
    // Closing completes at once, with or without a callback.
    session->JoinWorker();
    session->CloseConnection();
    return kz::lan::kResultSuccess;
}

KEVROSA_EXPORT int KZ_MTOM_CALL FreeMtoMSocket(MtoMSocket* s) {
    Session* session = SessionOf(s);
    if (session == nullptr) {
        return kFailure;
    }
    session->JoinWorker();
    session->CloseConnection();
    delete session;
    delete reinterpret_cast<SocketRecord*>(s);
    return kz::lan::kResultSuccess;
}

KEVROSA_EXPORT int KZ_MTOM_CALL CancelMtoM(MtoMSocket* s) {
    Session* session = SessionOf(s);
    if (session == nullptr) {
        return kFailure;
    }
    session->Cancel();
    return kz::lan::kResultSuccess;
}

KEVROSA_EXPORT std::uint32_t KZ_MTOM_CALL SetTransitionType(MtoMSocket* s, std::uint32_t type) {
    Session* session = SessionOf(s);
    if (session == nullptr) {
        return 0;
    }
    std::lock_guard lock(session->mutex);
    const std::uint32_t old = session->transitionType;
    session->transitionType = type;
    return old;
}

KEVROSA_EXPORT int KZ_MTOM_CALL MtoMFS_FindNode(MtoMSocket* s, MtoMCallback cb,
                                                const char* target) {
    Session* session = SessionOf(s);
    if (session == nullptr) {
        return kFailure;
    }
    std::optional<std::string> text;
    if (target != nullptr && *target != '\0') {
        text = target;
    }
    return session->RunLocal(cb, session->CancelMark(),
                             [session, text] { return session->FindNodes(text); });
}

KEVROSA_EXPORT int KZ_MTOM_CALL MtoMDLE_Communication(MtoMSocket* s, MtoMCallback cb) {
    Session* session = SessionOf(s);
    return session != nullptr ? session->Submit(cb, Op::Begin, {}, nullptr) : kFailure;
}

KEVROSA_EXPORT int KZ_MTOM_CALL MtoMDLE_Quit(MtoMSocket* s, MtoMCallback cb) {
    Session* session = SessionOf(s);
    return session != nullptr ? session->Submit(cb, Op::Quit, {}, nullptr) : kFailure;
}

KEVROSA_EXPORT int KZ_MTOM_CALL MtoMDLE_Bel(MtoMSocket* s, MtoMCallback cb, std::uint16_t code,
                                            void* request, void* answer) {
    Session* session = SessionOf(s);
    if (session == nullptr) {
        return kFailure;
    }
    std::uint32_t words[2] = {};
    if (request != nullptr) {
        std::memcpy(words, request, sizeof words);
    }
    if (code != kz::lan::kBelIdentity || answer == nullptr || words[0] != kz::lan::kBelRequest[0] ||
        words[1] != kz::lan::kBelRequest[1]) {
        return Refuse(s, kCauseBadArgument);
    }
    auto* area = static_cast<unsigned char*>(answer);
    return session->Submit(cb, Op::Identity, {}, [area](Reader& r) -> std::uint32_t {
        const std::uint32_t core = r.U32();
        if (r.Failed()) {
            return kCauseBadAnswer;
        }
        std::memset(area, 0, kz::lan::kBelTextOffset);
        std::memcpy(area + kz::lan::kBelCoreIdOffset, &core, sizeof core);
        CopyText(r, area + kz::lan::kBelTextOffset);
        return 0;
    });
}

KEVROSA_EXPORT int KZ_MTOM_CALL MtoMDLE_DownloadingSystemDownloaderFile(MtoMSocket* s,
                                                                        MtoMCallback cb,
                                                                        std::uint32_t address,
                                                                        std::uint32_t size,
                                                                        std::uint8_t* bytes) {
    Session* session = SessionOf(s);
    if (session == nullptr) {
        return kFailure;
    }
    if ((bytes == nullptr && size != 0) || size > kMaxMessage - 1024) {
        return Refuse(s, kCauseBadArgument);
    }
    Writer w;
    w.U32(address).Bytes(bytes, size);
    return session->Submit(cb, Op::LoaderDownload, w.bytes, nullptr);
}

KEVROSA_EXPORT int KZ_MTOM_CALL MtoMDLE_InvokingTheDownloadedObject(MtoMSocket* s, MtoMCallback cb,
                                                                    std::uint32_t address) {
    Session* session = SessionOf(s);
    if (session == nullptr) {
        return kFailure;
    }
    Writer w;
    w.U32(address);
    return session->Submit(cb, Op::LoaderStart, w.bytes, nullptr);
}

KEVROSA_EXPORT int KZ_MTOM_CALL MtoMDLE_ExtendProgramDownloading(MtoMSocket* s, MtoMCallback cb,
                                                                 std::uint8_t kind,
                                                                 std::uint16_t block,
                                                                 std::uint32_t size,
                                                                 std::uint8_t* bytes) {
    Session* session = SessionOf(s);
    if (session == nullptr) {
        return kFailure;
    }
    if ((bytes == nullptr && size != 0) || size > kMaxMessage - 1024) {
        return Refuse(s, kCauseBadArgument);
    }
    Writer w;
    w.U8(kind).U16(block).Bytes(bytes, size);
    return session->Submit(cb, Op::Extension, w.bytes, nullptr);
}

KEVROSA_EXPORT int KZ_MTOM_CALL MtoMDLE_ColdRest(MtoMSocket* s, MtoMCallback cb) {
    Session* session = SessionOf(s);
    return session != nullptr ? session->Submit(cb, Op::ColdRestart, {}, nullptr) : kFailure;
}

KEVROSA_EXPORT int KZ_MTOM_CALL MtoMDLE_DownloadingMaintenanceTool(MtoMSocket* s, MtoMCallback cb,
                                                                   std::uint32_t address,
                                                                   std::uint32_t size,
                                                                   std::uint8_t* bytes) {
    Session* session = SessionOf(s);
    if (session == nullptr) {
        return kFailure;
    }
    if (size > kMaxTransfer || (bytes == nullptr && size != 0)) {
        return Refuse(s, kCauseBadArgument);
    }
    Writer w;
    w.U32(address).Bytes(bytes, size);
    return session->Submit(cb, Op::Write, w.bytes, nullptr);
}

KEVROSA_EXPORT int KZ_MTOM_CALL MtoMDLE_UploadingMaintenanceTool(MtoMSocket* s, MtoMCallback cb,
                                                                 std::uint32_t address,
                                                                 std::uint32_t size,
                                                                 std::uint8_t* bytes) {
    Session* session = SessionOf(s);
    if (session == nullptr) {
        return kFailure;
    }
    if (size > kMaxTransfer || (bytes == nullptr && size != 0)) {
        return Refuse(s, kCauseBadArgument);
    }
    Writer w;
    w.U32(address).U32(size);
    return session->Submit(cb, Op::Read, w.bytes, [bytes, size](Reader& r) -> std::uint32_t {
        if (r.Remaining() != size) {
            return kCauseBadAnswer;
        }
        std::memcpy(bytes, r.Take(size), size);
        return 0;
    });
}

KEVROSA_EXPORT int KZ_MTOM_CALL MtoMDLE_Read_Hard_Data(MtoMSocket* s, MtoMCallback cb,
                                                       std::uint8_t* buffer) {
    Session* session = SessionOf(s);
    if (session == nullptr) {
        return kFailure;
    }
    if (buffer == nullptr) {
        return Refuse(s, kCauseBadArgument);
    }
    return session->Submit(cb, Op::HardData, {}, [buffer](Reader& r) -> std::uint32_t {
        CopyText(r, buffer);
        return 0;
    });
}

KEVROSA_EXPORT int KZ_MTOM_CALL MtoMDLE_Support(MtoMSocket* s, MtoMCallback cb,
                                                std::uint8_t* name) {
    Session* session = SessionOf(s);
    if (session == nullptr) {
        return kFailure;
    }
    if (name == nullptr) {
        return Refuse(s, kCauseBadArgument);
    }
    const std::size_t length = ::strnlen(reinterpret_cast<const char*>(name), 64);
    return session->Submit(cb, Op::Support, Bytes(name, length), nullptr);
}

KEVROSA_EXPORT int KZ_MTOM_CALL MtoMDLE_List(MtoMSocket* s, MtoMCallback cb,
                                             kz::lan::KzFileLimit* limit, int* count,
                                             kz::lan::KzFileList* /*list*/,
                                             std::uint8_t* /*bytes*/) {
    Session* session = SessionOf(s);
    if (session == nullptr) {
        return kFailure;
    }
    // Only the password query is served.
    const auto& q = kz::lan::kPasswordQueryLimit;
    if (limit == nullptr || count == nullptr || limit->prefix != q.prefix ||
        limit->first != q.first || limit->last != q.last) {
        return Refuse(s, kCauseBadArgument);
    }
    return session->Submit(cb, Op::PasswordQuery, {}, [count](Reader& r) -> std::uint32_t {
        *count = r.U8() != 0 ? 1 : 0;
        return 0;
    });
}

KEVROSA_EXPORT int KZ_MTOM_CALL MtoMDLE_Password(MtoMSocket* s, MtoMCallback cb, char* code,
                                                 std::uint32_t* result) {
    Session* session = SessionOf(s);
    if (session == nullptr) {
        return kFailure;
    }
    if (code == nullptr || result == nullptr) {
        return Refuse(s, kCauseBadArgument);
    }
    *result = 1;
    return session->Submit(cb, Op::Password, Bytes(code, kz::lan::kPasswordCodeSize),
                           [result](Reader&) -> std::uint32_t {
                               *result = 0;
                               return 0;
                           });
}

KEVROSA_EXPORT int KZ_MTOM_CALL MtoMDLE_FileReadCard(MtoMSocket* s, MtoMCallback cb,
                                                     kz::lan::KzFileLimit* range, int* count,
                                                     kz::lan::KzFileList* list, const char* folder,
                                                     const char* /*name*/, const char* extension) {
    Session* session = SessionOf(s);
    if (session == nullptr) {
        return kFailure;
    }
    if (range == nullptr || count == nullptr || folder == nullptr || *folder == '\0' ||
        extension == nullptr) {
        return Refuse(s, kCauseBadArgument);
    }
    const std::string prefix = PrefixText(range->prefix);
    const std::string ext = extension;
    if (prefix.empty() || !IsPlainExtension(ext) || range->first < 0 || range->last > 99999 ||
        range->first > range->last) {
        return Refuse(s, kCauseBadArgument);
    }
    const long first = range->first;
    const long last = range->last;
    // The caller's list has room for one entry per number of the range.
    const std::size_t room = static_cast<std::size_t>(last - first + 1);
    Writer w;
    w.U16(static_cast<std::uint16_t>(range->prefix)).U32(range->first).U32(range->last);
    *count = 0;
    return session->Submit(
        cb, Op::CfReadRange, w.bytes, [=, dir = std::string(folder)](Reader& r) -> std::uint32_t {
            struct File {
                long number;
                const std::uint8_t* data;
                std::uint32_t size;
            };
            std::vector<File> files;
            std::set<long> numbers;
            // Names that cannot be used are left out; the first of them are reported.
            std::vector<std::string> leftOut;
            std::uint32_t leftOutTotal = 0;
            const std::uint32_t n = r.U32();
            for (std::uint32_t i = 0; i < n && !r.Failed(); ++i) {
                const std::uint16_t nameLength = r.U16();
                const std::uint8_t* nameBytes = r.Take(nameLength);
                const std::uint32_t size = r.U32();
                const std::uint8_t* data = r.Take(size);
                if (r.Failed()) {
                    break;
                }
                const std::string name(reinterpret_cast<const char*>(nameBytes), nameLength);
                // Everything is checked before the first file is written.
                const long number = CardNumber(name, prefix);
                if (number < first || number > last || !numbers.insert(number).second) {
                    ++leftOutTotal;
                    if (leftOut.size() < room) {
                        leftOut.push_back(name.substr(0, 255));  // the length an entry can say
                    }
                    continue;
                }
                files.push_back({number, data, size});
            }
            if (r.Failed() || r.Remaining() != 0) {
                return kCauseBadAnswer;
            }
            int stored = 0;
            for (const File& f : files) {
                char name[16];
                std::snprintf(name, sizeof name, "%s%05ld", prefix.c_str(), f.number);
                if (!StoreFile(dir, name + ext, f.data, f.size)) {
                    *count = stored;
                    return kz::lan::kErrorPcFileWrite;
                }
                if (list != nullptr && static_cast<std::size_t>(stored) < room) {
                    const auto number = static_cast<std::int32_t>(f.number);
                    std::memcpy(list[stored].bytes, &number, 4);
                    std::memcpy(list[stored].bytes + 4, &f.size, 4);
                }
                ++stored;
            }
            *count = stored;
            if (leftOutTotal > 0) {
                ReportLeftOut(s, list, room, static_cast<std::size_t>(stored), leftOut,
                              leftOutTotal);
            }
            return 0;
        });
}

KEVROSA_EXPORT int KZ_MTOM_CALL MtoMDLE_FileWriteCard(MtoMSocket* s, MtoMCallback cb,
                                                      kz::lan::KzFileNo* file, const char* path) {
    Session* session = SessionOf(s);
    if (session == nullptr) {
        return kFailure;
    }
    if (file == nullptr || path == nullptr) {
        return Refuse(s, kCauseBadArgument);
    }
    const std::string prefix = PrefixText(file->prefix);
    if (prefix.empty() || file->number < 0 || file->number > 99999) {
        return Refuse(s, kCauseBadArgument);
    }
    // The card file takes the PC file's extension.
    const std::string pathText = path;
    const auto slash = pathText.rfind('/');
    const auto dot = pathText.rfind('.');
    std::string ext;
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) {
        ext = pathText.substr(dot);
        std::transform(ext.begin(), ext.end(), ext.begin(),
                       [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    }
    if (!IsPlainExtension(ext)) {
        return Refuse(s, kCauseBadArgument);
    }
    const auto bytes = ReadPcFile(path);
    if (!bytes) {
        return Refuse(s, kCausePcFileRead);
    }
    char stem[16];
    std::snprintf(stem, sizeof stem, "%s%05d", prefix.c_str(), static_cast<int>(file->number));
    const std::string name = stem + ext;
    Writer w;
    w.U16(static_cast<std::uint16_t>(name.size())).Text(name).Bytes(bytes->data(), bytes->size());
    return session->Submit(cb, Op::CfWrite, w.bytes, nullptr);
}

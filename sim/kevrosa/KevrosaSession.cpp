// libKevrosa's sessions: connecting (with TCP keep-alive), sending requests and waiting for
// their acceptance, the reader thread and its answer wait, the cancel and the node search.
//
//   connect ─► Open ─► request: send ─► Ack (accepted / refused) ─► Done ─► callback
//                        │ no progress for kSyncWait: kCauseTimeout
//                        │ CancelMtoM meanwhile: kCauseCancelled
//                        └ accepted, silent for the answer wait: kCauseTimeout
#include "sim/kevrosa/KevrosaSession.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <sstream>

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

constexpr KeepAlive kKeepAlive{kKeepIdle, kKeepInterval, kKeepCount, kUserTimeout};

// A TCP connection to e within wait; kNoSocket on failure or when interrupted (see
// WaitReady).
Socket Connect(const Endpoint& e, std::chrono::milliseconds wait, Waker* waker,
               const std::function<bool()>& interrupted) {
    // A panel that is switched off or cut off is found without waiting for the system's
    // hours-long defaults.
    return ConnectTcp(e.address, e.port, wait, waker, interrupted, kKeepAlive);
}

// The same without a way to interrupt it (the node search's probes).
Socket Connect(const Endpoint& e, std::chrono::milliseconds wait) {
    return Connect(e, wait, nullptr, [] { return false; });
}

const std::function<bool()> kNeverInterrupted = [] { return false; };

// Sends every byte of body as one message before the deadline.
bool SendMessageBy(Socket s, const std::vector<std::uint8_t>& body, Clock::time_point deadline) {
    const std::vector<std::uint8_t> frame = Frame(body);
    const std::uint8_t* data = frame.data();
    std::size_t count = frame.size();
    while (count > 0) {
        const std::ptrdiff_t n = SendNow(s, data, count);
        if (n < 0) {
            return false;
        }
        if (n == 0) {
            if (WaitReady(s, Readiness::Write, deadline, nullptr, kNeverInterrupted) != 1) {
                return false;
            }
            continue;
        }
        data += n;
        count -= static_cast<std::size_t>(n);
    }
    return true;
}

// Reads exactly count bytes before the deadline.
bool ReceiveBy(Socket s, std::uint8_t* data, std::size_t count, Clock::time_point deadline) {
    while (count > 0) {
        const std::ptrdiff_t n = ReceiveNow(s, data, count);
        if (n < 0) {
            return false;
        }
        if (n == 0) {
            if (WaitReady(s, Readiness::Read, deadline, nullptr, kNeverInterrupted) != 1) {
                return false;
            }
            continue;
        }
        data += n;
        count -= static_cast<std::size_t>(n);
    }
    return true;
}

// Reads one message body before the deadline; false also for a length above kMaxMessage.
bool ReceiveMessageBy(Socket s, std::vector<std::uint8_t>& body, Clock::time_point deadline) {
    std::uint8_t length[4];
    if (!ReceiveBy(s, length, sizeof length, deadline)) {
        return false;
    }
    const std::uint32_t n = Reader(length, 4).U32();
    if (n > kMaxMessage) {
        return false;
    }
    body.resize(n);
    return ReceiveBy(s, body.data(), n, deadline);
}

}  // namespace

int MillisecondsUntil(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    return static_cast<int>(std::clamp<std::int64_t>(left.count(), 0, INT_MAX));
}

std::optional<Endpoint> ParseEndpoint(const std::string& text) {
    const auto colon = text.find(':');
    const std::string host = Trimmed(text.substr(0, colon));
    const std::optional<std::uint32_t> address = ParseIPv4(host);
    if (!address) {
        return std::nullopt;
    }
    Endpoint e;
    e.address = *address;
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

Session::Session() : socketsStarted(StartSockets()), answerWait(AnswerWait()) {}

Session::~Session() {
    if (socketsStarted) {
        StopSockets();
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
    const Socket connected = Connect(*endpoint, kConnectWait, &waker, CancelledSince(mark));
    if (connected == kNoSocket) {
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
    Socket old;
    {
        std::lock_guard lock(mutex);
        old = fd;
    }
    if (old != kNoSocket) {
        ShutdownSocket(old);
    }
    if (reader.joinable()) {
        reader.join();
    }
    std::lock_guard lock(mutex);
    if (fd != kNoSocket) {
        CloseSocket(fd);
        fd = kNoSocket;
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
    Socket target;
    {
        std::lock_guard lock(mutex);
        if (cancels != mark) {
            SetError(kCauseCancelled);
            return kFailure;
        }
        if (fd == kNoSocket || dead) {
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

std::uint32_t Session::SendWatched(Socket target, const std::vector<std::uint8_t>& frame,
                                   std::uint64_t mark) {
    const std::uint8_t* data = frame.data();
    std::size_t count = frame.size();
    const auto interrupted = CancelledSince(mark);
    while (count > 0) {
        const std::ptrdiff_t n = SendNow(target, data, count);
        if (n > 0) {
            data += n;
            count -= static_cast<std::size_t>(n);
            continue;
        }
        if (n == 0) {
            const int ready =
                WaitReady(target, Readiness::Write, Clock::now() + kSyncWait, &waker, interrupted);
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
    waker.Wake();
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

bool Session::ReceiveWatched(Socket connection, std::uint8_t* data, std::size_t count) {
    while (count > 0) {
        const std::ptrdiff_t n = ReceiveNow(connection, data, count);
        if (n > 0) {
            std::lock_guard lock(mutex);
            lastHeard = Clock::now();
            data += n;
            count -= static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0) {
            return false;
        }
        int left;
        {
            std::lock_guard lock(mutex);
            left = AnswerTimeLeft();
        }
        const int ready = WaitReadable(connection, left);
        if (ready == 0) {
            ExpireSilentRequest();
        } else if (ready < 0) {
            return false;
        }
    }
    return true;
}

bool Session::ReceiveAnswer(Socket connection, std::vector<std::uint8_t>& body) {
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

void Session::ReadAnswers(Socket connection) {
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
    const std::string path = LibraryFolder() + kConfigFile;
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

bool Session::Probe(const Endpoint& e) {
    const Socket probe = Connect(e, kProbeWait);
    if (probe == kNoSocket) {
        return false;
    }
    // Each step of the exchange (the request, each answer) has kProbeWait.
    Writer w;
    w.U8(static_cast<std::uint8_t>(Op::Probe)).U32(1);
    bool ok = SendMessageBy(probe, w.bytes, Clock::now() + kProbeWait);
    bool done = false;
    std::vector<std::uint8_t> body;
    while (ok && !done) {
        ok = ReceiveMessageBy(probe, body, Clock::now() + kProbeWait);
        if (ok) {
            Reader r(body.data(), body.size());
            const auto kind = static_cast<Kind>(r.U8());
            r.U32();
            const std::uint32_t value = kind == Kind::Ack ? r.U8() : r.U32();
            ok = !r.Failed() && (kind == Kind::Ack ? value == 1 : value == 0);
            done = kind == Kind::Done;
        }
    }
    CloseSocket(probe);
    return ok && done;
}

}  // namespace kz::kevrosa::library

#include "sim/LanServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sim/kevrosa/WireSocket.h"

namespace kz::sim {

namespace {

using kevrosa::Kind;
using kevrosa::Op;

constexpr const char* kOldLoaderBelow = "V4.51";
constexpr const char* kCfSupportName = "CF-CARD      ";

// "a.b.c.d" of an IPv4 address with the first octet in the top byte.
std::string Dotted(std::uint32_t a) {
    return std::to_string(a >> 24) + "." + std::to_string((a >> 16) & 0xFF) + "." +
           std::to_string((a >> 8) & 0xFF) + "." + std::to_string(a & 0xFF);
}

std::string Hex(std::uint32_t v) {
    char text[9];
    std::snprintf(text, sizeof text, "%X", static_cast<unsigned>(v));
    return text;
}

std::vector<std::uint8_t> AckMessage(std::uint32_t seq, bool accepted, std::uint32_t cause) {
    kevrosa::Writer w;
    w.U8(static_cast<std::uint8_t>(Kind::Ack)).U32(seq).U8(accepted ? 1 : 0);
    if (!accepted) {
        w.U32(cause);
    }
    return std::move(w.bytes);
}

std::vector<std::uint8_t> DoneMessage(std::uint32_t seq, std::uint32_t cause,
                                      const std::vector<std::uint8_t>& payload) {
    kevrosa::Writer w;
    w.U8(static_cast<std::uint8_t>(Kind::Done)).U32(seq).U32(cause);
    w.bytes.insert(w.bytes.end(), payload.begin(), payload.end());
    return std::move(w.bytes);
}

// The password a 25-byte code carries: byte j is character j + 10, 10 marks the end.
std::string DecodePassword(const std::uint8_t* code) {
    std::string text;
    for (std::size_t j = 0; j < 24 && code[j] != 10; ++j) {
        text += static_cast<char>(code[j] - 10);
    }
    return text;
}

constexpr std::pair<Op, std::string_view> kOpNames[] = {
    {Op::Probe, "probe"},
    {Op::Open, "open"},
    {Op::Begin, "begin"},
    {Op::Identity, "identity"},
    {Op::PasswordQuery, "passwordquery"},
    {Op::Password, "password"},
    {Op::LoaderDownload, "loaderdownload"},
    {Op::LoaderStart, "loaderstart"},
    {Op::Extension, "extension"},
    {Op::ColdRestart, "coldrestart"},
    {Op::HardData, "harddata"},
    {Op::Read, "read"},
    {Op::Write, "write"},
    {Op::Support, "support"},
    {Op::Quit, "quit"},
    {Op::CfReadRange, "cfreadrange"},
    {Op::CfWrite, "cfwrite"},
};

constexpr std::pair<LanFault::Kind, std::string_view> kKindNames[] = {
    {LanFault::Kind::Refuse, "refuse"}, {LanFault::Kind::Fail, "fail"},
    {LanFault::Kind::Never, "never"},   {LanFault::Kind::Silent, "silent"},
    {LanFault::Kind::Late, "late"},     {LanFault::Kind::Drop, "drop"},
    {LanFault::Kind::Early, "early"},   {LanFault::Kind::HostileName, "hostile"},
};

std::string Lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return out;
}

}  // namespace

std::string OpNames() {
    std::string names;
    for (const auto& [op, name] : kOpNames) {
        names += (names.empty() ? "" : ", ") + std::string(name);
    }
    return names;
}

std::optional<LanFault> ParseLanFault(std::string_view text, std::string* error) {
    auto fail = [&](const std::string& reason) -> std::optional<LanFault> {
        if (error != nullptr) {
            *error = "fault \"" + std::string(text) + "\": " + reason;
        }
        return std::nullopt;
    };
    const auto first = text.find(':');
    if (first == std::string_view::npos) {
        return fail("expected OP:KIND[:VALUE]");
    }
    const auto second = text.find(':', first + 1);
    const std::string op = Lower(text.substr(0, first));
    const std::string kind = Lower(text.substr(
        first + 1, second == std::string_view::npos ? std::string_view::npos : second - first - 1));
    const std::string value =
        second == std::string_view::npos ? std::string() : std::string(text.substr(second + 1));
    LanFault fault;
    const auto* o = std::find_if(std::begin(kOpNames), std::end(kOpNames),
                                 [&](const auto& e) { return e.second == op; });
    if (o == std::end(kOpNames)) {
        return fail("unknown request " + op + " (known: " + OpNames() + ")");
    }
    const auto* k = std::find_if(std::begin(kKindNames), std::end(kKindNames),
                                 [&](const auto& e) { return e.second == kind; });
    if (k == std::end(kKindNames)) {
        return fail("unknown kind " + kind);
    }
    fault.op = o->first;
    fault.kind = k->first;
    char* end = nullptr;
    switch (fault.kind) {
        case LanFault::Kind::Refuse:
        case LanFault::Kind::Fail:
            if (!value.empty()) {
                const unsigned long cause = std::strtoul(value.c_str(), &end, 16);
                if (*end != '\0' || cause > 0xFFFFFFFFul) {
                    return fail("the cause must be hexadecimal");
                }
                fault.cause = static_cast<std::uint32_t>(cause);
            }
            break;
        case LanFault::Kind::Late: {
            const unsigned long ms = std::strtoul(value.c_str(), &end, 10);
            if (value.empty() || *end != '\0' || ms > 600000) {
                return fail("late needs a delay in milliseconds (at most 600000)");
            }
            fault.delay = std::chrono::milliseconds(ms);
            break;
        }
        case LanFault::Kind::HostileName:
            if (fault.op != Op::CfReadRange || value.empty()) {
                return fail("hostile needs cfreadrange and a file name");
            }
            fault.name = value;
            break;
        default:
            if (!value.empty()) {
                return fail(kind + " takes no value");
            }
    }
    return fault;
}

LanServer::LanServer(PanelDescription description)
    : description_(std::move(description)),
      memory_(description_.regions),
      card_(description_.cfCardPresent, description_.cfFiles) {
    for (const MemoryPatch& patch : description_.patches) {
        memory_.Write(patch.address, patch.bytes);
    }
    needsExtension_ = description_.lanVersion < kOldLoaderBelow;
}

LanServer::~LanServer() {
    Stop();
}

bool LanServer::Start(std::uint16_t port, std::string* error) {
    return Start(port, INADDR_LOOPBACK, error);
}

bool LanServer::Start(std::uint16_t port, std::uint32_t loopback, std::string* error) {
    if ((loopback >> 24) != 127) {
        if (error != nullptr) {
            *error = "only a loopback address (127.x.y.z) can be served";
        }
        return false;
    }
    host_ = loopback;
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(loopback);
    socklen_t len = sizeof sa;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
        ::listen(fd, 16) != 0 || ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
        if (error != nullptr) {
            *error = "cannot listen on " + Dotted(loopback) + ":" + std::to_string(port) + ": " +
                     std::strerror(errno);
        }
        if (fd >= 0) {
            ::close(fd);
        }
        return false;
    }
    listenFd_ = fd;
    port_ = ntohs(sa.sin_port);
    acceptThread_ = std::thread([this] { AcceptLoop(); });
    return true;
}

void LanServer::Stop() {
    {
        std::lock_guard lock(mutex_);
        if (listenFd_ < 0) {
            return;
        }
        stopping_ = true;
        ::shutdown(listenFd_, SHUT_RDWR);
        for (auto& c : connections_) {
            ::shutdown(c->fd, SHUT_RDWR);
        }
    }
    stopped_.notify_all();
    acceptThread_.join();
    // Connection threads are only added by the accept thread, which has ended.
    for (auto& c : connections_) {
        c->thread.join();
        ::close(c->fd);
    }
    connections_.clear();
    ::close(listenFd_);
    listenFd_ = -1;
}

std::string LanServer::Endpoint() const {
    return Dotted(host_) + ":" + std::to_string(port_);
}

void LanServer::SetLinkRate(std::uint64_t bytesPerSecond) {
    std::lock_guard lock(mutex_);
    linkRate_ = bytesPerSecond;
}

void LanServer::Carry(std::chrono::steady_clock::time_point* busyUntil, std::size_t bytes) {
    std::unique_lock lock(mutex_);
    if (linkRate_ == 0) {
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    *busyUntil = std::max(*busyUntil, now) +
                 std::chrono::nanoseconds(static_cast<std::int64_t>(
                     static_cast<double>(bytes) * 1e9 / static_cast<double>(linkRate_)));
    stopped_.wait_until(lock, *busyUntil, [this] { return stopping_; });
}

void LanServer::AddFault(LanFault fault) {
    std::lock_guard lock(mutex_);
    faults_.push_back(std::move(fault));
}

LanCounters LanServer::Counters() const {
    std::lock_guard lock(mutex_);
    return counters_;
}

std::vector<std::uint8_t> LanServer::ReadMemory(std::uint32_t address, std::uint32_t size) const {
    std::lock_guard lock(mutex_);
    std::vector<std::uint8_t> bytes(size);
    memory_.Read(address, bytes);
    return bytes;
}

CfFiles LanServer::CfCardFiles() const {
    std::lock_guard lock(mutex_);
    return card_.Files();
}

void LanServer::SetCfFile(const std::string& name, std::vector<std::uint8_t> bytes) {
    std::lock_guard lock(mutex_);
    card_.SetFile(name, std::move(bytes));
}

void LanServer::AcceptLoop() {
    ::pthread_setname_np(::pthread_self(), "kzsim-lan");
    for (;;) {
        const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        std::lock_guard lock(mutex_);
        if (stopping_) {
            if (fd >= 0) {
                ::close(fd);
            }
            return;
        }
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) {
                continue;
            }
            return;
        }
        // Reap the connections that have ended, so a long-running panel does not collect them.
        for (auto it = connections_.begin(); it != connections_.end();) {
            if ((*it)->finished) {
                (*it)->thread.join();
                ::close((*it)->fd);
                it = connections_.erase(it);
            } else {
                ++it;
            }
        }
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        ++counters_.connections;
        auto connection = std::make_unique<Connection>();
        connection->fd = fd;
        Connection* c = connection.get();
        connections_.push_back(std::move(connection));
        c->thread = std::thread([this, c] { Serve(c); });
    }
}

void LanServer::Serve(Connection* c) {
    ::pthread_setname_np(::pthread_self(), "kzsim-lan");
    // The time until which each direction of the link is busy (see SetLinkRate); a message
    // takes its body and the 4-byte length before it.
    std::chrono::steady_clock::time_point inFree;
    std::chrono::steady_clock::time_point outFree;
    auto send = [&](const std::vector<std::uint8_t>& message) {
        Carry(&outFree, message.size() + 4);
        return kevrosa::SendMessage(c->fd, message);
    };
    std::vector<std::uint8_t> body;
    while (kevrosa::ReceiveMessage(c->fd, body)) {
        Carry(&inFree, body.size() + 4);
        kevrosa::Reader r(body.data(), body.size());
        const auto op = static_cast<Op>(r.U8());
        const std::uint32_t seq = r.U32();
        std::unique_lock lock(mutex_);
        ++counters_.requests;
        ++counters_.byOp[static_cast<std::uint8_t>(op) % counters_.byOp.size()];
        LanFault fault;
        const bool faulty = TakeFault(op, fault);
        const LanFault::Kind kind = faulty ? fault.kind : LanFault::Kind::HostileName;
        if (faulty && kind == LanFault::Kind::Refuse) {
            lock.unlock();
            send(AckMessage(seq, false, fault.cause));
            continue;
        }
        if (faulty && kind == LanFault::Kind::Silent) {
            continue;
        }
        if (faulty && (kind == LanFault::Kind::Fail || kind == LanFault::Kind::Never)) {
            lock.unlock();
            send(AckMessage(seq, true, 0));
            if (kind == LanFault::Kind::Fail) {
                send(DoneMessage(seq, fault.cause, {}));
            }
            continue;
        }
        if (faulty && kind == LanFault::Kind::Drop) {
            // Nothing is done: the answer breaks off halfway.
            lock.unlock();
            send(AckMessage(seq, true, 0));
            const auto frame =
                kevrosa::Frame(DoneMessage(seq, 0, std::vector<std::uint8_t>(64, 0)));
            kevrosa::SendAll(c->fd, frame.data(), frame.size() / 2);
            break;
        }
        const Answer answer = Perform(op, r, faulty ? &fault : nullptr);
        // A late request is accepted at once; its completion waits.
        const bool late = kind == LanFault::Kind::Late && !answer.refused;
        if (late) {
            lock.unlock();
            send(AckMessage(seq, true, 0));
            lock.lock();
            stopped_.wait_for(lock, fault.delay, [&] { return stopping_; });
        }
        lock.unlock();
        if (answer.refused) {
            send(AckMessage(seq, false, answer.cause));
            continue;
        }
        const auto done = DoneMessage(seq, answer.cause, answer.payload);
        if (late) {
            send(done);
        } else if (kind == LanFault::Kind::Early) {
            send(done);
            send(AckMessage(seq, true, 0));
        } else {
            send(AckMessage(seq, true, 0));
            send(done);
        }
        if (answer.closeAfter) {
            break;
        }
    }
    ::shutdown(c->fd, SHUT_RDWR);
    std::lock_guard lock(mutex_);
    c->finished = true;
}

bool LanServer::TakeFault(Op op, LanFault& out) {
    for (auto it = faults_.begin(); it != faults_.end(); ++it) {
        if (it->op != op) {
            continue;
        }
        if (it->skip > 0) {
            --it->skip;
            return false;
        }
        out = *it;
        if (it->times == 1) {
            faults_.erase(it);
        } else if (it->times > 1) {
            --it->times;
        }
        return true;
    }
    return false;
}

bool LanServer::MemoryReachable() const {
    return loaderRunning_ && (!needsExtension_ || extensionInstalled_);
}

LanServer::Answer LanServer::Perform(Op op, kevrosa::Reader& r, const LanFault* fault) {
    Answer a;
    auto refuse = [&a](std::uint32_t cause) {
        a.refused = true;
        a.cause = cause;
        return a;
    };
    kevrosa::Writer out;
    switch (op) {
        case Op::Probe:
        case Op::Open:
        case Op::Begin:
        case Op::Quit:
            break;
        case Op::Identity: {
            const std::string text = "KZ," + description_.coreId + "," + description_.lanVersion;
            out.U32(static_cast<std::uint32_t>(
                        std::strtoul(description_.coreId.c_str(), nullptr, 16)))
                .Text(text);
            break;
        }
        case Op::PasswordQuery:
            out.U8(description_.password.empty() ? 0 : 1);
            break;
        case Op::Password: {
            const std::uint8_t* code = r.Take(25);
            if (code == nullptr) {
                return refuse(kevrosa::kCauseBadArgument);
            }
            if (DecodePassword(code) != description_.password) {
                ++counters_.passwordsRejected;
                a.cause = kevrosa::kCausePassword;
            }
            break;
        }
        case Op::LoaderDownload: {
            const std::uint32_t address = r.U32();
            kevrosa::Writer loader;
            loader.U32(address);
            const std::size_t n = r.Remaining();
            loader.Bytes(r.Take(n), n);
            loader_ = std::move(loader.bytes);
            loaderRunning_ = false;
            ++counters_.loaderDownloads;
            break;
        }
        case Op::LoaderStart: {
            const std::uint32_t address = r.U32();
            if (loader_.size() < 4 || kevrosa::Reader(loader_.data(), 4).U32() != address ||
                (!description_.expectedLoader.empty() && loader_ != description_.expectedLoader)) {
                return refuse(kevrosa::kCauseRefused);
            }
            loaderRunning_ = true;
            ++counters_.loaderStarts;
            break;
        }
        case Op::Extension: {
            r.U8();
            r.U16();
            if (!loaderRunning_) {
                return refuse(kevrosa::kCauseRefused);
            }
            if (r.Remaining() == 0) {
                extensionSent_ = counters_.extensionBlocks > 0;
            } else {
                ++counters_.extensionBlocks;
            }
            break;
        }
        case Op::ColdRestart:
            ++counters_.coldRestarts;
            extensionInstalled_ = extensionInstalled_ || extensionSent_;
            loaderRunning_ = false;
            card_.EndTransfers();
            a.closeAfter = true;
            break;
        case Op::HardData: {
            if (!MemoryReachable()) {
                return refuse(kevrosa::kCauseRefused);
            }
            const std::string core =
                description_.hwCoreId.empty() ? description_.coreId : description_.hwCoreId;
            const std::string rest = "," + core + "," + Hex(description_.fromSize) + "," +
                                     Hex(description_.dramSize) + "," + Hex(description_.sramSize);
            char length[8];
            std::snprintf(length, sizeof length, "%04X", static_cast<unsigned>(rest.size()));
            out.Text(length).Text(rest);
            break;
        }
        case Op::Read: {
            const std::uint32_t address = r.U32();
            const std::uint32_t size = r.U32();
            if (r.Failed() || size > kevrosa::kMaxTransfer || !MemoryReachable()) {
                return refuse(kevrosa::kCauseRefused);
            }
            std::vector<std::uint8_t> bytes(size);
            memory_.Read(address, bytes);
            out.Bytes(bytes.data(), bytes.size());
            ++counters_.reads;
            break;
        }
        case Op::Write: {
            const std::uint32_t address = r.U32();
            const std::size_t size = r.Remaining();
            if (r.Failed() || size > kevrosa::kMaxTransfer || !MemoryReachable()) {
                return refuse(kevrosa::kCauseRefused);
            }
            memory_.Write(address, std::span<const std::uint8_t>(r.Take(size), size));
            ++counters_.writes;
            break;
        }
        case Op::Support: {
            const std::size_t n = r.Remaining();
            const std::uint8_t* name = r.Take(n);
            if (std::string(reinterpret_cast<const char*>(name), n) != kCfSupportName) {
                a.cause = kevrosa::kCauseUnsupported;
            }
            break;
        }
        case Op::CfReadRange: {
            const std::uint16_t prefixCode = r.U16();
            const std::uint32_t first = r.U32();
            const std::uint32_t last = r.U32();
            if (r.Failed()) {
                return refuse(kevrosa::kCauseBadArgument);
            }
            if (!card_.Present()) {
                a.cause = static_cast<std::uint32_t>(kCfResultNoCard);
                break;
            }
            const std::string prefix{static_cast<char>(prefixCode & 0xFF),
                                     static_cast<char>(prefixCode >> 8)};
            std::vector<std::pair<std::string, const std::vector<std::uint8_t>*>> listed;
            for (const auto& [name, bytes] : card_.Files()) {
                const auto stem = ParseCfStem(std::string_view(name).substr(0, 7));
                if (IsCfCardFileName(name) && stem && stem->prefix == prefix &&
                    stem->number >= first && stem->number <= last) {
                    listed.emplace_back(name, &bytes);
                }
            }
            const std::vector<std::uint8_t> hostile = {'e', 'v', 'i', 'l'};
            if (fault != nullptr && fault->kind == LanFault::Kind::HostileName) {
                listed.emplace_back(fault->name, &hostile);
            }
            out.U32(static_cast<std::uint32_t>(listed.size()));
            for (const auto& [name, bytes] : listed) {
                out.U16(static_cast<std::uint16_t>(name.size())).Text(name);
                out.U32(static_cast<std::uint32_t>(bytes->size()))
                    .Bytes(bytes->data(), bytes->size());
                ++counters_.cfFilesSent;
            }
            break;
        }
        case Op::CfWrite: {
            const std::uint16_t length = r.U16();
            const std::uint8_t* name = r.Take(length);
            if (r.Failed()) {
                return refuse(kevrosa::kCauseBadArgument);
            }
            const std::string text(reinterpret_cast<const char*>(name), length);
            if (!card_.Present()) {
                a.cause = static_cast<std::uint32_t>(kCfResultNoCard);
            } else if (!IsCfCardFileName(text)) {
                a.cause = static_cast<std::uint32_t>(kCfResultWrite);
            } else {
                const std::size_t n = r.Remaining();
                const std::uint8_t* bytes = r.Take(n);
                card_.SetFile(text, std::vector<std::uint8_t>(bytes, bytes + n));
                ++counters_.cfFilesStored;
            }
            break;
        }
        default:
            return refuse(kevrosa::kCauseBadArgument);
    }
    a.payload = std::move(out.bytes);
    return a;
}

}  // namespace kz::sim

// The trace viewer's side of the transport: a listening abstract SOCK_SEQPACKET socket
// served by one thread, one caller at a time (the equivalent of a window procedure
// handling sent messages one after the other).
//
//   Start: refuse when a live viewer owns the prefix ──> remove stale slots ──> listen
//          ──> publish control block (signature, then the id)
//   Serve: accept ──> read slot number ──> read slot ──> handler ──> answer 1 byte
//   Stop:  id = 0 ──> remove control block ──> wake and join the thread ──> close socket
#include "diag/TraceViewer.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include "diag/Trace.h"
#include "diag/TraceObjects.h"
#include "diag/TraceProtocol.h"
#include "platform/UniqueFd.h"

namespace kz {

namespace {

// How long a connected caller may take to send its slot number.
constexpr int kRequestTimeoutMs = 5000;

void SetError(std::string* error, const std::string& text) {
    if (error != nullptr) {
        *error = text + (errno != 0 ? std::string(": ") + std::strerror(errno) : std::string());
    }
}

bool MakeAddress(const std::string& name, sockaddr_un& address, socklen_t& length) {
    address = {};
    address.sun_family = AF_UNIX;
    if (name.size() > sizeof(address.sun_path)) {
        return false;
    }
    std::memcpy(address.sun_path, name.data(), name.size());
    length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
    return true;
}

// True when a viewer answers on the socket of the id in an existing control block.
bool LiveViewerOwns(const std::string& prefix) {
    std::string name = trace::ControlBlockName(prefix);
    platform::UniqueFd fd(::shm_open(name.c_str(), O_RDONLY, 0));
    if (!fd.Valid()) {
        return false;
    }
    struct stat info {};
    if (::fstat(fd.Get(), &info) != 0 ||
        static_cast<std::size_t>(info.st_size) < trace::kControlHeaderSize) {
        return false;
    }
    auto mapping = trace::Mapping::Map(fd.Get(), trace::kControlHeaderSize, false);
    if (!mapping.Valid()) {
        return false;
    }
    const std::uint32_t id = trace::LoadViewerId(mapping);
    if (id == 0) {
        return false;
    }
    platform::UniqueFd probe(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    sockaddr_un address;
    socklen_t length;
    return probe.Valid() && MakeAddress(trace::SocketName(prefix, id), address, length) &&
           ::connect(probe.Get(), reinterpret_cast<const sockaddr*>(&address), length) == 0;
}

bool ReadSlot(const std::string& prefix, int slot, TraceLine& line) {
    std::string name = trace::SlotName(prefix, slot);
    platform::UniqueFd fd(::shm_open(name.c_str(), O_RDONLY, 0));
    if (!fd.Valid()) {
        return false;
    }
    struct stat info {};
    if (::fstat(fd.Get(), &info) != 0 ||
        static_cast<std::size_t>(info.st_size) < trace::kSlotSize) {
        return false;
    }
    auto mapping = trace::Mapping::Map(fd.Get(), trace::kSlotSize, false);
    if (!mapping.Valid()) {
        return false;
    }
    line = trace::LineIn(mapping, slot);
    return true;
}

}  // namespace

struct TraceViewer::Impl {
    Handler handler;
    std::string prefix;
    std::uint32_t id = 0;
    platform::UniqueFd listener;
    platform::UniqueFd wake;
    trace::Mapping control;
    std::jthread thread;

    void Serve();
    void Answer(int connection);
};

void TraceViewer::Impl::Serve() {
    trace::OnViewerThread() = true;
    for (;;) {
        pollfd fds[2] = {{listener.Get(), POLLIN, 0}, {wake.Get(), POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if (fds[1].revents != 0) {
            return;
        }
        if ((fds[0].revents & POLLIN) != 0) {
            platform::UniqueFd connection(
                ::accept4(listener.Get(), nullptr, nullptr, SOCK_CLOEXEC));
            if (connection.Valid()) {
                Answer(connection.Get());
            }
        }
    }
}

void TraceViewer::Impl::Answer(int connection) {
    // The abstract namespace is open to every user; serve only our own.
    ucred peer{};
    socklen_t peerLength = sizeof(peer);
    if (::getsockopt(connection, SOL_SOCKET, SO_PEERCRED, &peer, &peerLength) != 0 ||
        peer.uid != ::geteuid()) {
        return;
    }
    pollfd fds[2] = {{connection, POLLIN, 0}, {wake.Get(), POLLIN, 0}};
    int ready;
    do {
        ready = ::poll(fds, 2, kRequestTimeoutMs);
    } while (ready < 0 && errno == EINTR);
    if (ready <= 0 || fds[1].revents != 0 || (fds[0].revents & POLLIN) == 0) {
        return;
    }
    char request[16];
    ssize_t received = ::recv(connection, request, sizeof(request), 0);
    if (received != static_cast<ssize_t>(sizeof(std::uint32_t))) {
        return;
    }
    std::uint32_t slot;
    std::memcpy(&slot, request, sizeof(slot));
    TraceLine line;
    bool read = slot < static_cast<std::uint32_t>(trace::kSlotCount) &&
                ReadSlot(prefix, static_cast<int>(slot), line);
    if (read && handler) {
        handler(line);
    }
    std::uint8_t answer = read ? trace::kAnswerRead : trace::kAnswerUnreadable;
    ::send(connection, &answer, sizeof(answer), MSG_NOSIGNAL);
}

TraceViewer::TraceViewer(Handler handler) : TraceViewer(std::move(handler), TraceObjectPrefix()) {}

TraceViewer::TraceViewer(Handler handler, std::string prefix) : impl_(std::make_unique<Impl>()) {
    impl_->handler = std::move(handler);
    impl_->prefix = std::move(prefix);
}

TraceViewer::~TraceViewer() {
    Stop();
}

bool TraceViewer::Start(std::string* error) {
    Impl& d = *impl_;
    errno = 0;
    if (Running()) {
        SetError(error, "the viewer is already running");
        return false;
    }
    std::string controlName = trace::ControlBlockName(d.prefix);
    if (LiveViewerOwns(d.prefix)) {
        errno = 0;
        SetError(error, "another trace viewer is running for " + controlName);
        return false;
    }
    // Whatever is left belongs to a viewer or senders that died.
    ::shm_unlink(controlName.c_str());
    for (int i = 0; i < trace::kSlotCount; ++i) {
        ::shm_unlink(trace::SlotName(d.prefix, i).c_str());
    }

    auto id = static_cast<std::uint32_t>(::getpid());
    platform::UniqueFd listener(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    sockaddr_un address;
    socklen_t length;
    if (!listener.Valid() || !MakeAddress(trace::SocketName(d.prefix, id), address, length) ||
        ::bind(listener.Get(), reinterpret_cast<const sockaddr*>(&address), length) != 0 ||
        ::listen(listener.Get(), SOMAXCONN) != 0) {
        SetError(error, "cannot listen for trace callers");
        return false;
    }
    platform::UniqueFd wake(::eventfd(0, EFD_CLOEXEC));
    if (!wake.Valid()) {
        SetError(error, "cannot create the wake-up event");
        return false;
    }
    platform::UniqueFd controlFd(::shm_open(controlName.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600));
    if (!controlFd.Valid()) {
        SetError(error, "cannot create " + controlName);
        return false;
    }
    trace::Mapping control;
    if (::ftruncate(controlFd.Get(), trace::kControlBlockSize) == 0) {
        control = trace::Mapping::Map(controlFd.Get(), trace::kControlBlockSize, true);
    }
    if (!control.Valid()) {
        SetError(error, "cannot map " + controlName);
        ::shm_unlink(controlName.c_str());
        return false;
    }
    // The signature first, the id last: a caller that sees the id finds everything ready.
    trace::SignControlBlock(control);

    d.listener = std::move(listener);
    d.wake = std::move(wake);
    d.control = std::move(control);
    d.id = id;
    d.thread = std::jthread([&d] { d.Serve(); });
    trace::StoreViewerId(d.control, id);
    trace::ForgetMissingViewer();
    return true;
}

void TraceViewer::Stop() {
    Impl& d = *impl_;
    if (!Running()) {
        return;
    }
    trace::StoreViewerId(d.control, 0);
    d.control.Reset();
    ::shm_unlink(trace::ControlBlockName(d.prefix).c_str());

    // An eventfd write only fails on counter overflow, which one write cannot cause.
    std::uint64_t one = 1;
    [[maybe_unused]] ssize_t written = ::write(d.wake.Get(), &one, sizeof(one));
    if (d.thread.joinable()) {
        d.thread.join();
    }
    // Callers still queued on the socket see it close and return false.
    d.listener.Reset();
    d.wake.Reset();
    d.id = 0;
}

bool TraceViewer::Running() const {
    return impl_->id != 0;
}

std::uint32_t TraceViewer::ViewerId() const {
    return impl_->id;
}

}  // namespace kz

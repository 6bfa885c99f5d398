// TraceMessage() over POSIX shared memory and an abstract Unix socket:
//
//   no viewer seen within the last 100 ms ──> false (no system call)
//        │
//   open control block ──missing──> false (nothing formatted; remembered for 100 ms)
//        │ id != 0 and signature ok
//   claim slot 00..99 by O_CREAT|O_EXCL ──all taken──> false
//        │
//   write tag + text, connect to "\0<prefix>.<id>", send slot number
//        │
//   wait for the viewer's one-byte answer ──> unlink the slot ──> true when it read it
#include "diag/Trace.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "diag/TraceObjects.h"
#include "diag/TraceProtocol.h"
#include "platform/UniqueFd.h"

namespace kz {

namespace {

std::mutex g_prefixMutex;
std::string g_prefix(trace::kDefaultPrefix);

// Looking for the viewer's control block is a system call of a few microseconds, which a
// transfer would pay for every trace line while no viewer runs (the usual case). A missing
// viewer is therefore remembered for a short while: one started meanwhile in another
// process receives lines from at most this long after its start; one of this process
// clears the memory when it starts.
constexpr std::chrono::milliseconds kMissingViewerMemory{100};
std::atomic<std::int64_t> g_noViewerUntil{0};  // steady-clock nanoseconds
// Bumped by ForgetMissingViewer(): a search that began before a viewer of this process
// started must not hide that viewer.
std::mutex g_missingMutex;
std::uint64_t g_viewerGeneration = 0;

std::uint64_t ViewerGeneration() {
    std::lock_guard lock(g_missingMutex);
    return g_viewerGeneration;
}

void RememberMissingViewer(std::uint64_t generation, std::int64_t now) {
    std::lock_guard lock(g_missingMutex);
    if (generation == g_viewerGeneration) {
        g_noViewerUntil.store(
            now +
                std::chrono::duration_cast<std::chrono::nanoseconds>(kMissingViewerMemory).count(),
            std::memory_order_relaxed);
    }
}

std::int64_t SteadyNow() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// A message slot this call created; removed again however the call ends.
class ClaimedSlot {
  public:
    ClaimedSlot() = default;
    ~ClaimedSlot() {
        mapping_.Reset();
        fd_.Reset();
        if (number_ >= 0) {
            ::shm_unlink(name_.c_str());
        }
    }
    ClaimedSlot(const ClaimedSlot&) = delete;
    ClaimedSlot& operator=(const ClaimedSlot&) = delete;

    // Claims the first free slot; false when all are taken or one cannot be created.
    bool Claim(const std::string& prefix) {
        for (int i = 0; i < trace::kSlotCount; ++i) {
            std::string name = trace::SlotName(prefix, i);
            int fd = ::shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
            if (fd < 0) {
                if (errno == EEXIST) {
                    continue;  // busy: another sender holds this number
                }
                return false;
            }
            fd_.Reset(fd);
            name_ = std::move(name);
            number_ = i;
            if (::ftruncate(fd, trace::kSlotSize) != 0) {
                return false;
            }
            mapping_ = trace::Mapping::Map(fd, trace::kSlotSize, true);
            return mapping_.Valid();
        }
        return false;
    }

    int Number() const { return number_; }
    char* Data() const { return mapping_.Data(); }

  private:
    std::string name_;
    int number_ = -1;
    platform::UniqueFd fd_;
    trace::Mapping mapping_;
};

// The viewer id from a control block with the right signature; 0 when there is none.
std::uint32_t ReadViewerId(const std::string& prefix) {
    std::string name = trace::ControlBlockName(prefix);
    platform::UniqueFd fd(::shm_open(name.c_str(), O_RDONLY, 0));
    if (!fd.Valid()) {
        return 0;
    }
    struct stat info {};
    if (::fstat(fd.Get(), &info) != 0 ||
        static_cast<std::size_t>(info.st_size) < trace::kControlHeaderSize) {
        return 0;
    }
    auto mapping = trace::Mapping::Map(fd.Get(), trace::kControlHeaderSize, false);
    if (!mapping.Valid()) {
        return 0;
    }
    const char* signature = mapping.Data() + trace::kSignatureOffset;
    if (std::memcmp(signature, trace::kSignature.data(), trace::kSignature.size()) != 0 ||
        signature[trace::kSignature.size()] != '\0') {
        return 0;
    }
    auto* id = reinterpret_cast<std::uint32_t*>(mapping.Data() + trace::kViewerIdOffset);
    return std::atomic_ref<std::uint32_t>(*id).load(std::memory_order_acquire);
}

// Hands the slot number to the viewer and waits until it has read the slot.
bool Notify(const std::string& prefix, std::uint32_t viewerId, int slot) {
    platform::UniqueFd socket(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    if (!socket.Valid()) {
        return false;
    }
    std::string name = trace::SocketName(prefix, viewerId);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (name.size() > sizeof(address.sun_path)) {
        return false;
    }
    std::memcpy(address.sun_path, name.data(), name.size());
    auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
    int result;
    do {
        result = ::connect(socket.Get(), reinterpret_cast<const sockaddr*>(&address), length);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        return false;
    }
    auto number = static_cast<std::uint32_t>(slot);
    if (::send(socket.Get(), &number, sizeof(number), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(sizeof(number))) {
        return false;
    }
    std::uint8_t answer = trace::kAnswerUnreadable;
    ssize_t received;
    do {
        received = ::recv(socket.Get(), &answer, sizeof(answer), 0);
    } while (received < 0 && errno == EINTR);
    return received == 1 && answer == trace::kAnswerRead;
}

}  // namespace

void trace::ForgetMissingViewer() {
    std::lock_guard lock(g_missingMutex);
    ++g_viewerGeneration;
    g_noViewerUntil.store(0, std::memory_order_relaxed);
}

void SetTraceObjectPrefix(const std::string& prefix) {
    std::lock_guard lock(g_prefixMutex);
    g_prefix = prefix.substr(0, trace::kMaxPrefixLength);
    trace::ForgetMissingViewer();
}

std::string TraceObjectPrefix() {
    std::lock_guard lock(g_prefixMutex);
    return g_prefix;
}

bool TraceMessage(const char* tag, const char* format, ...) {
    if (trace::OnViewerThread()) {
        return false;  // the viewer would wait for itself
    }
    const std::int64_t now = SteadyNow();
    if (now < g_noViewerUntil.load(std::memory_order_relaxed)) {
        return false;
    }
    const std::uint64_t generation = ViewerGeneration();
    std::string prefix = TraceObjectPrefix();
    std::uint32_t viewerId = ReadViewerId(prefix);
    if (viewerId == 0) {
        RememberMissingViewer(generation, now);
        return false;
    }
    ClaimedSlot slot;
    if (!slot.Claim(prefix)) {
        return false;  // all slots busy: the line is dropped
    }
    char* data = slot.Data();
    std::size_t tagLength = tag == nullptr ? 0 : ::strnlen(tag, trace::kTagSize - 1);
    if (tagLength > 0) {
        std::memcpy(data + trace::kTagOffset, tag, tagLength);
    }
    data[trace::kTagOffset + tagLength] = '\0';
    // vsnprintf cuts the text at kTextSize - 1 characters and always terminates it.
    va_list args;
    va_start(args, format);
    std::vsnprintf(data + trace::kTextOffset, trace::kTextSize, format == nullptr ? "" : format,
                   args);
    va_end(args);
    return Notify(prefix, viewerId, slot.Number());
}

}  // namespace kz

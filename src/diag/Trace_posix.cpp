// The trace sender's transport over POSIX shared memory and an abstract Unix socket: the
// control block and the slots are shared-memory objects; a slot is claimed by creating it
// with O_CREAT|O_EXCL, its number is sent to the socket "\0<prefix>.<id>", and the viewer's
// one-byte answer says it has read the slot, which is then unlinked.
#include "diag/Trace.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <functional>

#include "diag/TraceObjects.h"
#include "diag/TraceProtocol.h"
#include "platform/UniqueFd.h"

namespace kz {

namespace {

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

std::uint32_t trace::ReadViewerId(const std::string& prefix) {
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
    return mapping.Valid() ? trace::ViewerIdIn(mapping) : 0;
}

bool trace::SendThroughSlot(const std::string& prefix, std::uint32_t viewerId,
                            const std::function<void(char* slot)>& fill) {
    ClaimedSlot slot;
    if (!slot.Claim(prefix)) {
        return false;
    }
    fill(slot.Data());
    return Notify(prefix, viewerId, slot.Number());
}

}  // namespace kz

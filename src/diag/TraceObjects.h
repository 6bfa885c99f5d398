// The shared-memory mapping the trace and its viewer use (a POSIX shared-memory descriptor,
// or a Windows file-mapping handle). Internal to src/diag.
//
// Thread-safety: each object belongs to one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>

#include "diag/TraceViewer.h"

namespace kz::trace {

class Mapping {
  public:
    Mapping() = default;
    ~Mapping() { Reset(); }
    Mapping(Mapping&& other) noexcept
        : address_(std::exchange(other.address_, nullptr)), size_(std::exchange(other.size_, 0)) {}
    Mapping& operator=(Mapping&& other) noexcept {
        if (this != &other) {
            Reset();
            address_ = std::exchange(other.address_, nullptr);
            size_ = std::exchange(other.size_, 0);
        }
        return *this;
    }

    // Maps the first size bytes of object (a descriptor on POSIX, a HANDLE on Windows),
    // shared; an invalid mapping on failure.
    static Mapping Map(std::intptr_t object, std::size_t size, bool writable);

    bool Valid() const { return address_ != nullptr; }
    char* Data() const { return static_cast<char*>(address_); }
    std::size_t Size() const { return size_; }
    void Reset();

  private:
    void* address_ = nullptr;
    std::size_t size_ = 0;
};

// True on a trace viewer's serving thread: a trace call there would wait for itself.
bool& OnViewerThread();

// A viewer of this process has just published its control block: the next trace call
// looks for it at once instead of trusting that none ran a moment ago.
void ForgetMissingViewer();

// The viewer id field of a mapped control block, read and written atomically.
std::uint32_t LoadViewerId(const Mapping& control);
void StoreViewerId(const Mapping& control, std::uint32_t id);
// The viewer id in a mapped control block header; 0 when the header is short or its
// signature is not the viewer's.
std::uint32_t ViewerIdIn(const Mapping& header);
// Writes the viewer's signature into a new control block.
void SignControlBlock(const Mapping& control);
// The tag and text of the mapped message slot number.
TraceLine LineIn(const Mapping& slot, int number);

// The sender's transport, one per system (Trace_posix.cpp, Trace_win32.cpp); the rest of
// TraceMessage() is the same everywhere (Trace.cpp).
//
// The viewer id published in the control block of prefix with the right signature; 0 when
// there is none.
std::uint32_t ReadViewerId(const std::string& prefix);
// Claims a free message slot of prefix, lets fill write the line into its kSlotSize bytes,
// hands its number to the viewer viewerId and waits until the viewer has read it. False,
// without calling fill, when every slot is taken or none can be made; false when the viewer
// does not take the line. The slot is freed however the call ends.
bool SendThroughSlot(const std::string& prefix, std::uint32_t viewerId,
                     const std::function<void(char* slot)>& fill);

}  // namespace kz::trace

// The shared-memory mapping the trace and its viewer use (a POSIX shared-memory descriptor,
// or a Windows file-mapping handle). Internal to src/diag.
//
// Thread-safety: each object belongs to one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

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

}  // namespace kz::trace

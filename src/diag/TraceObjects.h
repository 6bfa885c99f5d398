// Small owners of the POSIX handles the trace and its viewer use: a file descriptor and a
// shared-memory mapping. Internal to src/diag.
//
// Thread-safety: each object belongs to one thread at a time.
#pragma once

#include <cstddef>
#include <string>
#include <utility>

namespace kz::trace {

class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { Reset(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            Reset(std::exchange(other.fd_, -1));
        }
        return *this;
    }

    int Get() const { return fd_; }
    bool Valid() const { return fd_ >= 0; }
    void Reset(int fd = -1);

  private:
    int fd_ = -1;
};

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

    // Maps the first size bytes of fd, shared; an invalid mapping on failure.
    static Mapping Map(int fd, std::size_t size, bool writable);

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

}  // namespace kz::trace

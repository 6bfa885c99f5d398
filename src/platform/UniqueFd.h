// UniqueFd: the one owner of a POSIX file descriptor (a device, a pipe end, a socket, a
// shared-memory object, a folder). It closes what it holds when it goes away or is reset;
// it is moved, never copied.
//
// Thread-safety: an object belongs to one thread at a time; Get() may be called from any
// thread while the owner keeps the object alive and unchanged.
#pragma once

#include <utility>

namespace kz::platform {

class UniqueFd {
  public:
    UniqueFd() = default;
    // Takes fd (a negative value holds nothing).
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { Reset(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            Reset(std::exchange(other.fd_, -1));
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    // The descriptor, or -1.
    int Get() const { return fd_; }
    bool Valid() const { return fd_ >= 0; }
    explicit operator bool() const { return Valid(); }

    // Closes what is held (its close error is lost) and takes fd.
    void Reset(int fd = -1);
    // Closes what is held; false when close() reported an error (data written to a file
    // may not have reached it). Holds nothing afterwards in every case.
    bool Close();
    // Gives the descriptor up without closing it.
    int Release() { return std::exchange(fd_, -1); }

  private:
    int fd_ = -1;
};

// A pipe: both ends close-on-exec, and non-blocking when nonBlocking. False with errno set
// when the system refuses; the ends are then left empty.
bool MakePipe(UniqueFd& readEnd, UniqueFd& writeEnd, bool nonBlocking);

}  // namespace kz::platform

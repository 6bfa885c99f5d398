// Keeps a program to one running copy per user: a lock file of that name in the user's
// runtime folder ($XDG_RUNTIME_DIR, else the temporary folder with the user id in the
// name), held with an advisory lock for the life of the object. The lock goes with the
// process, so a copy that crashed never blocks the next start.
//
// Thread-safety: one object per process; not shared between threads.
#pragma once

#include <string>

#include "platform/UniqueFd.h"

namespace kz::platform {

class InstanceLock {
  public:
    // Takes the lock named name; Held() says whether it was free.
    explicit InstanceLock(const std::string& name);
    bool Held() const { return held_; }
    // The lock file's path.
    const std::string& Path() const { return path_; }

  private:
    std::string path_;
    UniqueFd fd_;
    bool held_ = false;
};

}  // namespace kz::platform

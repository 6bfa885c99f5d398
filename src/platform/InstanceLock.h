// Keeps a program to one running copy per user: a lock file of that name, held with an
// advisory lock for the life of the object. The lock goes with the process, so a copy that
// crashed never blocks the next start.
//
// The lock file lies in a folder only the user can write to, so that nobody else can plant
// something under its name: $XDG_RUNTIME_DIR when it is such a folder, otherwise a folder
// of the program's own in the temporary folder ($TMPDIR or /tmp), "<program>-<uid>",
// created with mode 0700. That folder is used only when it is a real folder (not a link)
// of this user that no one else can write to; the lock file itself is never reached
// through a link. A lock that another copy holds is told apart from one that cannot be
// taken at all.
//
// On Windows the lock is a named mutex of the user's session instead (named name; Path() is
// that name and Folder() is empty): the first copy creates it, a later one finds it there.
// The system removes it when the last handle goes, so a crashed copy never blocks either.
// A mutex of that name that this user may not open (made by someone else to block the
// program) makes the lock Unusable.
//
// Thread-safety: one object per process; not shared between threads.
#pragma once

#include <memory>
#include <string>

namespace kz::platform {

class InstanceLock {
  public:
    enum class State {
        Held,              // this copy holds the lock
        OtherCopy,         // another copy holds it
        FolderNotPrivate,  // the folder is a link, another user's, or others can write to it
        Unusable,          // the lock file cannot be made, opened or locked (see Error())
    };

    // Takes the lock named name; program names the private folder used without a runtime
    // folder.
    explicit InstanceLock(const std::string& name, const std::string& program = "kzmnt");
    // Gives the lock up.
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;
    State GetState() const { return state_; }
    bool Held() const { return state_ == State::Held; }
    // The lock file's path, and the folder it lies in.
    const std::string& Path() const { return path_; }
    const std::string& Folder() const { return folder_; }
    // The system's error number when the state is Unusable.
    int Error() const { return error_; }

  private:
    std::string folder_;
    std::string path_;
    // What holds the lock: the locked file's descriptor, or the mutex handle.
    struct Handle;
    std::unique_ptr<Handle> handle_;
    State state_ = State::Unusable;
    int error_ = 0;
};

}  // namespace kz::platform

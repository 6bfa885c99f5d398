#include <windows.h>

#include "platform/InstanceLock.h"

namespace kz::platform {

struct InstanceLock::Handle {
    HANDLE mutex = nullptr;
    ~Handle() {
        if (mutex != nullptr) {
            ::CloseHandle(mutex);
        }
    }
};

InstanceLock::~InstanceLock() = default;

InstanceLock::InstanceLock(const std::string& name, const std::string&) {
    path_ = name;
    // Not owned: the mutex only marks that a copy runs. The name lives in the session's own
    // namespace ("Local\"), so other users' sessions have their own.
    HANDLE mutex = ::CreateMutexA(nullptr, FALSE, name.c_str());
    const DWORD error = ::GetLastError();
    if (mutex == nullptr) {
        // Access denied: an object of that name that this user may not open.
        error_ = static_cast<int>(error);
        state_ = State::Unusable;
        return;
    }
    if (error == ERROR_ALREADY_EXISTS) {
        ::CloseHandle(mutex);
        state_ = State::OtherCopy;
        return;
    }
    handle_ = std::make_unique<Handle>();
    handle_->mutex = mutex;
    state_ = State::Held;
}

}  // namespace kz::platform

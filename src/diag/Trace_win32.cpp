// The trace sender's transport over named file mappings and a window message: a slot is
// claimed by creating a mapping that did not exist before, and SendMessage(window,
// WM_USER + 100, slot, 0) returns once the viewer has read it.
//
// The object names are the POSIX ones without their leading '/'. A slot is freed by the
// system once the sender and the viewer have closed it: nothing is left behind by a sender
// that dies.
#include <windows.h>

#include <cstdint>
#include <functional>

#include "diag/Trace.h"
#include "diag/TraceObjects.h"
#include "diag/TraceProtocol.h"

namespace kz {

namespace {

// "/Wendix32_07" -> "Wendix32_07": a kernel object name of the session.
std::string ObjectName(const std::string& posixName) {
    return posixName.empty() || posixName[0] != '/' ? posixName : posixName.substr(1);
}

class ScopedHandle {
  public:
    explicit ScopedHandle(HANDLE handle = nullptr) : handle_(handle) {}
    ~ScopedHandle() { Reset(); }
    ScopedHandle(const ScopedHandle&) = delete;
    ScopedHandle& operator=(const ScopedHandle&) = delete;
    HANDLE Get() const { return handle_; }
    void Reset(HANDLE handle = nullptr) {
        if (handle_ != nullptr) {
            ::CloseHandle(handle_);
        }
        handle_ = handle;
    }

  private:
    HANDLE handle_;
};

// A message slot this call created; closed again however the call ends (the system removes
// it once the viewer has closed it too).
class ClaimedSlot {
  public:
    ClaimedSlot() = default;
    ~ClaimedSlot() { mapping_.Reset(); }
    ClaimedSlot(const ClaimedSlot&) = delete;
    ClaimedSlot& operator=(const ClaimedSlot&) = delete;

    // Claims the first free slot; false when all are taken or one cannot be created.
    bool Claim(const std::string& prefix) {
        for (int i = 0; i < trace::kSlotCount; ++i) {
            const std::string name = ObjectName(trace::SlotName(prefix, i));
            const HANDLE handle = ::CreateFileMappingA(
                INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, trace::kSlotSize, name.c_str());
            if (handle == nullptr) {
                return false;
            }
            if (::GetLastError() == ERROR_ALREADY_EXISTS) {
                ::CloseHandle(handle);  // busy: another sender holds this number
                continue;
            }
            handle_.Reset(handle);
            number_ = i;
            mapping_ = trace::Mapping::Map(reinterpret_cast<std::intptr_t>(handle),
                                           trace::kSlotSize, true);
            return mapping_.Valid();
        }
        return false;
    }

    int Number() const { return number_; }
    char* Data() const { return mapping_.Data(); }

  private:
    int number_ = -1;
    ScopedHandle handle_;
    trace::Mapping mapping_;
};

// Hands the slot number to the viewer's window; it has read the slot when this returns.
bool Notify(const std::string&, std::uint32_t viewerId, int slot) {
    // Window handles are 32-bit values on 64-bit Windows too.
    const HWND window = reinterpret_cast<HWND>(static_cast<std::uintptr_t>(viewerId));
    if (!::IsWindow(window)) {
        return false;
    }
    return ::SendMessageA(window, WM_USER + 100, static_cast<WPARAM>(slot), 0) ==
           trace::kAnswerRead;
}

}  // namespace

// The viewer id is its window handle.
std::uint32_t trace::ReadViewerId(const std::string& prefix) {
    const std::string name = ObjectName(trace::ControlBlockName(prefix));
    const ScopedHandle control(::OpenFileMappingA(FILE_MAP_READ, FALSE, name.c_str()));
    if (control.Get() == nullptr) {
        return 0;
    }
    auto mapping = trace::Mapping::Map(reinterpret_cast<std::intptr_t>(control.Get()),
                                       trace::kControlHeaderSize, false);
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

// TraceMessage() over named file mappings and a window message:
//
//   no viewer seen within the last 100 ms ──> false (no system call)
//        │
//   OpenFileMapping(control block) ──missing──> false (nothing formatted; remembered 100 ms)
//        │ window handle != 0 and signature ok
//   claim slot 00..99: CreateFileMapping that did not exist before ──all taken──> false
//        │
//   write tag + text, SendMessage(window, WM_USER + 100, slot, 0)
//        │
//   the viewer has read the slot when SendMessage returns ──> close the slot ──> true
//
// The object names are the POSIX ones without their leading '/'. A slot is freed by the
// system once the sender and the viewer have closed it: nothing is left behind by a sender
// that dies.
#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "diag/Trace.h"
#include "diag/TraceObjects.h"
#include "diag/TraceProtocol.h"

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

// The viewer's window from a control block with the right signature; 0 when there is none.
std::uint32_t ReadViewerId(const std::string& prefix) {
    const std::string name = ObjectName(trace::ControlBlockName(prefix));
    const ScopedHandle control(::OpenFileMappingA(FILE_MAP_READ, FALSE, name.c_str()));
    if (control.Get() == nullptr) {
        return 0;
    }
    auto mapping = trace::Mapping::Map(reinterpret_cast<std::intptr_t>(control.Get()),
                                       trace::kControlHeaderSize, false);
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

// The trace viewer's side of the transport on Windows: a message-only window on a thread of
// its own receives WM_USER + 100 (wParam = slot number) sent by TraceMessage() callers, one
// at a time, and answers when it has read the slot. The control block holds the window's
// handle as the viewer id.
//
//   Start: refuse when a live window owns the prefix ──> create the control block
//          ──> start the thread, which makes the window ──> publish the handle
//   Serve: message loop; WM_USER + 100 ──> read slot ──> handler ──> answer 1 or 0
//   Stop:  id = 0 ──> unmap and close the control block ──> close the window, join
#include <windows.h>

#include <future>
#include <thread>

#include "diag/Trace.h"
#include "diag/TraceObjects.h"
#include "diag/TraceProtocol.h"
#include "diag/TraceViewer.h"

namespace kz {

namespace {

constexpr UINT kTraceMessage = WM_USER + 100;
constexpr const char* kWindowClass = "KzTraceViewer";

std::string ObjectName(const std::string& posixName) {
    return posixName.empty() || posixName[0] != '/' ? posixName : posixName.substr(1);
}

void SetError(std::string* error, const std::string& text) {
    if (error != nullptr) {
        *error = text + " (error " + std::to_string(::GetLastError()) + ")";
    }
}

bool ReadSlot(const std::string& prefix, int slot, TraceLine& line) {
    const std::string name = ObjectName(trace::SlotName(prefix, slot));
    const HANDLE handle = ::OpenFileMappingA(FILE_MAP_READ, FALSE, name.c_str());
    if (handle == nullptr) {
        return false;
    }
    auto mapping =
        trace::Mapping::Map(reinterpret_cast<std::intptr_t>(handle), trace::kSlotSize, false);
    ::CloseHandle(handle);
    if (!mapping.Valid()) {
        return false;
    }
    line = trace::LineIn(mapping, slot);
    return true;
}

}  // namespace

struct TraceViewer::Impl {
    Handler handler;
    std::string prefix;
    std::uint32_t id = 0;
    HANDLE controlHandle = nullptr;
    trace::Mapping control;
    HWND window = nullptr;
    std::thread thread;

    void Serve(std::promise<HWND>& ready);
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
};

LRESULT CALLBACK TraceViewer::Impl::WindowProc(HWND window, UINT message, WPARAM wParam,
                                               LPARAM lParam) {
    auto* impl = reinterpret_cast<Impl*>(::GetWindowLongPtrA(window, GWLP_USERDATA));
    if (message == kTraceMessage && impl != nullptr) {
        TraceLine line;
        const bool read = wParam < static_cast<WPARAM>(trace::kSlotCount) &&
                          ReadSlot(impl->prefix, static_cast<int>(wParam), line);
        if (read && impl->handler) {
            impl->handler(line);
        }
        return read ? trace::kAnswerRead : trace::kAnswerUnreadable;
    }
    if (message == WM_CLOSE) {
        ::DestroyWindow(window);
        return 0;
    }
    if (message == WM_DESTROY) {
        ::PostQuitMessage(0);
        return 0;
    }
    return ::DefWindowProcA(window, message, wParam, lParam);
}

void TraceViewer::Impl::Serve(std::promise<HWND>& ready) {
    trace::OnViewerThread() = true;
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = &Impl::WindowProc;
    windowClass.hInstance = ::GetModuleHandleA(nullptr);
    windowClass.lpszClassName = kWindowClass;
    ::RegisterClassA(&windowClass);  // fails harmlessly when a viewer registered it before
    const HWND created = ::CreateWindowExA(0, kWindowClass, "", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                           nullptr, windowClass.hInstance, nullptr);
    if (created != nullptr) {
        ::SetWindowLongPtrA(created, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    }
    ready.set_value(created);
    if (created == nullptr) {
        return;
    }
    MSG message;
    while (::GetMessageA(&message, nullptr, 0, 0) > 0) {
        ::DispatchMessageA(&message);
    }
}

TraceViewer::TraceViewer(Handler handler) : TraceViewer(std::move(handler), TraceObjectPrefix()) {}

TraceViewer::TraceViewer(Handler handler, std::string prefix) : impl_(std::make_unique<Impl>()) {
    impl_->handler = std::move(handler);
    impl_->prefix = std::move(prefix);
}

TraceViewer::~TraceViewer() {
    Stop();
}

bool TraceViewer::Start(std::string* error) {
    Impl& d = *impl_;
    if (Running()) {
        SetError(error, "the viewer is already running");
        return false;
    }
    const std::string controlName = ObjectName(trace::ControlBlockName(d.prefix));
    const HANDLE controlHandle =
        ::CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                             trace::kControlBlockSize, controlName.c_str());
    if (controlHandle == nullptr) {
        SetError(error, "cannot create " + controlName);
        return false;
    }
    const bool existed = ::GetLastError() == ERROR_ALREADY_EXISTS;
    trace::Mapping control = trace::Mapping::Map(reinterpret_cast<std::intptr_t>(controlHandle),
                                                 trace::kControlBlockSize, true);
    if (!control.Valid()) {
        SetError(error, "cannot map " + controlName);
        ::CloseHandle(controlHandle);
        return false;
    }
    // A block that exists already belongs to a viewer that is running, or is held open by
    // a sender of a viewer that has gone; only a live window counts.
    if (existed) {
        const std::uint32_t other = trace::LoadViewerId(control);
        if (other != 0 && ::IsWindow(reinterpret_cast<HWND>(static_cast<std::uintptr_t>(other)))) {
            control.Reset();
            ::CloseHandle(controlHandle);
            if (error != nullptr) {
                *error = "another trace viewer is running for " + controlName;
            }
            return false;
        }
    }
    // The signature first, the id last: a caller that sees the id finds everything ready.
    trace::SignControlBlock(control);

    std::promise<HWND> ready;
    std::future<HWND> window = ready.get_future();
    d.thread = std::thread([&d, &ready] { d.Serve(ready); });
    d.window = window.get();
    if (d.window == nullptr) {
        d.thread.join();
        control.Reset();
        ::CloseHandle(controlHandle);
        SetError(error, "cannot create the viewer's window");
        return false;
    }
    d.controlHandle = controlHandle;
    d.control = std::move(control);
    d.id = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(d.window));
    trace::StoreViewerId(d.control, d.id);
    trace::ForgetMissingViewer();
    return true;
}

void TraceViewer::Stop() {
    Impl& d = *impl_;
    if (!Running()) {
        return;
    }
    trace::StoreViewerId(d.control, 0);
    d.control.Reset();
    ::CloseHandle(std::exchange(d.controlHandle, nullptr));
    // Callers whose message is queued get 0 back once the window is gone.
    ::PostMessageA(d.window, WM_CLOSE, 0, 0);
    if (d.thread.joinable()) {
        d.thread.join();
    }
    d.window = nullptr;
    d.id = 0;
}

bool TraceViewer::Running() const {
    return impl_->id != 0;
}

std::uint32_t TraceViewer::ViewerId() const {
    return impl_->id;
}

}  // namespace kz

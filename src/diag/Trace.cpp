// TraceMessage(), the same on every system; the transport (Trace_posix.cpp: shared memory
// and a Unix socket; Trace_win32.cpp: file mappings and a window message) does the steps
// marked *:
//
//   no viewer seen within the last 100 ms ──> false (no system call)
//        │
//   * read the viewer id from the control block ──none──> false (nothing formatted;
//        │                                                remembered for 100 ms)
//   * claim a free slot 00..99 ──all taken──> false
//        │
//   write tag + text into the slot
//        │
//   * hand the slot number to the viewer, wait until it has read it ──> true when it did
#include "diag/Trace.h"

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>

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
    std::uint32_t viewerId = trace::ReadViewerId(prefix);
    if (viewerId == 0) {
        RememberMissingViewer(generation, now);
        return false;
    }
    va_list args;
    va_start(args, format);
    // The line is formatted only into a slot that was free: with all slots busy it is dropped.
    const bool read = trace::SendThroughSlot(prefix, viewerId, [&](char* data) {
        std::size_t tagLength = tag == nullptr ? 0 : ::strnlen(tag, trace::kTagSize - 1);
        if (tagLength > 0) {
            std::memcpy(data + trace::kTagOffset, tag, tagLength);
        }
        data[trace::kTagOffset + tagLength] = '\0';
        // vsnprintf cuts the text at kTextSize - 1 characters and always terminates it.
        std::vsnprintf(data + trace::kTextOffset, trace::kTextSize, format == nullptr ? "" : format,
                       args);
    });
    va_end(args);
    return read;
}

}  // namespace kz

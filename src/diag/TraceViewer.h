// The receiving end of the developer trace (diag/Trace.h): publishes the control block,
// serves the notifications of TraceMessage() callers on its own thread and hands every
// line to a callback. Used by tools/kztrace and by the tests.
//
// Thread-safety: Start(), Stop() and the destructor belong to the thread that owns the
// viewer. The handler runs on the viewer's serving thread, one line at a time, while the
// tracing thread waits; a TraceMessage() call made from the handler returns false at once.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace kz {

struct TraceLine {
    int slot = 0;      // the message slot the line came through (0 ... 99)
    std::string tag;   // at most 127 characters
    std::string text;  // at most 8191 characters
};

class TraceViewer {
  public:
    using Handler = std::function<void(const TraceLine&)>;

    // A viewer for the object names of TraceObjectPrefix() at construction, or of prefix.
    explicit TraceViewer(Handler handler);
    TraceViewer(Handler handler, std::string prefix);
    // Stops serving and removes the control block (Stop()).
    ~TraceViewer();
    TraceViewer(const TraceViewer&) = delete;
    TraceViewer& operator=(const TraceViewer&) = delete;

    // Removes slots left behind by earlier runs, starts listening and publishes the control
    // block with this process's id. False, with a reason in *error, when another viewer of
    // the same prefix is running or an object cannot be created.
    bool Start(std::string* error = nullptr);
    // Withdraws the viewer id, removes the control block and ends the serving thread.
    // Callers waiting for an answer get none and return false. Safe to call twice.
    void Stop();

    bool Running() const;
    // The id published in the control block (this process's id); 0 when not running.
    std::uint32_t ViewerId() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace kz

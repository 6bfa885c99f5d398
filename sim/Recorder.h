// The record of what a simulated panel received: the most recent frames, for Frames() and
// Commands(), and the frames of the current batch of bytes, handed to the owner's onFrame
// callback once the state lock is released.
//
// Thread-safety: none; the owner (the panel's engine, under the panel's state lock)
// serialises all calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "sim/Panel.h"

namespace kz::sim {

class FrameRecorder {
  public:
    // Keeps at most limit frames (0: none); forward: collect each batch's frames for the
    // onFrame callback.
    FrameRecorder(std::size_t limit, bool forward) : limit_(limit), forward_(forward) {}

    // Frames recorded until EndBatch() are also appended to batch (when forwarding).
    void BeginBatch(std::vector<ReceivedFrame>& batch) { batch_ = &batch; }
    void EndBatch() { batch_ = nullptr; }

    // raw is cut to ReceivedFrame::kRawLimit; size 0 means raw's own length.
    void Record(std::string command, std::vector<std::uint8_t> raw, bool valid, std::size_t size,
                PanelMode mode);

    const std::deque<ReceivedFrame>& Frames() const { return frames_; }
    void Clear() { frames_.clear(); }

  private:
    std::size_t limit_;
    bool forward_;
    std::deque<ReceivedFrame> frames_;
    std::vector<ReceivedFrame>* batch_ = nullptr;
};

}  // namespace kz::sim

#include "sim/Recorder.h"

#include <utility>

namespace kz::sim {

void FrameRecorder::Record(std::string command, std::vector<std::uint8_t> raw, bool valid,
                           std::size_t size, PanelMode mode) {
    ReceivedFrame frame;
    frame.command = std::move(command);
    frame.size = size != 0 ? size : raw.size();
    if (raw.size() > ReceivedFrame::kRawLimit) {
        raw.resize(ReceivedFrame::kRawLimit);
    }
    frame.raw = std::move(raw);
    frame.valid = valid;
    frame.mode = mode;
    if (forward_ && batch_ != nullptr) {
        batch_->push_back(frame);
    }
    if (limit_ == 0) {
        return;
    }
    if (frames_.size() >= limit_) {
        frames_.pop_front();
    }
    frames_.push_back(std::move(frame));
}

}  // namespace kz::sim

#include "sim/PanelState.h"

#include <utility>

#include "sim/Wire.h"

namespace kz::sim {

PanelState::PanelState(PanelDescription description, std::size_t recordLimit, bool forwardFrames)
    : desc(std::move(description)),
      memory(desc.regions),
      card(desc.cfCardPresent, std::move(desc.cfFiles)),
      recorder(recordLimit, forwardFrames) {
    for (const MemoryPatch& patch : desc.patches) {
        memory.Write(patch.address, patch.bytes);
    }
}

void PanelState::BeginBatch(std::vector<PanelAction>& actions, std::vector<ReceivedFrame>& frames) {
    actions_ = &actions;
    recorder.BeginBatch(frames);
}

void PanelState::EndBatch() {
    actions_ = nullptr;
    recorder.EndBatch();
}

void PanelState::Answer(std::uint8_t start, std::string_view payload) {
    std::vector<std::uint8_t> bytes;
    bytes.reserve(payload.size() + 3);
    bytes.push_back(start);
    bytes.insert(bytes.end(), payload.begin(), payload.end());
    bytes.push_back(kCr);
    bytes.push_back(kSub);
    AnswerRaw(std::move(bytes));
}

void PanelState::AnswerWithChecksum(std::uint8_t start, const std::string& payload) {
    Answer(start, payload + ChecksumText(payload));
}

void PanelState::AnswerRaw(std::vector<std::uint8_t> bytes) {
    if (faults.Silent()) {
        return;
    }
    faults.Transmit(bytes);
    counters.bytesSent += bytes.size();
    Queue(PanelAction{PanelAction::Kind::Write, std::move(bytes), 0, faults.Config().answerDelay});
}

void PanelState::SwitchRate(std::uint32_t rate) {
    if (faults.Silent()) {
        return;
    }
    ++counters.rateChanges;
    Queue(PanelAction{PanelAction::Kind::SetRate, {}, rate, {}});
}

void PanelState::Queue(PanelAction action) {
    actions_->push_back(std::move(action));
}

void PanelState::Record(std::string command, std::vector<std::uint8_t> raw, bool valid,
                        std::size_t size) {
    recorder.Record(std::move(command), std::move(raw), valid, size, mode);
}

}  // namespace kz::sim

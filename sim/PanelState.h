// The state a simulated panel's command sets share, and the way they answer. Answers do
// not touch the device: they become actions (write these bytes, switch the line rate,
// flag a line error, power cycle) that the Panel executes in order once the state lock is
// released. A silent panel queues no answers and no rate switches.
//
// Thread-safety: none; the owner (the panel's engine, under the panel's state lock)
// serialises all calls.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "sim/CfCard.h"
#include "sim/Faults.h"
#include "sim/Panel.h"
#include "sim/PanelDescription.h"
#include "sim/PanelMemory.h"
#include "sim/Recorder.h"

namespace kz::sim {

// One thing the Panel does on the device for the engine.
struct PanelAction {
    enum class Kind { Write, SetRate, LineError, PowerCycle };
    Kind kind = Kind::Write;
    std::vector<std::uint8_t> bytes;    // Write
    std::uint32_t value = 0;            // SetRate: bit/s; LineError: CE_* bits
    std::chrono::milliseconds time{0};  // Write: delay before; PowerCycle: time off
};

class PanelState {
  public:
    // Description patches are applied to the memory at once.
    PanelState(PanelDescription description, std::size_t recordLimit, bool forwardFrames);

    PanelDescription desc;
    PanelMemory memory;
    CfCard card;
    PanelMode mode = PanelMode::Firmware;
    LoaderImage loader;
    bool passwordAccepted = false;
    PanelCounters counters;
    FaultInjector faults;
    FrameRecorder recorder;

    // Actions and recorded frames go to these until EndBatch().
    void BeginBatch(std::vector<PanelAction>& actions, std::vector<ReceivedFrame>& frames);
    void EndBatch();

    // start, payload, CR SUB.
    void Answer(std::uint8_t start, std::string_view payload);
    // The payload followed by its own checksum.
    void AnswerWithChecksum(std::uint8_t start, const std::string& payload);
    // Bytes as they are, after the send faults.
    void AnswerRaw(std::vector<std::uint8_t> bytes);
    // The line follows once the answers queued before have been handed to the device.
    void SwitchRate(std::uint32_t rate);
    void Queue(PanelAction action);
    // Records a received frame in the current mode; size 0 means raw's own length.
    void Record(std::string command, std::vector<std::uint8_t> raw, bool valid,
                std::size_t size = 0);

  private:
    std::vector<PanelAction>* actions_ = nullptr;
};

}  // namespace kz::sim

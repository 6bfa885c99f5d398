// The protocol side of a simulated panel: a pure state machine that takes received bytes
// and produces actions for the Panel to execute on the device (PanelAction) and the frames
// it received. It routes what the frame assembler finds to the firmware, loader and CF card
// command sets, and handles the bytes outside frames (ENQ, ACK, NAK), breaks and power.
//
// Thread-safety: none; every call runs under the Panel's state lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <span>
#include <string>
#include <vector>

#include "sim/CfCommands.h"
#include "sim/FirmwareCommands.h"
#include "sim/FrameAssembler.h"
#include "sim/LoaderCommands.h"
#include "sim/Panel.h"
#include "sim/PanelState.h"

namespace kz::sim {

class PanelEngine final : private FrameAssembler::Sink {
  public:
    // options must outlive the engine (the Panel owns both).
    PanelEngine(PanelDescription description, const Panel::Options& options);
    PanelEngine(const PanelEngine&) = delete;
    PanelEngine& operator=(const PanelEngine&) = delete;

    // Decodes received bytes (tick: the clock's tick count on arrival), appending the
    // resulting actions and, when the options forward frames, the frames received.
    void Feed(std::span<const std::uint8_t> bytes, std::uint32_t tick,
              std::vector<PanelAction>& out, std::vector<ReceivedFrame>& frames);
    // A break: the partial frame is dropped, the mode is kept.
    void OnBreak();
    void PowerOff();
    // Resident firmware again; the faults' silence ends.
    void PowerOn();

    void SetFaults(const FaultConfig& faults) { state_.faults.Set(faults); }
    const FaultConfig& Faults() const { return state_.faults.Config(); }
    PanelMemory& Memory() { return state_.memory; }
    const PanelMemory& Memory() const { return state_.memory; }
    CfCard& Card() { return state_.card; }
    const CfCard& Card() const { return state_.card; }
    const LoaderImage& Loader() const { return state_.loader; }
    PanelMode Mode() const { return state_.mode; }
    bool PasswordAccepted() const { return state_.passwordAccepted; }
    bool Silent() const { return state_.faults.Silent(); }
    const PanelCounters& Counters() const { return state_.counters; }
    const std::deque<ReceivedFrame>& Record() const { return state_.recorder.Frames(); }
    void ClearRecord() { state_.recorder.Clear(); }
    // Unlisted registers read 0.
    std::uint32_t IoRegister(std::uint32_t address) const;

  private:
    // FrameAssembler::Sink
    void OnByte(std::uint8_t b) override;
    void OnFrameStart() override;
    void OnNoise(std::size_t count) override;
    void OnCfWaitAbandoned() override;
    void OnUnit(FrameAssembler::Unit unit, std::span<const std::uint8_t> bytes) override;

    void Dispatch(bool firmware, std::span<const std::uint8_t> frame);
    void Enq();
    void Restart();
    void DropFrame();

    const Panel::Options& options_;
    PanelState state_;
    FrameAssembler assembler_;
    FirmwareCommands firmware_;
    LoaderCommands loader_;
    CfCommands cf_;
    std::uint32_t lastByteTick_ = 0;
    bool powerCycleQueued_ = false;
};

}  // namespace kz::sim

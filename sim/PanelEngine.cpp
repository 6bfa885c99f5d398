// The simulated panel's engine. It takes received bytes and produces actions (write these
// bytes, switch the line rate, flag a line error, power cycle); the Panel executes them on
// the device, in order, outside the state lock. Rate switches are actions placed after the
// answer they follow, so the line changes only once the answer has been handed to the
// device, as on a real panel.
//
//   power on ──► Firmware (9600) ──PLD + PGO──► Loader ──">q"──► Firmware (9600)
//                    ▲                             │
//                    └──────── power cycle ◄───────┘   break: 9600, frame dropped, mode kept
//
// Receive states of the frame assembler:
//
//   Idle ──ESC (firmware mode)──► Esc ──CR──► dispatch       ("PLD": by announced length)
//   Idle ──DLE──────────────────► Dle ──CR──► dispatch       (">P": by its 24-byte length)
//   Dle "<m" dispatched ────────► WriteData ──size + 2 bytes──► check, store, answer
//   Idle ──ENQ──► answer ETX/EOT SUB;  Idle ──ACK after ">m"──► memory block
//   Idle ──ACK while a CF file is offered──► its next block;  Idle ──NAK──► file dropped
//   Dle "<E" go-ahead ──► CfHeader ──7 bytes──► go-ahead ──► CfData ──length + 2 bytes──►
//       full block: go-ahead, CfHeader again;  short block: file stored, final answer
//   A start byte or ENQ inside an ASCII frame drops what came before it and is taken as
//   usual; a break or an idle gap drops a partial frame.
#include "sim/PanelEngine.h"

#include "sim/Wire.h"

namespace kz::sim {

PanelEngine::PanelEngine(PanelDescription description, const Panel::Options& options)
    : options_(options),
      state_(std::move(description), options.recordLimit, static_cast<bool>(options.onFrame)),
      assembler_(*this),
      firmware_(state_),
      loader_(state_, assembler_, [this] { Restart(); }),
      cf_(state_, assembler_) {}

void PanelEngine::Feed(std::span<const std::uint8_t> bytes, std::uint32_t tick,
                       std::vector<PanelAction>& out, std::vector<ReceivedFrame>& frames) {
    state_.BeginBatch(out, frames);
    state_.counters.bytesReceived += bytes.size();
    for (std::uint8_t b : bytes) {
        if (state_.mode == PanelMode::PoweredOff || powerCycleQueued_) {
            ++state_.counters.ignoredBytes;
            continue;
        }
        if (!state_.faults.Receive(b)) {
            continue;
        }
        if (options_.idleReset.count() > 0 && (assembler_.Partial() || loader_.ReadPending()) &&
            tick - lastByteTick_ > static_cast<std::uint32_t>(options_.idleReset.count())) {
            DropFrame();
        }
        lastByteTick_ = tick;
        assembler_.Push(b, state_.mode == PanelMode::Firmware);
    }
    state_.EndBatch();
}

void PanelEngine::OnBreak() {
    if (state_.mode == PanelMode::PoweredOff) {
        return;
    }
    ++state_.counters.breaks;
    DropFrame();
}

void PanelEngine::PowerOff() {
    state_.mode = PanelMode::PoweredOff;
    DropFrame();
}

void PanelEngine::PowerOn() {
    Restart();
    state_.faults.PowerCycled();
    powerCycleQueued_ = false;
    ++state_.counters.powerCycles;
}

std::uint32_t PanelEngine::IoRegister(std::uint32_t address) const {
    const auto it = state_.desc.ioRegisters.find(address);
    return it == state_.desc.ioRegisters.end() ? 0 : it->second;
}

void PanelEngine::Restart() {
    state_.mode = PanelMode::Firmware;
    state_.loader = {};
    state_.passwordAccepted = false;
    DropFrame();
    state_.card.EndTransfers();
}

void PanelEngine::DropFrame() {
    if (assembler_.ReceivingCf()) {
        state_.card.DropIncoming();
    }
    assembler_.Reset();
    loader_.CancelRead();
}

void PanelEngine::OnByte(std::uint8_t b) {
    if (b == kAck && loader_.ReadPending()) {
        loader_.Acknowledged(b);
        return;
    }
    if (b == kEnq) {
        loader_.CancelRead();
        Enq();
        return;
    }
    if (b == kAck && state_.card.BlocksDue()) {
        state_.Record("ACK", {b}, true);
        if (!state_.faults.Silent()) {
            cf_.SendBlock();
        }
        return;
    }
    if (b == kAck) {
        state_.Record("ACK", {b}, false);
        return;
    }
    if (b == kNak) {
        state_.Record("NAK", {b}, true);
        if (!state_.faults.Silent()) {
            state_.card.StopFile();
        }
        return;
    }
    ++state_.counters.ignoredBytes;
}

void PanelEngine::OnFrameStart() {
    loader_.CancelRead();
}

void PanelEngine::OnNoise(std::size_t count) {
    state_.counters.ignoredBytes += count;
}

void PanelEngine::OnCfWaitAbandoned() {
    state_.card.DropIncoming();
    loader_.CancelRead();
}

void PanelEngine::OnUnit(FrameAssembler::Unit unit, std::span<const std::uint8_t> bytes) {
    using Unit = FrameAssembler::Unit;
    switch (unit) {
        case Unit::FirmwareFrame:
        case Unit::LoaderFrame:
            Dispatch(unit == Unit::FirmwareFrame, bytes);
            return;
        case Unit::BadLoadHeader:
            state_.Record("PLD", FrameWithStart(kEsc, bytes), false);
            ++state_.counters.badFrames;
            return;
        case Unit::UnterminatedLoad:
        case Unit::UnterminatedPassword: {
            const bool load = unit == Unit::UnterminatedLoad;
            state_.Record(load ? "PLD" : ">P", FrameWithStart(load ? kEsc : kDle, bytes, false),
                          false);
            ++state_.counters.badFrames;
            ++state_.counters.frames;
            return;
        }
        case Unit::WriteData:
            loader_.WriteData(bytes);
            return;
        case Unit::CfHeader:
            cf_.BlockHeader(bytes);
            return;
        case Unit::CfData:
            cf_.BlockData(bytes);
            return;
    }
}

// A complete ESC or DLE frame. The CF card commands work in both modes.
void PanelEngine::Dispatch(bool firmware, std::span<const std::uint8_t> frame) {
    ++state_.counters.frames;
    std::vector<std::uint8_t> raw = FrameWithStart(firmware ? kEsc : kDle, frame);
    const std::size_t size = frame.size() + 2;
    const std::string_view text = AsText(frame);
    const std::string command =
        firmware ? FirmwareCommands::CommandName(text) : LoaderCommands::CommandName(text);
    bool valid = command != "?";
    // A silent panel still takes frames in, but acts on none of them.
    if (valid && !state_.faults.Silent()) {
        if (firmware) {
            valid = firmware_.Handle(command, frame);
        } else if (CfCommands::Handles(command)) {
            valid = cf_.Handle(command, frame);
        } else {
            valid = loader_.Handle(command, frame);
        }
    }
    state_.Record(command, std::move(raw), valid, size);
    if (!valid) {
        ++state_.counters.badFrames;
    }
    state_.faults.CountFrame();
}

void PanelEngine::Enq() {
    ++state_.counters.enqs;
    state_.Record("ENQ", {kEnq}, true);
    if (state_.faults.Silent()) {
        if (state_.faults.EnqWhileSilent()) {
            powerCycleQueued_ = true;
            state_.Queue(PanelAction{
                PanelAction::Kind::PowerCycle, {}, 0, state_.faults.Config().powerOffTime});
        }
        return;
    }
    state_.AnswerRaw({state_.mode == PanelMode::Loader ? kEot : kEtx, kSub});
}

}  // namespace kz::sim

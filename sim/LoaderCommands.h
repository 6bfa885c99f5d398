// The loader-family commands of a simulated panel (DLE frames), apart from the CF card's:
// session start (">C"), password query and password (">LS", ">P"), rate change ("<O"),
// quit and reset (">Q", ">q") in both modes; hardware answer (">h"), signatures (">K",
// ">X"), I/O registers (">i", "<i") and memory blocks (">m", "<m") once the loader runs.
// A memory read is answered ">m00" and its block goes out on the PC's ACK; a memory write
// is answered ACK SUB, and its block is collected as binary data.
//
// Thread-safety: none; the owner (the panel's engine, under the panel's state lock)
// serialises all calls.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

namespace kz::sim {

class FrameAssembler;
class PanelState;

class LoaderCommands {
  public:
    // restart: brings the panel back to the resident firmware (for ">q").
    LoaderCommands(PanelState& state, FrameAssembler& assembler, std::function<void()> restart)
        : state_(state), assembler_(assembler), restart_(std::move(restart)) {}

    // The command a loader-family frame names from its first letters, or "?".
    static std::string CommandName(std::string_view text);

    // A complete frame (between DLE and CR) naming command. Returns whether the frame
    // passed its checks (a refused frame is not answered unless noted).
    bool Handle(const std::string& command, std::span<const std::uint8_t> frame);

    // A memory block was asked for and waits for the PC's ACK.
    bool ReadPending() const { return pendingRead_.has_value(); }
    void CancelRead() { pendingRead_.reset(); }
    // The PC's ACK to a pending read: sends the block (unless the panel is silent).
    void Acknowledged(std::uint8_t ack);
    // A memory write block's data and checksum have arrived.
    void WriteData(std::span<const std::uint8_t> dataAndChecksum);

  private:
    struct PendingRead {
        std::uint32_t address;
        std::uint32_t size;
    };

    bool PasswordMatches(std::span<const std::uint8_t> sent) const;
    void SendBlock(const PendingRead& read);

    PanelState& state_;
    FrameAssembler& assembler_;
    std::function<void()> restart_;
    std::optional<PendingRead> pendingRead_;
    std::uint32_t writeAddress_ = 0;
};

}  // namespace kz::sim

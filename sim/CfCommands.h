// The CF card commands of a simulated panel, in both modes: range and next requests
// (">E", ">EN") answered by a file header or a result, each ACK answered by the next block
// of the offered file, NAK giving the file up; file announcements ("<E") and the blocks
// the PC then sends, header and data, each answered by a go-ahead or a result. The card's
// own bookkeeping is CfCard; this class reads the frames, applies the CF faults and
// writes the answers.
//
// Thread-safety: none; the owner (the panel's engine, under the panel's state lock)
// serialises all calls.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "sim/CfCard.h"

namespace kz::sim {

class FrameAssembler;
class PanelState;

class CfCommands {
  public:
    CfCommands(PanelState& state, FrameAssembler& assembler)
        : state_(state), assembler_(assembler) {}

    // True for the commands this class answers.
    static bool Handles(const std::string& command) {
        return command == ">E" || command == ">EN" || command == "<E";
    }

    // Range, next and announcement frames (between DLE and CR). Returns whether the frame
    // was well formed.
    bool Handle(const std::string& command, std::span<const std::uint8_t> frame);
    // The next block of the offered file: five digits of its length, the data, the
    // checksum.
    void SendBlock();
    // Seven header bytes of a block the PC sends have arrived.
    void BlockHeader(std::span<const std::uint8_t> header);
    // The data and checksum of a block the PC sends have arrived.
    void BlockData(std::span<const std::uint8_t> dataAndChecksum);

  private:
    void ResultAnswer(char result);
    void FileHeader(const CfCard::Offer& offer);

    PanelState& state_;
    FrameAssembler& assembler_;
};

}  // namespace kz::sim

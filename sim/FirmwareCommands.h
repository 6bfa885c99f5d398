// The resident firmware's commands of a simulated panel: identification ("MID"), rate
// change ("COM"), loader download ("PLD") and loader start ("PGO"). Each ESC frame carries
// a checksum over its text; a damaged "MID" goes unanswered, the others answer with a
// refusal.
//
// Thread-safety: none; the owner (the panel's engine, under the panel's state lock)
// serialises all calls.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace kz::sim {

class PanelState;

class FirmwareCommands {
  public:
    explicit FirmwareCommands(PanelState& state) : state_(state) {}

    // The command a firmware frame names from its first letters, or "?".
    static std::string CommandName(std::string_view text);

    // A complete frame (between ESC and CR) naming command. Returns whether the frame
    // passed its checks.
    bool Handle(const std::string& command, std::span<const std::uint8_t> frame);

  private:
    bool LoaderAsExpected() const;

    PanelState& state_;
};

}  // namespace kz::sim

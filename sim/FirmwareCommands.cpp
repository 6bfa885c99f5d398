#include "sim/FirmwareCommands.h"

#include <algorithm>

#include "sim/PanelState.h"
#include "sim/Wire.h"

namespace kz::sim {

std::string FirmwareCommands::CommandName(std::string_view text) {
    for (std::string_view name : {"MID", "COM", "PLD", "PGO"}) {
        if (text.substr(0, 3) == name) {
            return std::string(name);
        }
    }
    return "?";
}

// Firmware frames: ESC, command, parameters, checksum over all of it, CR.
bool FirmwareCommands::Handle(const std::string& command, std::span<const std::uint8_t> frame) {
    const std::string_view text = AsText(frame);
    if (text.size() < 5) {
        return false;
    }
    const bool sumOk = ChecksumText(frame.first(text.size() - 2)) == text.substr(text.size() - 2);
    if (command == "MID") {
        if (!sumOk || text.size() != 5) {
            return false;  // a damaged request goes unanswered
        }
        std::string core = state_.desc.coreId.substr(0, 4);
        core.insert(0, 4 - core.size(), '0');
        state_.AnswerWithChecksum(kEsc, "MID00000" + core);
        return true;
    }
    if (command == "COM") {
        const std::uint32_t rate =
            text.size() == 11 && text.substr(0, 4) == "COM2" && text.substr(5, 4) == "0000"
                ? RateForCode(text[4])
                : 0;
        if (!sumOk || rate == 0) {
            state_.AnswerWithChecksum(kEsc, "COM1");
            return false;
        }
        state_.AnswerWithChecksum(kEsc, "COM0");
        state_.SwitchRate(rate);
        return true;
    }
    if (command == "PLD") {
        std::uint32_t address = 0;
        std::uint32_t length = 0;
        const bool ok = sumOk && text.size() >= 21 && ParseHex(text.substr(3, 8), address) &&
                        ParseHex(text.substr(11, 8), length) && text.size() == 19 + length + 2;
        if (!ok) {
            state_.AnswerWithChecksum(kEsc, "PLD1");
            return false;
        }
        state_.loader.present = true;
        state_.loader.address = address;
        state_.loader.body.assign(frame.begin() + 19, frame.begin() + 19 + length);
        ++state_.counters.loaderDownloads;
        state_.AnswerWithChecksum(kEsc, "PLD0");
        return true;
    }
    // PGO
    std::uint32_t address = 0;
    const bool ok = sumOk && text.size() == 13 && ParseHex(text.substr(3, 8), address) &&
                    state_.loader.present && state_.loader.address == address && LoaderAsExpected();
    if (!ok) {
        state_.AnswerWithChecksum(kEsc, "PGO1");
        return false;
    }
    state_.AnswerWithChecksum(kEsc, "PGO0");
    state_.mode = PanelMode::Loader;
    ++state_.counters.loaderStarts;
    return true;
}

bool FirmwareCommands::LoaderAsExpected() const {
    const auto& file = state_.desc.expectedLoader;
    if (file.empty()) {
        return true;
    }
    if (file.size() < 4) {
        return false;
    }
    const std::uint32_t address = std::uint32_t{file[0]} | std::uint32_t{file[1]} << 8 |
                                  std::uint32_t{file[2]} << 16 | std::uint32_t{file[3]} << 24;
    const LoaderImage& loader = state_.loader;
    return address == loader.address &&
           std::equal(file.begin() + 4, file.end(), loader.body.begin(), loader.body.end());
}

}  // namespace kz::sim

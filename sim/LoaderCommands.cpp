#include "sim/LoaderCommands.h"

#include <algorithm>

#include "platform/SerialDevice.h"
#include "sim/FrameAssembler.h"
#include "sim/PanelState.h"
#include "sim/Wire.h"

namespace kz::sim {

namespace {

// Largest memory block the panel accepts.
constexpr std::uint32_t kMaxBlock = 1u << 20;
// The password travels as each byte plus this offset.
constexpr std::uint8_t kPasswordOffset = 10;

// Register widths 1 and 2 hold one and two bytes; other widths keep all 32 bits.
std::uint32_t MaskWidth(std::uint32_t value, std::uint32_t width) {
    if (width == 1) {
        return value & 0xFF;
    }
    if (width == 2) {
        return value & 0xFFFF;
    }
    return value;
}

}  // namespace

std::string LoaderCommands::CommandName(std::string_view text) {
    for (std::string_view name : {">LS", ">EN"}) {
        if (text.substr(0, 3) == name) {
            return std::string(name);
        }
    }
    for (std::string_view name :
         {">C", ">P", "<O", ">h", ">K", ">X", ">i", "<i", ">m", "<m", ">q", ">Q", ">E", "<E"}) {
        if (text.substr(0, 2) == name) {
            return std::string(name);
        }
    }
    return "?";
}

// Loader-family frames: DLE, direction, command letters, parameters, CR. The password,
// rate, quit and reset commands work in both modes; the rest only once the loader runs.
bool LoaderCommands::Handle(const std::string& command, std::span<const std::uint8_t> frame) {
    const std::string_view text = AsText(frame);
    PanelDescription& desc = state_.desc;
    if (command == ">C") {
        if (text != ">C") {
            return false;
        }
        state_.card.EndTransfers();  // a new session starts
        state_.Answer(kDle, "<C00");
        return true;
    }
    if (command == ">LS") {
        if (text != ">LS00008") {
            return false;
        }
        if (auto stray = state_.faults.StrayProtectionAnswer()) {
            state_.Answer(kDle, *stray);
        }
        state_.Answer(kDle, desc.password.empty() ? "<LS00000" : "<LS00008");
        return true;
    }
    if (command == ">P") {
        if (text.size() != 2 + kPasswordLength) {
            return false;
        }
        const bool right = PasswordMatches(frame.subspan(2, kPasswordLength));
        state_.passwordAccepted = right;
        if (!right) {
            ++state_.counters.passwordsRejected;
        }
        state_.Answer(kDle, right ? "<P00" : "<P01");
        return true;
    }
    if (command == "<O") {
        const std::uint32_t rate = text.size() == 10 && text[2] == '2' &&
                                           text.substr(4, 4) == "0000" &&
                                           ChecksumText(text.substr(2, 6)) == text.substr(8, 2)
                                       ? RateForCode(text[3])
                                       : 0;
        if (rate == 0) {
            state_.Answer(kDle, "<O01");  // refused: the line stays as it is
            return false;
        }
        state_.Answer(kDle, "<O00");
        state_.SwitchRate(rate);
        return true;
    }
    if (command == ">Q") {
        if (text != ">Q") {
            return false;
        }
        state_.card.EndTransfers();
        state_.Answer(kDle, "<Q00");
        return true;
    }
    if (command == ">q") {
        if (text != ">q") {
            return false;
        }
        state_.Answer(kDle, "<q00");
        ++state_.counters.resets;
        restart_();
        state_.Queue(PanelAction{PanelAction::Kind::SetRate, {}, kPowerOnRate, {}});
        return true;
    }
    if (state_.mode != PanelMode::Loader) {
        return false;
    }
    if (command == ">h") {
        if (text != ">h") {
            return false;
        }
        const std::string core = desc.hwCoreId.empty() ? desc.coreId : desc.hwCoreId;
        state_.Answer(kDle, "<h00," + core + "," + HexX(desc.fromSize) + "," + HexX(desc.dramSize) +
                                "," + HexX(desc.sramSize));
        return true;
    }
    if (command == ">K") {
        if (text != ">K ") {
            return false;
        }
        state_.Answer(kDle, "<K" + Hex8(desc.signature1) + ",00");
        return true;
    }
    if (command == ">X") {
        if (text != ">X") {
            return false;
        }
        state_.Answer(kDle, "<X00,0,0,0,0,0,0,0," + Hex8(desc.signature2));
        return true;
    }
    if (command == ">i") {
        std::uint32_t address = 0;
        std::uint32_t width = 0;
        if (text.size() != 12 || !ParseHex(text.substr(2, 8), address) ||
            !ParseDecimal2(text.substr(10, 2), width)) {
            return false;
        }
        const auto it = desc.ioRegisters.find(address);
        std::uint32_t value = MaskWidth(it == desc.ioRegisters.end() ? 0 : it->second, width);
        if (state_.faults.TakeFfIoRead(address)) {
            value = 0xFF;
        }
        state_.Answer(kDle, "<i0" + Hex8(value));
        return true;
    }
    if (command == "<i") {
        std::uint32_t address = 0;
        std::uint32_t width = 0;
        std::uint32_t value = 0;
        if (text.size() != 20 || !ParseHex(text.substr(2, 8), address) ||
            !ParseDecimal2(text.substr(10, 2), width) || !ParseHex(text.substr(12, 8), value)) {
            return false;
        }
        desc.ioRegisters[address] = MaskWidth(value, width);
        state_.Answer(kDle, "<i00");
        return true;
    }
    if (command == ">m" || command == "<m") {
        std::uint32_t address = 0;
        std::uint32_t size = 0;
        if (text.size() != 18 || !ParseHex(text.substr(2, 8), address) ||
            !ParseHex(text.substr(10, 8), size)) {
            return false;
        }
        const bool read = command == ">m";
        if (size > kMaxBlock) {
            state_.Answer(kDle, read ? ">m01" : "<m01");
            return false;
        }
        if (read) {
            state_.Answer(kDle, ">m00");
            pendingRead_ = PendingRead{address, size};
        } else {
            state_.AnswerRaw({kAck, kSub});
            writeAddress_ = address;
            assembler_.CollectWriteData(std::size_t{size} + 2);
        }
        return true;
    }
    return false;
}

bool LoaderCommands::PasswordMatches(std::span<const std::uint8_t> sent) const {
    const std::string& expected = state_.desc.password;
    if (expected.empty()) {
        return true;
    }
    const std::string_view password = std::string_view(expected).substr(0, kPasswordLength);
    for (std::size_t i = 0; i < kPasswordLength; ++i) {
        const std::uint8_t plain =
            i < password.size() ? static_cast<std::uint8_t>(password[i]) : std::uint8_t{0};
        if (sent[i] != static_cast<std::uint8_t>(plain + kPasswordOffset)) {
            return false;
        }
    }
    return true;
}

void LoaderCommands::Acknowledged(std::uint8_t ack) {
    const PendingRead read = *pendingRead_;
    pendingRead_.reset();
    state_.Record("ACK", {ack}, true);
    if (!state_.faults.Silent()) {
        SendBlock(read);
    }
}

void LoaderCommands::SendBlock(const PendingRead& read) {
    std::vector<std::uint8_t> block(std::size_t{read.size} + 2);
    state_.memory.Read(read.address, std::span(block.data(), read.size));
    std::uint8_t checksum = static_cast<std::uint8_t>(-Sum(std::span(block.data(), read.size)));
    ++state_.counters.readBlocks;
    const FaultInjector::ReadBlockFaults faults = state_.faults.NextReadBlock();
    if (faults.corrupt) {
        checksum = static_cast<std::uint8_t>(checksum + 1);
    }
    const std::string cs = Hex2(checksum);
    block[read.size] = static_cast<std::uint8_t>(cs[0]);
    block[read.size + 1] = static_cast<std::uint8_t>(cs[1]);
    if (faults.lineError) {
        state_.Queue(PanelAction{PanelAction::Kind::LineError, {}, platform::CE_FRAME, {}});
        block.erase(block.begin() + static_cast<std::ptrdiff_t>(block.size() / 2));
    }
    state_.AnswerRaw(std::move(block));
}

void LoaderCommands::WriteData(std::span<const std::uint8_t> dataAndChecksum) {
    const std::size_t size = dataAndChecksum.size() - 2;
    const std::span data = dataAndChecksum.first(size);
    const bool good = ChecksumText(data) == AsText(dataAndChecksum.subspan(size));
    std::vector<std::uint8_t> raw(
        dataAndChecksum.begin(),
        dataAndChecksum.begin() + static_cast<std::ptrdiff_t>(
                                      std::min(dataAndChecksum.size(), ReceivedFrame::kRawLimit)));
    state_.Record("DATA", std::move(raw), good, dataAndChecksum.size());
    if (!state_.faults.Silent()) {
        if (good) {
            state_.memory.Write(writeAddress_, data);
            ++state_.counters.writeBlocks;
        } else {
            ++state_.counters.badWriteBlocks;
        }
    }
    state_.Answer(kDle, good ? "<m00" : "<m01");
}

}  // namespace kz::sim

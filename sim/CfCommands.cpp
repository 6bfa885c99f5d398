#include "sim/CfCommands.h"

#include <algorithm>
#include <cstdio>
#include <string_view>

#include "sim/FrameAssembler.h"
#include "sim/PanelState.h"
#include "sim/Wire.h"

namespace kz::sim {

bool CfCommands::Handle(const std::string& command, std::span<const std::uint8_t> frame) {
    const std::string_view text = AsText(frame);
    CfCard& card = state_.card;
    FaultInjector& faults = state_.faults;
    bool malformed = false;
    if (command == "<E") {
        const char result =
            faults.Config().cfNoCard ? kCfResultNoCard : card.Announce(text.substr(2), &malformed);
        if (const auto forced = faults.CfRequest()) {
            card.DropIncoming();
            ResultAnswer(*forced);
        } else if (result != 0) {
            card.DropIncoming();
            ResultAnswer(result);
        } else {
            state_.AnswerRaw({kAck, kSub});
            assembler_.CollectCfHeader();
        }
        return !malformed;
    }
    if (command == ">EN" && text != ">EN") {
        return false;
    }
    CfCard::Offer offer;
    if (faults.Config().cfNoCard) {
        card.EndTransfers();
        offer.result = kCfResultNoCard;
    } else {
        offer = command == ">EN" ? card.NextFile() : card.OpenRange(text.substr(2), &malformed);
    }
    if (const auto forced = faults.CfRequest()) {
        card.StopFile();
        ResultAnswer(*forced);
    } else if (offer.result != 0) {
        ResultAnswer(offer.result);
    } else {
        FileHeader(offer);
    }
    return !malformed;
}

void CfCommands::ResultAnswer(char result) {
    state_.Answer(kDle, std::string("<EE") + result);
}

void CfCommands::FileHeader(const CfCard::Offer& offer) {
    ++state_.counters.cfFilesOffered;
    if (const std::optional<std::string> raw = state_.faults.CfHeader()) {
        state_.Answer(kDle, *raw);
        return;
    }
    char size[16];
    std::snprintf(size, sizeof size, "%010zu", offer.size);
    state_.Answer(kDle, "<E" + offer.stem + size);
}

void CfCommands::SendBlock() {
    if (!state_.faults.CfBlockAllowed()) {
        return;
    }
    const std::span<const std::uint8_t> data = *state_.card.NextBlock();
    const FaultInjector::CfSentBlockFaults faults = state_.faults.NextCfSentBlock();
    ++state_.counters.cfBlocksSent;
    std::vector<std::uint8_t> payload(data.begin(), data.end());
    if (faults.oversizeLength) {
        const std::uint32_t length = *faults.oversizeLength;
        // The file's following bytes first, as a panel that lost track of the length would
        // send them, then filler.
        while (payload.size() < length) {
            const std::optional<std::span<const std::uint8_t>> more = state_.card.NextBlock();
            if (!more) {
                break;
            }
            payload.insert(payload.end(), more->begin(), more->end());
        }
        payload.resize(length, 0x5A);
    }
    const std::string checksum = CfChecksumText(payload);
    if (faults.corrupt && !payload.empty()) {
        payload[0] = static_cast<std::uint8_t>(~payload[0]);
    }
    char length[8];
    std::snprintf(length, sizeof length, "%05zu", payload.size());
    std::vector<std::uint8_t> block(length, length + 5);
    block.insert(block.end(), payload.begin(), payload.end());
    block.insert(block.end(), checksum.begin(), checksum.end());
    state_.AnswerRaw(std::move(block));
}

void CfCommands::BlockHeader(std::span<const std::uint8_t> header) {
    const std::optional<std::uint32_t> length = state_.card.AcceptBlockHeader(header);
    state_.Record("CFHEAD", {header.begin(), header.end()}, length.has_value());
    if (!length) {
        ++state_.counters.cfBadBlocks;
        state_.card.DropIncoming();
        if (!state_.faults.Silent()) {
            ResultAnswer(kCfResultWrite);
        }
        return;
    }
    if (state_.faults.Silent() || !state_.faults.CfBlockAllowed()) {
        state_.card.DropIncoming();
        return;
    }
    state_.AnswerRaw({kAck, kSub});
    assembler_.CollectCfData(std::size_t{*length} + 2);
}

void CfCommands::BlockData(std::span<const std::uint8_t> dataAndChecksum) {
    std::vector<std::uint8_t> damaged;
    if (state_.faults.NextCfReceivedBlockDamaged() && dataAndChecksum.size() > 2) {
        damaged.assign(dataAndChecksum.begin(), dataAndChecksum.end());
        damaged[0] = static_cast<std::uint8_t>(~damaged[0]);
        dataAndChecksum = damaged;
    }
    const CfCard::BlockOutcome outcome = state_.card.AcceptBlockData(dataAndChecksum);
    state_.Record(
        "CFDATA",
        std::vector<std::uint8_t>(
            dataAndChecksum.begin(),
            dataAndChecksum.begin() + static_cast<std::ptrdiff_t>(std::min(
                                          dataAndChecksum.size(), ReceivedFrame::kRawLimit))),
        outcome != CfCard::BlockOutcome::Refused, dataAndChecksum.size());
    // A full block is a request the PC expects a go-ahead or a result for; the last block is
    // answered with the stored answer, or a result when the card refuses it.
    const bool full = dataAndChecksum.size() == std::size_t{kCfBlockSize} + 2;
    const std::optional<char> forced = full ? state_.faults.CfRequest() : std::nullopt;
    switch (outcome) {
        case CfCard::BlockOutcome::Refused:
            ++state_.counters.cfBadBlocks;
            ResultAnswer(forced.value_or(kCfResultWrite));
            return;
        case CfCard::BlockOutcome::Full:
            ++state_.counters.cfBlocksReceived;
            if (forced) {
                state_.card.DropIncoming();
                ResultAnswer(*forced);
                return;
            }
            state_.AnswerRaw({kAck, kSub});
            assembler_.CollectCfHeader();
            return;
        case CfCard::BlockOutcome::Stored:
            ++state_.counters.cfBlocksReceived;
            ++state_.counters.cfFilesStored;
            state_.Answer(kDle, "<E00");
            return;
    }
}

}  // namespace kz::sim

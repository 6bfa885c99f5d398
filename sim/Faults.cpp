#include "sim/Faults.h"

#include <algorithm>

namespace kz::sim {

namespace {

// The most data bytes a CF block header can announce (five decimal digits).
constexpr std::uint32_t kCfMaxAnnounced = 99999;

}  // namespace

std::uint64_t FaultInjector::Random::Next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

bool FaultInjector::Random::Chance(double p) {
    if (p <= 0) {
        return false;
    }
    return static_cast<double>(Next() >> 11) * (1.0 / 9007199254740992.0) < p;
}

void FaultInjector::Set(const FaultConfig& faults) {
    faults_ = faults;
    random_ = Random(faults.seed);
    readBlocksSinceFaults_ = 0;
    framesSinceFaults_ = 0;
    enqsWhileSilent_ = 0;
    ffReadsLeft_ = faults.ffIoReads;
    cfRequestsSinceFaults_ = 0;
    cfHeadersSinceFaults_ = 0;
    cfBlocksSinceFaults_ = 0;
    cfBlocksSentSinceFaults_ = 0;
    cfBlocksReceivedSinceFaults_ = 0;
    cfSilenceFired_ = false;
    strayAnswerSent_ = false;
    silent_ = faults.silentAfterFrames && *faults.silentAfterFrames == 0;
    silenceFired_ = silent_;
}

std::optional<std::string> FaultInjector::StrayProtectionAnswer() {
    if (!faults_.strayProtectionAnswer || strayAnswerSent_) {
        return std::nullopt;
    }
    strayAnswerSent_ = true;
    return faults_.strayProtectionAnswer;
}

void FaultInjector::PowerCycled() {
    silent_ = false;
    enqsWhileSilent_ = 0;
}

bool FaultInjector::Receive(std::uint8_t& b) {
    if (faults_.rxDropRate > 0 && random_.Chance(faults_.rxDropRate)) {
        return false;
    }
    if (faults_.rxGarbleRate > 0 && random_.Chance(faults_.rxGarbleRate)) {
        b ^= random_.FlipMask();
    }
    return true;
}

void FaultInjector::Transmit(std::vector<std::uint8_t>& bytes) {
    if (!(faults_.txDropRate > 0 || faults_.txGarbleRate > 0)) {
        return;
    }
    std::vector<std::uint8_t> sent;
    sent.reserve(bytes.size());
    for (std::uint8_t b : bytes) {
        if (random_.Chance(faults_.txDropRate)) {
            continue;
        }
        if (random_.Chance(faults_.txGarbleRate)) {
            b ^= random_.FlipMask();
        }
        sent.push_back(b);
    }
    bytes = std::move(sent);
}

void FaultInjector::CountFrame() {
    ++framesSinceFaults_;
    if (faults_.silentAfterFrames && !silenceFired_ &&
        framesSinceFaults_ >= *faults_.silentAfterFrames) {
        silent_ = true;
        silenceFired_ = true;
    }
}

bool FaultInjector::EnqWhileSilent() {
    ++enqsWhileSilent_;
    return faults_.powerCycleAfterEnqs != 0 && enqsWhileSilent_ >= faults_.powerCycleAfterEnqs;
}

FaultInjector::ReadBlockFaults FaultInjector::NextReadBlock() {
    const std::uint32_t n = ++readBlocksSinceFaults_;
    auto within = [n](std::uint32_t first, std::uint32_t count) {
        return first != 0 && n >= first && n - first < count;
    };
    return {within(faults_.corruptReadBlock, faults_.corruptReadBlockCount),
            within(faults_.lineErrorReadBlock, faults_.lineErrorReadBlockCount)};
}

bool FaultInjector::TakeFfIoRead(std::uint32_t address) {
    if (ffReadsLeft_ > 0 && (!faults_.ffIoAddress || *faults_.ffIoAddress == address)) {
        --ffReadsLeft_;
        return true;
    }
    return false;
}

std::optional<char> FaultInjector::CfRequest() {
    const std::uint32_t n = ++cfRequestsSinceFaults_;
    if (faults_.cfResultAt != 0 && n == faults_.cfResultAt) {
        return faults_.cfResult;
    }
    return std::nullopt;
}

std::optional<std::string> FaultInjector::CfHeader() {
    const std::uint32_t n = ++cfHeadersSinceFaults_;
    if (faults_.cfRawHeader && n == faults_.cfRawHeaderAt) {
        return faults_.cfRawHeader;
    }
    return std::nullopt;
}

bool FaultInjector::CfBlockAllowed() {
    if (faults_.cfSilentAfterBlocks && !cfSilenceFired_ &&
        cfBlocksSinceFaults_ >= *faults_.cfSilentAfterBlocks) {
        silent_ = true;
        cfSilenceFired_ = true;
        return false;
    }
    ++cfBlocksSinceFaults_;
    return true;
}

FaultInjector::CfSentBlockFaults FaultInjector::NextCfSentBlock() {
    const std::uint32_t n = ++cfBlocksSentSinceFaults_;
    CfSentBlockFaults result;
    if (faults_.cfOversizeBlock != 0 && n == faults_.cfOversizeBlock) {
        result.oversizeLength = std::min(faults_.cfOversizeLength, kCfMaxAnnounced);
    }
    result.corrupt = faults_.cfCorruptBlock != 0 && n == faults_.cfCorruptBlock;
    return result;
}

bool FaultInjector::NextCfReceivedBlockDamaged() {
    const std::uint32_t n = ++cfBlocksReceivedSinceFaults_;
    return faults_.cfDamagedReceivedBlock != 0 && n == faults_.cfDamagedReceivedBlock;
}

}  // namespace kz::sim

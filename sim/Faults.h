// The faults of a simulated panel at work: holds the FaultConfig a test set, counts the
// blocks, frames and requests it refers to, draws the repeatable random byte faults, and
// tracks the silence the faults impose. The command sets ask it, at each point where a
// fault may strike, whether it does.
//
// Thread-safety: none; the owner (the panel's engine, under the panel's state lock)
// serialises all calls.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim/Panel.h"

namespace kz::sim {

class FaultInjector {
  public:
    FaultInjector() { Set({}); }

    // Takes new faults: every count starts again and the silence is decided afresh.
    void Set(const FaultConfig& faults);
    const FaultConfig& Config() const { return faults_; }

    // True while the panel answers nothing.
    bool Silent() const { return silent_; }
    // A power cycle ends the silence; triggers that fired stay spent.
    void PowerCycled();

    // A received byte: false when it is lost, else b, possibly garbled.
    bool Receive(std::uint8_t& b);
    // Bytes about to be sent: some may be lost or garbled.
    void Transmit(std::vector<std::uint8_t>& bytes);

    // A complete ASCII frame was taken in; may make the panel fall silent.
    void CountFrame();
    // An ENQ arrived while silent: true when the panel should now power cycle by itself.
    bool EnqWhileSilent();

    struct ReadBlockFaults {
        bool corrupt = false;    // send a wrong checksum
        bool lineError = false;  // flag a framing error at the PC and lose a byte
    };
    // A memory read block is about to go out.
    ReadBlockFaults NextReadBlock();
    // An I/O register read at address: true when it should answer 000000FF.
    bool TakeFfIoRead(std::uint32_t address);

    // The stray answer to send once before the first answer to the protection query, if any.
    std::optional<std::string> StrayProtectionAnswer();

    // Counts a CF request and returns the result the faults put in its place, if any.
    std::optional<char> CfRequest();
    // Counts a CF file header and returns the payload that replaces it, if any.
    std::optional<std::string> CfHeader();
    // Counts a CF block about to be handled; false when the panel falls silent instead.
    bool CfBlockAllowed();

    struct CfSentBlockFaults {
        std::optional<std::uint32_t> oversizeLength;  // announce and send this many bytes
        bool corrupt = false;                         // invert the first data byte
    };
    // A CF block from the PC is about to be checked: true when it arrived damaged.
    bool NextCfReceivedBlockDamaged();
    // A CF block is about to be sent to the PC.
    CfSentBlockFaults NextCfSentBlock();

  private:
    // splitmix64: a small, portable, seeded generator, so fault runs repeat exactly.
    class Random {
      public:
        explicit Random(std::uint64_t seed = 1) : state_(seed) {}
        std::uint64_t Next();
        // True with probability p.
        bool Chance(double p);
        // A nonzero byte to flip bits with.
        std::uint8_t FlipMask() { return static_cast<std::uint8_t>(Next() % 255 + 1); }

      private:
        std::uint64_t state_;
    };

    FaultConfig faults_;
    Random random_;
    std::uint32_t readBlocksSinceFaults_ = 0;
    std::uint32_t framesSinceFaults_ = 0;
    std::uint32_t enqsWhileSilent_ = 0;
    std::uint32_t ffReadsLeft_ = 0;
    std::uint32_t cfRequestsSinceFaults_ = 0;
    std::uint32_t cfHeadersSinceFaults_ = 0;
    std::uint32_t cfBlocksSinceFaults_ = 0;      // sent and received
    std::uint32_t cfBlocksSentSinceFaults_ = 0;  // sent only
    std::uint32_t cfBlocksReceivedSinceFaults_ = 0;
    bool silent_ = false;
    bool silenceFired_ = false;
    bool cfSilenceFired_ = false;
    bool strayAnswerSent_ = false;
};

}  // namespace kz::sim

// A simulated KZ panel serving one serial device: the resident firmware at power-on
// (9600 bit/s), the transfer loader once the PC has downloaded and started it, the
// password exchange, memory and I/O transfers, the CF card's file transfers in both
// directions, and the faults a test may ask for.
//
// The panel runs on its own thread between Start() and Stop() (the destructor stops it).
// It answers what it receives; it never speaks first.
//
// Thread-safety: every public method may be called from any thread while the panel runs,
// except Start(), Stop() and Running(), which belong to the owner's thread. The Options
// callbacks run on the panel's thread and must not call PowerCycle() or Stop().
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "platform/SerialDevice.h"
#include "sim/CfCard.h"
#include "sim/PanelDescription.h"
#include "sim/PanelMemory.h"

namespace kz::sim {

struct PanelAction;
class PanelEngine;

enum class PanelMode {
    Firmware,    // resident firmware: power-on state, and after a reset or power cycle
    Loader,      // the downloaded loader runs
    PoweredOff,  // between the two halves of a power cycle: nothing is received or sent
};

const char* PanelModeName(PanelMode mode);

// One thing the panel received, as it decoded it.
struct ReceivedFrame {
    // "ENQ", "ACK", "MID", "COM", "PLD", "PGO", ">C", ">LS", ">P", "<O", ">h", ">K", ">X",
    // ">i", "<i", ">m", "<m", ">q", ">Q", "DATA" (a memory write block), the CF card's
    // ">E" (range request), ">EN" (next request), "NAK" (the PC gives up a file), "<E" (file
    // announcement), "CFHEAD" (block header of an announced file) and "CFDATA" (its block
    // data with checksum), or "?" for a frame the panel does not know. An "ACK" is valid
    // when it asked for a memory or CF block.
    std::string command;
    std::vector<std::uint8_t> raw;  // the bytes as received, cut to kRawLimit
    std::size_t size = 0;           // the full length of the frame in bytes
    bool valid = true;              // false: bad checksum or length, or unknown command
    PanelMode mode = PanelMode::Firmware;
    static constexpr std::size_t kRawLimit = 256;
};

struct PanelCounters {
    std::uint64_t bytesReceived = 0;  // every byte read from the device
    std::uint64_t bytesSent = 0;      // every byte handed to the device
    std::uint64_t ignoredBytes = 0;   // bytes outside any frame (noise, garbled bytes)
    std::uint32_t enqs = 0;
    std::uint32_t frames = 0;     // complete frames, valid or not (ENQ and ACK excluded)
    std::uint32_t badFrames = 0;  // frames that failed their checksum or length check
    std::uint32_t readBlocks = 0;
    std::uint32_t writeBlocks = 0;     // write blocks stored
    std::uint32_t badWriteBlocks = 0;  // write blocks refused for their checksum
    std::uint32_t breaks = 0;
    std::uint32_t rateChanges = 0;
    std::uint32_t loaderDownloads = 0;
    std::uint32_t loaderStarts = 0;
    std::uint32_t resets = 0;
    std::uint32_t powerCycles = 0;
    std::uint32_t passwordsRejected = 0;
    std::uint32_t cfFilesOffered = 0;    // file headers sent to the PC
    std::uint32_t cfBlocksSent = 0;      // CF blocks sent to the PC
    std::uint32_t cfBlocksReceived = 0;  // CF blocks taken with a good checksum
    std::uint32_t cfBadBlocks = 0;       // CF block headers or data refused
    std::uint32_t cfFilesStored = 0;     // files the PC sent completely
};

// Faults, settable before or during a run (SetFaults). Block and frame counts start from the
// moment the faults are set.
struct FaultConfig {
    // Memory read blocks number corruptReadBlock .. corruptReadBlock + corruptReadBlockCount - 1
    // (1-based; 0 = none) go out with a wrong checksum.
    std::uint32_t corruptReadBlock = 0;
    std::uint32_t corruptReadBlockCount = 1;
    // For memory read blocks lineErrorReadBlock .. (+ lineErrorReadBlockCount - 1) the panel
    // asks the line-error hook to flag CE_FRAME at the PC and sends the block one byte short,
    // as a byte lost to a framing error would leave it.
    std::uint32_t lineErrorReadBlock = 0;
    std::uint32_t lineErrorReadBlockCount = 1;
    // Per-byte probabilities (0..1) of dropping or garbling a received or sent byte, drawn from
    // a generator seeded with seed, so a run is repeatable.
    double rxDropRate = 0;
    double rxGarbleRate = 0;
    double txDropRate = 0;
    double txGarbleRate = 0;
    std::uint64_t seed = 1;
    // After this many frames (ENQ and ACK not counted; 0 = at once) the panel answers nothing
    // until it is power cycled or the faults are set again. A power cycle ends the silence
    // for good (the trigger fires once).
    std::optional<std::uint32_t> silentAfterFrames;
    // While silent: power cycle by itself after this many ENQ probes (0 = never).
    std::uint32_t powerCycleAfterEnqs = 0;
    // How long an automatic power cycle keeps the panel off (CTS low at the PC).
    std::chrono::milliseconds powerOffTime{500};
    // Waited (on the process clock) before each answer.
    std::chrono::milliseconds answerDelay{0};
    // The first ffIoReads register reads answer 000000FF, at ffIoAddress only when it is set,
    // else at any address.
    std::uint32_t ffIoReads = 0;
    std::optional<std::uint32_t> ffIoAddress;

    // CF card faults. "CF requests" are the frames answered by a file header, a go-ahead or
    // a result: range and next requests, file announcements and full blocks of data.
    // Every CF request is answered as if the card had been taken out (result "E").
    bool cfNoCard = false;
    // CF request number cfResultAt (1-based; 0 = none) is answered with the result answer
    // carrying cfResult ("F".."I" for card errors, "0", or anything else) instead of what the
    // card would answer; a file announced or offered by that request is not transferred.
    std::uint32_t cfResultAt = 0;
    char cfResult = 'F';
    // The payload of file header number cfRawHeaderAt (1-based) is replaced by cfRawHeader,
    // sent between DLE and CR SUB as it is (for hostile stems and sizes). The blocks that
    // follow are those of the real file.
    std::optional<std::string> cfRawHeader;
    std::uint32_t cfRawHeaderAt = 1;
    // Sent block number cfOversizeBlock (1-based; 0 = none) announces cfOversizeLength data
    // bytes (at most 99999) and carries that many: the file's next bytes, then filler.
    std::uint32_t cfOversizeBlock = 0;
    std::uint32_t cfOversizeLength = 65281;
    // Sent block number cfCorruptBlock (1-based; 0 = none) has its first data byte inverted;
    // its checksum is that of the true data.
    std::uint32_t cfCorruptBlock = 0;
    // Received block number cfDamagedReceivedBlock (1-based; 0 = none) arrives with its first
    // data byte inverted, as line noise would leave it: its checksum fails and the card
    // refuses it.
    std::uint32_t cfDamagedReceivedBlock = 0;
    // After this many CF blocks (sent and received together) the panel goes silent, as with
    // silentAfterFrames: a block request for the next block, or the header of the next
    // block the PC sends, goes unanswered.
    std::optional<std::uint32_t> cfSilentAfterBlocks;
    // Sent once, just before the first answer to the protection query ">LS00008", as an
    // answer payload (between DLE and CR SUB): an answer left over from another request.
    std::optional<std::string> strayProtectionAnswer;
};

struct LoaderImage {
    bool present = false;
    std::uint32_t address = 0;
    std::vector<std::uint8_t> body;
};

class Panel {
  public:
    struct Options {
        // Called when a fault asks for a line error at the PC end (CE_* bits), before the
        // affected block is written. Typically
        // [link](std::uint32_t ce) { link->InjectLineError(End::Pc, ce); }.
        std::function<void(std::uint32_t)> lineErrorHook;
        // Called for every received frame, after it was handled.
        std::function<void(const ReceivedFrame&)> onFrame;
        // A partly received frame is dropped when no byte arrived for this long (0 = never).
        // For devices that cannot see a break, such as a pseudo-terminal.
        std::chrono::milliseconds idleReset{0};
        // Most recent frames kept for Frames(); older ones are dropped.
        std::size_t recordLimit = 10000;
    };

    // The panel takes the device; description patches are applied to the memory at once.
    Panel(std::unique_ptr<platform::ISerialDevice> device, PanelDescription description);
    Panel(std::unique_ptr<platform::ISerialDevice> device, PanelDescription description,
          Options options);
    ~Panel();
    Panel(const Panel&) = delete;
    Panel& operator=(const Panel&) = delete;

    // Sets the line to 9600 bit/s 8N1 with RTS and DTR on and starts serving. Returns false
    // when the device refuses the line settings or the panel already runs.
    bool Start();
    // Ends serving and joins the thread; the panel's state stays readable. Safe to call twice.
    void Stop();
    bool Running() const;

    // Memory, for assertions and set-up.
    std::vector<std::uint8_t> ReadMemory(std::uint32_t address, std::size_t size) const;
    bool MemoryEquals(std::uint32_t address, std::span<const std::uint8_t> expected) const;
    // False when address lies outside every region (nothing is stored).
    bool SetMemoryByte(std::uint32_t address, std::uint8_t value);
    std::size_t MemoryPagesInUse() const;
    std::uint32_t IoRegister(std::uint32_t address) const;

    LoaderImage Loader() const;
    PanelMode Mode() const;
    std::uint32_t Rate() const;
    bool PasswordAccepted() const;
    bool Silent() const;

    // The CF card. Files are keyed by card file name ("ZI00001.BIN"); changes made while a
    // transfer runs take effect with the next file header (a file being sent was copied when
    // its header went out).
    CfFiles CfCardFiles() const;
    // Nullopt when the card has no such file.
    std::optional<std::vector<std::uint8_t>> CfCardFile(const std::string& name) const;
    void SetCfCardFile(const std::string& name, std::vector<std::uint8_t> bytes);
    // False when there was no such file.
    bool RemoveCfCardFile(const std::string& name);
    bool CfCardPresent() const;
    // Taking the card out ends any transfer; requests are then answered "no card".
    void SetCfCardPresent(bool present);

    // The most recent frames received (at most Options::recordLimit), oldest first.
    std::vector<ReceivedFrame> Frames() const;
    // Commands of Frames() only, for compact assertions.
    std::vector<std::string> Commands() const;
    void ClearFrames();
    PanelCounters Counters() const;

    void SetFaults(const FaultConfig& faults);
    FaultConfig Faults() const;

    // Switches the panel off (RTS and DTR drop, so the PC sees CTS off), waits offTime on the
    // process clock, and switches it on again: resident firmware at 9600 bit/s, no loader,
    // no password accepted, input received meanwhile discarded, silence ended. Blocks the
    // caller for offTime.
    void PowerCycle(std::chrono::milliseconds offTime = std::chrono::milliseconds(500));

  private:
    void Run(std::stop_token stop);
    void Service(std::uint32_t events);
    void Execute(std::vector<PanelAction>& actions);
    bool ApplyLine(std::uint32_t rate, bool powered);
    void PowerOff();
    void PowerOn();

    std::unique_ptr<platform::ISerialDevice> device_;
    Options options_;
    static constexpr std::uint32_t kEventMask =
        platform::EV_RXCHAR | platform::EV_BREAK | platform::EV_ERR;

    // Serialises device calls other than WaitEvent (the panel thread and PowerCycle).
    // Taken before stateMutex_ when both are needed.
    std::mutex ioMutex_;
    mutable std::mutex stateMutex_;
    std::unique_ptr<PanelEngine> engine_;  // guarded by stateMutex_
    std::uint32_t lineRate_ = 9600;        // the rate the device is set to; guarded by stateMutex_

    std::mutex runMutex_;
    std::condition_variable runCv_;
    bool threadDone_ = true;  // guarded by runMutex_
    std::jthread thread_;
};

}  // namespace kz::sim

// Frame assembly of a simulated panel: turns received bytes into the units the engine
// acts on. ESC frames (firmware mode only) and DLE frames run up to CR, except the parts
// whose length a frame announces (the loader body of "PLD", the 24 bytes of ">P"); binary
// runs (a memory write block, a CF block header, a CF block's data) are collected once a
// command handler asks for them. Bytes outside any frame are handed on one by one. The
// receive states are drawn at the top of PanelEngine.cpp.
//
// Thread-safety: none; the owner (the panel's engine, under the panel's state lock)
// serialises all calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace kz::sim {

class FrameAssembler {
  public:
    enum class Unit {
        FirmwareFrame,         // ESC frame up to CR; the unit holds the bytes between
        LoaderFrame,           // DLE frame up to CR; the unit holds the bytes between
        BadLoadHeader,         // "PLD" header whose body length is no hex or too large
        UnterminatedLoad,      // "PLD" of the announced length not ending in CR,
        UnterminatedPassword,  // ">P" of its fixed length not ending in CR; both
                               // without their last byte
        WriteData,             // a memory write block: data and two checksum characters
        CfHeader,              // a CF block header: five digits and their checksum
        CfData,                // a CF block: data and two checksum characters
    };

    // Receives what the assembler finds, in the order of the bytes. The span of a unit is
    // valid until the handler returns; when the handler returns, the assembler is idle
    // unless the handler asked it to collect binary data.
    class Sink {
      public:
        // A byte outside any frame that starts none: ENQ, ACK, NAK or a stray byte.
        virtual void OnByte(std::uint8_t b) = 0;
        // DLE or ESC opened a frame.
        virtual void OnFrameStart() = 0;
        // This many bytes of a partial frame were thrown away as noise.
        virtual void OnNoise(std::size_t count) = 0;
        // The wait for a CF block header ended with a frame start or ENQ: the PC gave up
        // the file.
        virtual void OnCfWaitAbandoned() = 0;
        virtual void OnUnit(Unit unit, std::span<const std::uint8_t> bytes) = 0;

      protected:
        ~Sink() = default;
    };

    explicit FrameAssembler(Sink& sink) : sink_(sink) {}

    // One received byte. escStartsFrame: ESC opens a frame (the resident firmware runs).
    void Push(std::uint8_t b, bool escStartsFrame);
    // Drops a partial frame or binary run.
    void Reset();

    // Asks for binary data next, in place of the frame being handled.
    void CollectWriteData(std::size_t length);  // data and checksum
    void CollectCfHeader();
    void CollectCfData(std::size_t length);  // data and checksum

    // A frame or binary run has begun. Waiting for a CF block header is none: the PC may
    // take its time (a slow answer of the panel's own included), and a frame start ends
    // the wait anyway.
    bool Partial() const;
    // A CF block header or data is expected or being collected.
    bool ReceivingCf() const { return state_ == State::CfHeader || state_ == State::CfData; }

  private:
    enum class State { Idle, Esc, Dle, WriteData, CfHeader, CfData };

    void Idle(std::uint8_t b, bool escStartsFrame);
    void Text(std::uint8_t b, bool escStartsFrame);
    void Collect(State state, std::size_t length);
    void HandOver(Unit unit);
    bool StartsWith(std::string_view prefix) const;

    Sink& sink_;
    State state_ = State::Idle;
    std::vector<std::uint8_t> frame_;   // bytes after the start byte
    std::size_t expected_ = 0;          // 0: up to CR; else the full length to collect
    std::vector<std::uint8_t> handed_;  // the unit being handled
};

// The frame as it was on the wire: start byte, body (cut to what a ReceivedFrame keeps),
// and CR when cr is set.
std::vector<std::uint8_t> FrameWithStart(std::uint8_t start, std::span<const std::uint8_t> body,
                                         bool cr = true);

}  // namespace kz::sim

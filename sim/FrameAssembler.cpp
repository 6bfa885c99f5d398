#include "sim/FrameAssembler.h"

#include <algorithm>
#include <string_view>

#include "sim/Panel.h"
#include "sim/Wire.h"

namespace kz::sim {

namespace {

// The largest ASCII frame the panel assembles; longer ones are noise.
constexpr std::size_t kMaxTextFrame = 512;
// Largest loader body the panel accepts.
constexpr std::uint32_t kMaxLoaderBody = 1u << 20;
// A "PLD" header: command, eight hex digits of the address and eight of the body length.
constexpr std::size_t kLoadHeaderLength = 19;
// A CF block header: five decimal digits of the data length and their checksum.
constexpr std::size_t kCfHeaderLength = 7;

bool StartsFrame(std::uint8_t b, bool escStartsFrame) {
    return b == kDle || (b == kEsc && escStartsFrame);
}

}  // namespace

void FrameAssembler::Push(std::uint8_t b, bool escStartsFrame) {
    switch (state_) {
        case State::Idle:
            Idle(b, escStartsFrame);
            return;
        case State::Esc:
        case State::Dle:
            Text(b, escStartsFrame);
            return;
        case State::WriteData:
            frame_.push_back(b);
            if (frame_.size() == expected_) {
                HandOver(Unit::WriteData);
            }
            return;
        case State::CfHeader:
            // A frame start instead of a header: the PC gave up the file.
            if (frame_.empty() && (b == kEnq || StartsFrame(b, escStartsFrame))) {
                Reset();
                sink_.OnCfWaitAbandoned();
                Idle(b, escStartsFrame);
                return;
            }
            frame_.push_back(b);
            if (frame_.size() == kCfHeaderLength) {
                HandOver(Unit::CfHeader);
            }
            return;
        case State::CfData:
            frame_.push_back(b);
            if (frame_.size() == expected_) {
                HandOver(Unit::CfData);
            }
            return;
    }
}

void FrameAssembler::Reset() {
    state_ = State::Idle;
    frame_.clear();
    expected_ = 0;
}

void FrameAssembler::CollectWriteData(std::size_t length) {
    Collect(State::WriteData, length);
}

void FrameAssembler::CollectCfHeader() {
    Collect(State::CfHeader, 0);
}

void FrameAssembler::CollectCfData(std::size_t length) {
    Collect(State::CfData, length);
}

bool FrameAssembler::Partial() const {
    return state_ != State::Idle && !(state_ == State::CfHeader && frame_.empty());
}

void FrameAssembler::Idle(std::uint8_t b, bool escStartsFrame) {
    if (StartsFrame(b, escStartsFrame)) {
        state_ = b == kDle ? State::Dle : State::Esc;
        frame_.clear();
        expected_ = 0;
        sink_.OnFrameStart();
        return;
    }
    sink_.OnByte(b);
}

// ESC and DLE frames: ASCII up to CR, except the parts announced by length.
void FrameAssembler::Text(std::uint8_t b, bool escStartsFrame) {
    if (expected_ == 0) {
        // Start bytes and the probe never occur inside an ASCII frame: what came before
        // them was noise.
        if (b == kEnq || StartsFrame(b, escStartsFrame)) {
            sink_.OnNoise(frame_.size() + 1);
            Reset();
            Idle(b, escStartsFrame);
            return;
        }
        frame_.push_back(b);
        if (b == kCr) {
            frame_.pop_back();
            HandOver(state_ == State::Esc ? Unit::FirmwareFrame : Unit::LoaderFrame);
            return;
        }
        if (state_ == State::Esc && frame_.size() == kLoadHeaderLength && StartsWith("PLD")) {
            // Header complete: the body length is announced, the body is binary.
            std::uint32_t length = 0;
            const std::string_view field(reinterpret_cast<const char*>(frame_.data()) + 11, 8);
            if (!ParseHex(field, length) || length > kMaxLoaderBody) {
                HandOver(Unit::BadLoadHeader);
                return;
            }
            expected_ = kLoadHeaderLength + std::size_t{length} + 2 + 1;
        } else if (state_ == State::Dle && frame_.size() == 2 && StartsWith(">P")) {
            expected_ = 2 + kPasswordLength + 1;
        } else if (frame_.size() > kMaxTextFrame) {
            sink_.OnNoise(frame_.size() + 1);
            Reset();
        }
        return;
    }
    frame_.push_back(b);
    if (frame_.size() == expected_) {
        const bool endsWithCr = frame_.back() == kCr;
        frame_.pop_back();
        if (endsWithCr) {
            HandOver(state_ == State::Esc ? Unit::FirmwareFrame : Unit::LoaderFrame);
        } else {
            HandOver(state_ == State::Esc ? Unit::UnterminatedLoad : Unit::UnterminatedPassword);
        }
    }
}

void FrameAssembler::Collect(State state, std::size_t length) {
    state_ = state;
    frame_.clear();
    expected_ = length;
}

void FrameAssembler::HandOver(Unit unit) {
    handed_.swap(frame_);
    Reset();
    sink_.OnUnit(unit, handed_);
}

bool FrameAssembler::StartsWith(std::string_view prefix) const {
    return frame_.size() >= prefix.size() &&
           std::equal(prefix.begin(), prefix.end(), frame_.begin());
}

std::vector<std::uint8_t> FrameWithStart(std::uint8_t start, std::span<const std::uint8_t> body,
                                         bool cr) {
    std::vector<std::uint8_t> raw;
    raw.reserve(std::min(body.size() + 2, ReceivedFrame::kRawLimit));
    raw.push_back(start);
    raw.insert(raw.end(), body.begin(),
               body.begin() + static_cast<std::ptrdiff_t>(
                                  std::min(body.size(), ReceivedFrame::kRawLimit - 2)));
    if (cr) {
        raw.push_back(kCr);
    }
    return raw;
}

}  // namespace kz::sim

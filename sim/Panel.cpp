// The simulated panel. The protocol side (Engine) is a pure state machine: it takes
// received bytes and produces actions (write these bytes, switch the line rate, flag a line
// error, power cycle); the Panel executes them on the device, in order, outside the state
// lock. Rate switches are actions placed after the answer they follow, so the line changes
// only once the answer has been handed to the device, as on a real panel.
//
//   power on ──► Firmware (9600) ──PLD + PGO──► Loader ──">q"──► Firmware (9600)
//                    ▲                             │
//                    └──────── power cycle ◄───────┘   break: 9600, frame dropped, mode kept
//
// Receive states of the frame assembler:
//
//   Idle ──ESC (firmware mode)──► Esc ──CR──► dispatch       ("PLD": by announced length)
//   Idle ──DLE──────────────────► Dle ──CR──► dispatch       (">P": by its 24-byte length)
//   Dle "<m" dispatched ────────► WriteData ──size + 2 bytes──► check, store, answer
//   Idle ──ENQ──► answer ETX/EOT SUB;  Idle ──ACK after ">m"──► memory block
//   Idle ──ACK while a CF file is offered──► its next block;  Idle ──NAK──► file dropped
//   Dle "<E" go-ahead ──► CfHeader ──7 bytes──► go-ahead ──► CfData ──length + 2 bytes──►
//       full block: go-ahead, CfHeader again;  short block: file stored, final answer
//   A start byte or ENQ inside an ASCII frame drops what came before it and is taken as
//   usual; a break or an idle gap drops a partial frame.
#include "sim/Panel.h"

#include <algorithm>
#include <cstdio>
#include <deque>

#include "platform/Clock.h"

namespace kz::sim {

namespace {

constexpr std::uint8_t kEtx = 0x03;
constexpr std::uint8_t kEot = 0x04;
constexpr std::uint8_t kEnq = 0x05;
constexpr std::uint8_t kAck = 0x06;
constexpr std::uint8_t kCr = 0x0D;
constexpr std::uint8_t kDle = 0x10;
constexpr std::uint8_t kNak = 0x15;
constexpr std::uint8_t kSub = 0x1A;
constexpr std::uint8_t kEsc = 0x1B;

constexpr std::uint32_t kPowerOnRate = 9600;
// The largest ASCII frame the panel assembles; longer ones are noise.
constexpr std::size_t kMaxTextFrame = 512;
// Largest loader body and memory block the panel accepts.
constexpr std::uint32_t kMaxLoaderBody = 1u << 20;
constexpr std::uint32_t kMaxBlock = 1u << 20;
// A CF block header: five decimal digits of the data length and their checksum.
constexpr std::size_t kCfHeaderLength = 7;
constexpr std::uint32_t kCfMaxAnnounced = 99999;
// Password frame: ">P", 24 encoded bytes, CR.
constexpr std::size_t kPasswordLength = 24;
constexpr std::uint8_t kPasswordOffset = 10;

std::uint8_t Sum(std::span<const std::uint8_t> bytes) {
    std::uint8_t sum = 0;
    for (std::uint8_t b : bytes) {
        sum = static_cast<std::uint8_t>(sum + b);
    }
    return sum;
}

std::string Hex2(std::uint8_t v) {
    char text[3];
    std::snprintf(text, sizeof text, "%02X", static_cast<unsigned>(v));
    return text;
}

std::string Hex8(std::uint32_t v) {
    char text[9];
    std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(v));
    return text;
}

std::string HexX(std::uint32_t v) {
    char text[9];
    std::snprintf(text, sizeof text, "%X", static_cast<unsigned>(v));
    return text;
}

// Two checksum characters: the negated 8-bit sum of bytes.
std::string ChecksumText(std::span<const std::uint8_t> bytes) {
    return Hex2(static_cast<std::uint8_t>(-Sum(bytes)));
}

std::string ChecksumText(std::string_view text) {
    return ChecksumText(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

// Upper- or lower-case hex of exactly the given text, at most 8 digits.
bool ParseHex(std::string_view text, std::uint32_t& value) {
    if (text.empty() || text.size() > 8) {
        return false;
    }
    std::uint32_t v = 0;
    for (char c : text) {
        std::uint32_t digit;
        if (c >= '0' && c <= '9') {
            digit = static_cast<std::uint32_t>(c - '0');
        } else if (c >= 'A' && c <= 'F') {
            digit = static_cast<std::uint32_t>(c - 'A' + 10);
        } else if (c >= 'a' && c <= 'f') {
            digit = static_cast<std::uint32_t>(c - 'a' + 10);
        } else {
            return false;
        }
        v = v * 16 + digit;
    }
    value = v;
    return true;
}

bool ParseDecimal2(std::string_view text, std::uint32_t& value) {
    if (text.size() != 2 || text[0] < '0' || text[0] > '9' || text[1] < '0' || text[1] > '9') {
        return false;
    }
    value = static_cast<std::uint32_t>((text[0] - '0') * 10 + (text[1] - '0'));
    return true;
}

// Rate-change codes of both families.
std::uint32_t RateForCode(char code) {
    switch (code) {
        case '2':
            return 9600;
        case '1':
            return 19200;
        case '0':
            return 38400;
        case '6':
            return 115200;
        default:
            return 0;
    }
}

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

// splitmix64: a small, portable, seeded generator, so fault runs repeat exactly.
class Random {
  public:
    explicit Random(std::uint64_t seed = 1) : state_(seed) {}
    std::uint64_t Next() {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // True with probability p.
    bool Chance(double p) {
        if (p <= 0) {
            return false;
        }
        return static_cast<double>(Next() >> 11) * (1.0 / 9007199254740992.0) < p;
    }
    // A nonzero byte to flip bits with.
    std::uint8_t FlipMask() { return static_cast<std::uint8_t>(Next() % 255 + 1); }

  private:
    std::uint64_t state_;
};

}  // namespace

const char* PanelModeName(PanelMode mode) {
    switch (mode) {
        case PanelMode::Firmware:
            return "firmware";
        case PanelMode::Loader:
            return "loader";
        case PanelMode::PoweredOff:
            return "off";
    }
    return "?";
}

struct Panel::Action {
    enum class Kind { Write, SetRate, LineError, PowerCycle };
    Kind kind = Kind::Write;
    std::vector<std::uint8_t> bytes;    // Write
    std::uint32_t value = 0;            // SetRate: bit/s; LineError: CE_* bits
    std::chrono::milliseconds time{0};  // Write: delay before; PowerCycle: time off
};

// The panel's protocol state. Every method runs under the panel's state lock.
class Panel::Engine {
  public:
    Engine(PanelDescription description, const Options& options)
        : desc_(std::move(description)),
          memory_(desc_.regions),
          card_(desc_.cfCardPresent, std::move(desc_.cfFiles)),
          options_(options) {
        for (const MemoryPatch& patch : desc_.patches) {
            memory_.Write(patch.address, patch.bytes);
        }
        SetFaults({});
    }

    // Decodes received bytes, appending the resulting actions and frames.
    void Feed(std::span<const std::uint8_t> bytes, std::uint32_t tick, std::vector<Action>& out,
              std::vector<ReceivedFrame>& frames) {
        out_ = &out;
        frames_ = &frames;
        counters_.bytesReceived += bytes.size();
        for (std::uint8_t b : bytes) {
            if (mode_ == PanelMode::PoweredOff || powerCycleQueued_) {
                ++counters_.ignoredBytes;
                continue;
            }
            if (faults_.rxDropRate > 0 && random_.Chance(faults_.rxDropRate)) {
                continue;
            }
            if (faults_.rxGarbleRate > 0 && random_.Chance(faults_.rxGarbleRate)) {
                b ^= random_.FlipMask();
            }
            if (options_.idleReset.count() > 0 && (PartialFrame() || pendingRead_) &&
                tick - lastByteTick_ > static_cast<std::uint32_t>(options_.idleReset.count())) {
                DropFrame();
            }
            lastByteTick_ = tick;
            Byte(b);
        }
        out_ = nullptr;
        frames_ = nullptr;
    }

    void OnBreak() {
        if (mode_ == PanelMode::PoweredOff) {
            return;
        }
        ++counters_.breaks;
        DropFrame();
        rate_ = kPowerOnRate;
    }

    void PowerOff() {
        mode_ = PanelMode::PoweredOff;
        DropFrame();
    }

    void PowerOn() {
        Restart();
        silent_ = false;
        powerCycleQueued_ = false;
        enqsWhileSilent_ = 0;
        ++counters_.powerCycles;
    }

    void SetFaults(const FaultConfig& faults) {
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
        cfSilenceFired_ = false;
        strayAnswerSent_ = false;
        silent_ = faults.silentAfterFrames && *faults.silentAfterFrames == 0;
        silenceFired_ = silent_;
    }

    const FaultConfig& Faults() const { return faults_; }
    PanelMemory& Memory() { return memory_; }
    const PanelMemory& Memory() const { return memory_; }
    CfCard& Card() { return card_; }
    const CfCard& Card() const { return card_; }
    const LoaderImage& Loader() const { return loader_; }
    PanelMode Mode() const { return mode_; }
    bool PasswordAccepted() const { return passwordAccepted_; }
    bool Silent() const { return silent_; }
    const PanelCounters& Counters() const { return counters_; }
    const std::deque<ReceivedFrame>& Record() const { return record_; }
    void ClearRecord() { record_.clear(); }
    std::uint32_t IoRegister(std::uint32_t address) const {
        auto it = desc_.ioRegisters.find(address);
        return it == desc_.ioRegisters.end() ? 0 : it->second;
    }

  private:
    enum class Rx { Idle, Esc, Dle, WriteData, CfHeader, CfData };

    struct PendingRead {
        std::uint32_t address;
        std::uint32_t size;
    };

    void Restart() {
        mode_ = PanelMode::Firmware;
        rate_ = kPowerOnRate;
        loader_ = {};
        passwordAccepted_ = false;
        DropFrame();
        card_.EndTransfers();
    }

    // Waiting for the header of a CF block is no partial frame: the PC may take its time
    // (a slow answer of the panel's own included), and a frame start ends the wait anyway.
    bool PartialFrame() const {
        return rx_ != Rx::Idle && !(rx_ == Rx::CfHeader && frame_.empty());
    }

    void DropFrame() {
        if (rx_ == Rx::CfHeader || rx_ == Rx::CfData) {
            card_.DropIncoming();
        }
        rx_ = Rx::Idle;
        frame_.clear();
        expected_ = 0;
        pendingRead_.reset();
    }

    // --- assembling ---------------------------------------------------------------------

    void Byte(std::uint8_t b) {
        switch (rx_) {
            case Rx::Idle:
                Idle(b);
                return;
            case Rx::Esc:
            case Rx::Dle:
                TextFrame(b);
                return;
            case Rx::WriteData:
                frame_.push_back(b);
                if (frame_.size() == expected_) {
                    WriteBlock();
                }
                return;
            case Rx::CfHeader:
                // A frame start instead of a header: the PC gave up the file.
                if (frame_.empty() &&
                    (b == kDle || b == kEnq || (b == kEsc && mode_ == PanelMode::Firmware))) {
                    DropFrame();
                    Idle(b);
                    return;
                }
                frame_.push_back(b);
                if (frame_.size() == kCfHeaderLength) {
                    CfBlockHeader();
                }
                return;
            case Rx::CfData:
                frame_.push_back(b);
                if (frame_.size() == expected_) {
                    CfBlockData();
                }
                return;
        }
    }

    void Idle(std::uint8_t b) {
        if (b == kAck && pendingRead_) {
            const PendingRead read = *pendingRead_;
            pendingRead_.reset();
            Record("ACK", {b}, true);
            if (!silent_) {
                SendBlock(read);
            }
            return;
        }
        if (b == kEnq) {
            pendingRead_.reset();
            Enq();
            return;
        }
        if (b == kDle || (b == kEsc && mode_ == PanelMode::Firmware)) {
            pendingRead_.reset();
            rx_ = b == kDle ? Rx::Dle : Rx::Esc;
            frame_.clear();
            expected_ = 0;
            return;
        }
        if (b == kAck && card_.BlocksDue()) {
            Record("ACK", {b}, true);
            if (!silent_) {
                CfSendBlock();
            }
            return;
        }
        if (b == kAck) {
            Record("ACK", {b}, false);
            return;
        }
        if (b == kNak) {
            Record("NAK", {b}, true);
            if (!silent_) {
                card_.StopFile();
            }
            return;
        }
        ++counters_.ignoredBytes;
    }

    // ESC and DLE frames: ASCII up to CR, except the parts announced by length.
    void TextFrame(std::uint8_t b) {
        if (expected_ == 0) {
            // Start bytes and the probe never occur inside an ASCII frame: what came before
            // them was noise.
            if (b == kDle || b == kEnq || (b == kEsc && mode_ == PanelMode::Firmware)) {
                counters_.ignoredBytes += frame_.size() + 1;
                DropFrame();
                Idle(b);
                return;
            }
            frame_.push_back(b);
            if (b == kCr) {
                frame_.pop_back();
                Dispatch();
                return;
            }
            if (rx_ == Rx::Esc && frame_.size() == 19 && StartsWith("PLD")) {
                // Header complete: the body length is announced, the body is binary.
                std::uint32_t length = 0;
                if (!ParseHex(View(11, 8), length) || length > kMaxLoaderBody) {
                    Record("PLD", WithStart(kEsc), false);
                    ++counters_.badFrames;
                    DropFrame();
                    return;
                }
                expected_ = 19 + std::size_t{length} + 2 + 1;
            } else if (rx_ == Rx::Dle && frame_.size() == 2 && StartsWith(">P")) {
                expected_ = 2 + kPasswordLength + 1;
            } else if (frame_.size() > kMaxTextFrame) {
                counters_.ignoredBytes += frame_.size() + 1;
                DropFrame();
            }
            return;
        }
        frame_.push_back(b);
        if (frame_.size() == expected_) {
            const bool endsWithCr = frame_.back() == kCr;
            frame_.pop_back();
            if (endsWithCr) {
                Dispatch();
            } else {
                Record(rx_ == Rx::Esc ? "PLD" : ">P",
                       WithStart(rx_ == Rx::Esc ? kEsc : kDle, false), false);
                ++counters_.badFrames;
                ++counters_.frames;
                DropFrame();
            }
        }
    }

    bool StartsWith(std::string_view prefix) const {
        return frame_.size() >= prefix.size() &&
               std::equal(prefix.begin(), prefix.end(), frame_.begin());
    }

    std::string_view View(std::size_t offset, std::size_t count) const {
        if (offset >= frame_.size()) {
            return {};
        }
        return {reinterpret_cast<const char*>(frame_.data()) + offset,
                std::min(count, frame_.size() - offset)};
    }

    std::string_view Text() const { return View(0, frame_.size()); }

    // The frame as it was on the wire: start byte, body, and CR when it ended with one.
    std::vector<std::uint8_t> WithStart(std::uint8_t start, bool cr = true) const {
        std::vector<std::uint8_t> raw;
        raw.reserve(std::min(frame_.size() + 2, ReceivedFrame::kRawLimit));
        raw.push_back(start);
        raw.insert(raw.end(), frame_.begin(),
                   frame_.begin() + static_cast<std::ptrdiff_t>(
                                        std::min(frame_.size(), ReceivedFrame::kRawLimit - 2)));
        if (cr) {
            raw.push_back(kCr);
        }
        return raw;
    }

    // --- dispatching -------------------------------------------------------------------

    // The command a complete frame names, from its first letters.
    std::string CommandName(bool firmware) const {
        const std::string_view text = Text();
        if (firmware) {
            for (std::string_view name : {"MID", "COM", "PLD", "PGO"}) {
                if (text.substr(0, 3) == name) {
                    return std::string(name);
                }
            }
            return "?";
        }
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

    void Dispatch() {
        ++counters_.frames;
        const bool firmware = rx_ == Rx::Esc;
        std::vector<std::uint8_t> raw = WithStart(firmware ? kEsc : kDle);
        const std::size_t size = frame_.size() + 2;
        const std::string command = CommandName(firmware);
        bool valid = command != "?";
        // A silent panel still takes frames in, but acts on none of them.
        if (valid && !silent_) {
            valid = firmware ? FirmwareFrame(command) : LoaderFrame(command);
        }
        Record(command, std::move(raw), valid, size);
        if (!valid) {
            ++counters_.badFrames;
        }
        if (rx_ != Rx::WriteData && rx_ != Rx::CfHeader) {
            rx_ = Rx::Idle;
            frame_.clear();
            expected_ = 0;
        }
        ++framesSinceFaults_;
        if (faults_.silentAfterFrames && !silenceFired_ &&
            framesSinceFaults_ >= *faults_.silentAfterFrames) {
            silent_ = true;
            silenceFired_ = true;
        }
    }

    // Firmware frames: ESC, command, parameters, checksum over all of it, CR. Returns whether
    // the frame passed its checks.
    bool FirmwareFrame(const std::string& command) {
        const std::string_view text = Text();
        if (text.size() < 5) {
            return false;
        }
        const bool sumOk =
            ChecksumText(std::span(frame_.data(), text.size() - 2)) == text.substr(text.size() - 2);
        if (command == "MID") {
            if (!sumOk || text.size() != 5) {
                return false;  // a damaged request goes unanswered
            }
            std::string core = desc_.coreId.substr(0, 4);
            core.insert(0, 4 - core.size(), '0');
            AnswerWithChecksum(kEsc, "MID00000" + core);
            return true;
        }
        if (command == "COM") {
            const std::uint32_t rate =
                text.size() == 11 && text.substr(0, 4) == "COM2" && text.substr(5, 4) == "0000"
                    ? RateForCode(text[4])
                    : 0;
            if (!sumOk || rate == 0) {
                AnswerWithChecksum(kEsc, "COM1");
                return false;
            }
            AnswerWithChecksum(kEsc, "COM0");
            SwitchRate(rate);
            return true;
        }
        if (command == "PLD") {
            std::uint32_t address = 0;
            std::uint32_t length = 0;
            const bool ok = sumOk && text.size() >= 21 && ParseHex(View(3, 8), address) &&
                            ParseHex(View(11, 8), length) && text.size() == 19 + length + 2;
            if (!ok) {
                AnswerWithChecksum(kEsc, "PLD1");
                return false;
            }
            loader_.present = true;
            loader_.address = address;
            loader_.body.assign(frame_.begin() + 19, frame_.begin() + 19 + length);
            ++counters_.loaderDownloads;
            AnswerWithChecksum(kEsc, "PLD0");
            return true;
        }
        // PGO
        std::uint32_t address = 0;
        const bool ok = sumOk && text.size() == 13 && ParseHex(View(3, 8), address) &&
                        loader_.present && loader_.address == address && LoaderAsExpected();
        if (!ok) {
            AnswerWithChecksum(kEsc, "PGO1");
            return false;
        }
        AnswerWithChecksum(kEsc, "PGO0");
        mode_ = PanelMode::Loader;
        ++counters_.loaderStarts;
        return true;
    }

    bool LoaderAsExpected() const {
        const auto& file = desc_.expectedLoader;
        if (file.empty()) {
            return true;
        }
        if (file.size() < 4) {
            return false;
        }
        const std::uint32_t address = std::uint32_t{file[0]} | std::uint32_t{file[1]} << 8 |
                                      std::uint32_t{file[2]} << 16 | std::uint32_t{file[3]} << 24;
        return address == loader_.address &&
               std::equal(file.begin() + 4, file.end(), loader_.body.begin(), loader_.body.end());
    }

    // Loader-family frames: DLE, direction, command letters, parameters, CR. The password,
    // rate, quit, reset and CF card commands work in both modes; the rest only once the
    // loader runs.
    // Returns whether the frame passed its checks (a refused frame is not answered unless
    // noted).
    bool LoaderFrame(const std::string& command) {
        const std::string_view text = Text();
        if (command == ">C") {
            if (text != ">C") {
                return false;
            }
            card_.EndTransfers();  // a new session starts
            Answer(kDle, "<C00");
            return true;
        }
        if (command == ">E" || command == ">EN" || command == "<E") {
            return CfFrame(command);
        }
        if (command == ">LS") {
            if (text != ">LS00008") {
                return false;
            }
            if (faults_.strayProtectionAnswer && !strayAnswerSent_) {
                strayAnswerSent_ = true;
                Answer(kDle, *faults_.strayProtectionAnswer);
            }
            Answer(kDle, desc_.password.empty() ? "<LS00000" : "<LS00008");
            return true;
        }
        if (command == ">P") {
            if (text.size() != 2 + kPasswordLength) {
                return false;
            }
            const bool right = PasswordMatches(std::span(frame_).subspan(2, kPasswordLength));
            passwordAccepted_ = right;
            if (!right) {
                ++counters_.passwordsRejected;
            }
            Answer(kDle, right ? "<P00" : "<P01");
            return true;
        }
        if (command == "<O") {
            const std::uint32_t rate = text.size() == 10 && text[2] == '2' &&
                                               text.substr(4, 4) == "0000" &&
                                               ChecksumText(text.substr(2, 6)) == text.substr(8, 2)
                                           ? RateForCode(text[3])
                                           : 0;
            if (rate == 0) {
                Answer(kDle, "<O01");  // refused: the line stays as it is
                return false;
            }
            Answer(kDle, "<O00");
            SwitchRate(rate);
            return true;
        }
        if (command == ">Q") {
            if (text != ">Q") {
                return false;
            }
            card_.EndTransfers();
            Answer(kDle, "<Q00");
            return true;
        }
        if (command == ">q") {
            if (text != ">q") {
                return false;
            }
            Answer(kDle, "<q00");
            ++counters_.resets;
            Restart();
            Queue(Action{Action::Kind::SetRate, {}, kPowerOnRate, {}});
            return true;
        }
        if (mode_ != PanelMode::Loader) {
            return false;
        }
        if (command == ">h") {
            if (text != ">h") {
                return false;
            }
            const std::string core = desc_.hwCoreId.empty() ? desc_.coreId : desc_.hwCoreId;
            Answer(kDle, "<h00," + core + "," + HexX(desc_.fromSize) + "," + HexX(desc_.dramSize) +
                             "," + HexX(desc_.sramSize));
            return true;
        }
        if (command == ">K") {
            if (text != ">K ") {
                return false;
            }
            Answer(kDle, "<K" + Hex8(desc_.signature1) + ",00");
            return true;
        }
        if (command == ">X") {
            if (text != ">X") {
                return false;
            }
            Answer(kDle, "<X00,0,0,0,0,0,0,0," + Hex8(desc_.signature2));
            return true;
        }
        if (command == ">i") {
            std::uint32_t address = 0;
            std::uint32_t width = 0;
            if (text.size() != 12 || !ParseHex(text.substr(2, 8), address) ||
                !ParseDecimal2(text.substr(10, 2), width)) {
                return false;
            }
            std::uint32_t value = MaskWidth(IoRegister(address), width);
            if (ffReadsLeft_ > 0 && (!faults_.ffIoAddress || *faults_.ffIoAddress == address)) {
                --ffReadsLeft_;
                value = 0xFF;
            }
            Answer(kDle, "<i0" + Hex8(value));
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
            desc_.ioRegisters[address] = MaskWidth(value, width);
            Answer(kDle, "<i00");
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
                Answer(kDle, read ? ">m01" : "<m01");
                return false;
            }
            if (read) {
                Answer(kDle, ">m00");
                pendingRead_ = PendingRead{address, size};
            } else {
                AnswerRaw({kAck, kSub});
                writeAddress_ = address;
                rx_ = Rx::WriteData;
                frame_.clear();
                expected_ = std::size_t{size} + 2;
            }
            return true;
        }
        return false;
    }

    bool PasswordMatches(std::span<const std::uint8_t> sent) const {
        if (desc_.password.empty()) {
            return true;
        }
        const std::string_view password =
            std::string_view(desc_.password).substr(0, kPasswordLength);
        for (std::size_t i = 0; i < kPasswordLength; ++i) {
            const std::uint8_t plain =
                i < password.size() ? static_cast<std::uint8_t>(password[i]) : std::uint8_t{0};
            if (sent[i] != static_cast<std::uint8_t>(plain + kPasswordOffset)) {
                return false;
            }
        }
        return true;
    }

    // --- CF card -----------------------------------------------------------------------

    // Range, next and announcement frames. Returns whether the frame was well formed.
    bool CfFrame(const std::string& command) {
        const std::string_view text = Text();
        bool malformed = false;
        if (command == "<E") {
            const char result =
                faults_.cfNoCard ? kCfResultNoCard : card_.Announce(text.substr(2), &malformed);
            if (const auto forced = CfForcedResult()) {
                card_.DropIncoming();
                CfResultAnswer(*forced);
            } else if (result != 0) {
                card_.DropIncoming();
                CfResultAnswer(result);
            } else {
                AnswerRaw({kAck, kSub});
                rx_ = Rx::CfHeader;
                frame_.clear();
                expected_ = 0;
            }
            return !malformed;
        }
        if (command == ">EN" && text != ">EN") {
            return false;
        }
        CfCard::Offer offer;
        if (faults_.cfNoCard) {
            card_.EndTransfers();
            offer.result = kCfResultNoCard;
        } else {
            offer =
                command == ">EN" ? card_.NextFile() : card_.OpenRange(text.substr(2), &malformed);
        }
        if (const auto forced = CfForcedResult()) {
            card_.StopFile();
            CfResultAnswer(*forced);
        } else if (offer.result != 0) {
            CfResultAnswer(offer.result);
        } else {
            CfFileHeader(offer);
        }
        return !malformed;
    }

    // Counts a CF request and returns the result the faults put in its place, if any.
    std::optional<char> CfForcedResult() {
        const std::uint32_t n = ++cfRequestsSinceFaults_;
        if (faults_.cfResultAt != 0 && n == faults_.cfResultAt) {
            return faults_.cfResult;
        }
        return std::nullopt;
    }

    void CfResultAnswer(char result) { Answer(kDle, std::string("<EE") + result); }

    void CfFileHeader(const CfCard::Offer& offer) {
        ++counters_.cfFilesOffered;
        const std::uint32_t n = ++cfHeadersSinceFaults_;
        if (faults_.cfRawHeader && n == faults_.cfRawHeaderAt) {
            Answer(kDle, *faults_.cfRawHeader);
            return;
        }
        char size[16];
        std::snprintf(size, sizeof size, "%010zu", offer.size);
        Answer(kDle, "<E" + offer.stem + size);
    }

    // Counts a CF block about to be handled; false when the panel falls silent instead.
    bool CfBlockAllowed() {
        if (faults_.cfSilentAfterBlocks && !cfSilenceFired_ &&
            cfBlocksSinceFaults_ >= *faults_.cfSilentAfterBlocks) {
            silent_ = true;
            cfSilenceFired_ = true;
            return false;
        }
        ++cfBlocksSinceFaults_;
        return true;
    }

    // The next block of the offered file: five digits of its length, the data, the checksum.
    void CfSendBlock() {
        if (!CfBlockAllowed()) {
            return;
        }
        const std::span<const std::uint8_t> data = *card_.NextBlock();
        const std::uint32_t n = ++cfBlocksSentSinceFaults_;
        ++counters_.cfBlocksSent;
        std::vector<std::uint8_t> payload(data.begin(), data.end());
        if (faults_.cfOversizeBlock != 0 && n == faults_.cfOversizeBlock) {
            const std::uint32_t length = std::min(faults_.cfOversizeLength, kCfMaxAnnounced);
            // The file's following bytes first, as a panel that lost track of the length
            // would send them, then filler.
            while (payload.size() < length) {
                const std::optional<std::span<const std::uint8_t>> more = card_.NextBlock();
                if (!more) {
                    break;
                }
                payload.insert(payload.end(), more->begin(), more->end());
            }
            payload.resize(length, 0x5A);
        }
        const std::string checksum = CfChecksumText(payload);
        if (faults_.cfCorruptBlock != 0 && n == faults_.cfCorruptBlock && !payload.empty()) {
            payload[0] = static_cast<std::uint8_t>(~payload[0]);
        }
        char length[8];
        std::snprintf(length, sizeof length, "%05zu", payload.size());
        std::vector<std::uint8_t> block(length, length + 5);
        block.insert(block.end(), payload.begin(), payload.end());
        block.insert(block.end(), checksum.begin(), checksum.end());
        AnswerRaw(std::move(block));
    }

    // Seven header bytes of a block the PC sends have arrived.
    void CfBlockHeader() {
        const std::optional<std::uint32_t> length = card_.AcceptBlockHeader(frame_);
        Record("CFHEAD", frame_, length.has_value());
        if (!length) {
            ++counters_.cfBadBlocks;
            DropFrame();
            if (!silent_) {
                CfResultAnswer(kCfResultWrite);
            }
            return;
        }
        if (silent_ || !CfBlockAllowed()) {
            DropFrame();
            return;
        }
        AnswerRaw({kAck, kSub});
        rx_ = Rx::CfData;
        frame_.clear();
        expected_ = std::size_t{*length} + 2;
    }

    // The data and checksum of a block the PC sends have arrived.
    void CfBlockData() {
        const CfCard::BlockOutcome outcome = card_.AcceptBlockData(frame_);
        Record("CFDATA",
               std::vector<std::uint8_t>(
                   frame_.begin(), frame_.begin() + static_cast<std::ptrdiff_t>(std::min(
                                                        frame_.size(), ReceivedFrame::kRawLimit))),
               outcome != CfCard::BlockOutcome::Refused, frame_.size());
        // A full block is a request the PC expects a go-ahead or a result for; after the
        // last block it takes any framed answer.
        const bool full = expected_ == std::size_t{kCfBlockSize} + 2;
        const std::optional<char> forced = full ? CfForcedResult() : std::nullopt;
        rx_ = Rx::Idle;
        frame_.clear();
        expected_ = 0;
        switch (outcome) {
            case CfCard::BlockOutcome::Refused:
                ++counters_.cfBadBlocks;
                CfResultAnswer(forced.value_or(kCfResultWrite));
                return;
            case CfCard::BlockOutcome::Full:
                ++counters_.cfBlocksReceived;
                if (forced) {
                    card_.DropIncoming();
                    CfResultAnswer(*forced);
                    return;
                }
                AnswerRaw({kAck, kSub});
                rx_ = Rx::CfHeader;
                return;
            case CfCard::BlockOutcome::Stored:
                ++counters_.cfBlocksReceived;
                ++counters_.cfFilesStored;
                Answer(kDle, "<E00");
                return;
        }
    }

    // --- memory blocks -----------------------------------------------------------------

    void SendBlock(const PendingRead& read) {
        std::vector<std::uint8_t> block(std::size_t{read.size} + 2);
        memory_.Read(read.address, std::span(block.data(), read.size));
        std::uint8_t checksum = static_cast<std::uint8_t>(-Sum(std::span(block.data(), read.size)));
        const std::uint32_t n = ++readBlocksSinceFaults_;
        ++counters_.readBlocks;
        auto within = [n](std::uint32_t first, std::uint32_t count) {
            return first != 0 && n >= first && n - first < count;
        };
        if (within(faults_.corruptReadBlock, faults_.corruptReadBlockCount)) {
            checksum = static_cast<std::uint8_t>(checksum + 1);
        }
        const std::string cs = Hex2(checksum);
        block[read.size] = static_cast<std::uint8_t>(cs[0]);
        block[read.size + 1] = static_cast<std::uint8_t>(cs[1]);
        if (within(faults_.lineErrorReadBlock, faults_.lineErrorReadBlockCount)) {
            Queue(Action{Action::Kind::LineError, {}, platform::CE_FRAME, {}});
            block.erase(block.begin() + static_cast<std::ptrdiff_t>(block.size() / 2));
        }
        AnswerRaw(std::move(block));
    }

    void WriteBlock() {
        const std::size_t size = frame_.size() - 2;
        const std::span data(frame_.data(), size);
        const bool good =
            ChecksumText(data) == std::string_view(reinterpret_cast<const char*>(&frame_[size]), 2);
        std::vector<std::uint8_t> raw(
            frame_.begin(), frame_.begin() + static_cast<std::ptrdiff_t>(std::min(
                                                 frame_.size(), ReceivedFrame::kRawLimit)));
        Record("DATA", std::move(raw), good, frame_.size());
        if (!silent_) {
            if (good) {
                memory_.Write(writeAddress_, data);
                ++counters_.writeBlocks;
            } else {
                ++counters_.badWriteBlocks;
            }
        }
        Answer(kDle, good ? "<m00" : "<m01");
        DropFrame();
    }

    // --- answers -----------------------------------------------------------------------

    void Enq() {
        ++counters_.enqs;
        Record("ENQ", {kEnq}, true);
        if (silent_) {
            ++enqsWhileSilent_;
            if (faults_.powerCycleAfterEnqs != 0 &&
                enqsWhileSilent_ >= faults_.powerCycleAfterEnqs) {
                powerCycleQueued_ = true;
                Queue(Action{Action::Kind::PowerCycle, {}, 0, faults_.powerOffTime});
            }
            return;
        }
        AnswerRaw({mode_ == PanelMode::Loader ? kEot : kEtx, kSub});
    }

    void Answer(std::uint8_t start, std::string_view payload) {
        std::vector<std::uint8_t> bytes;
        bytes.reserve(payload.size() + 3);
        bytes.push_back(start);
        bytes.insert(bytes.end(), payload.begin(), payload.end());
        bytes.push_back(kCr);
        bytes.push_back(kSub);
        AnswerRaw(std::move(bytes));
    }

    // The payload followed by its own checksum.
    void AnswerWithChecksum(std::uint8_t start, const std::string& payload) {
        Answer(start, payload + ChecksumText(payload));
    }

    void AnswerRaw(std::vector<std::uint8_t> bytes) {
        if (silent_) {
            return;
        }
        if (faults_.txDropRate > 0 || faults_.txGarbleRate > 0) {
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
        counters_.bytesSent += bytes.size();
        Queue(Action{Action::Kind::Write, std::move(bytes), 0, faults_.answerDelay});
    }

    void SwitchRate(std::uint32_t rate) {
        if (silent_) {
            return;
        }
        ++counters_.rateChanges;
        rate_ = rate;
        Queue(Action{Action::Kind::SetRate, {}, rate, {}});
    }

    void Queue(Action action) { out_->push_back(std::move(action)); }

    void Record(std::string command, std::vector<std::uint8_t> raw, bool valid,
                std::size_t size = 0) {
        ReceivedFrame frame;
        frame.command = std::move(command);
        frame.size = size != 0 ? size : raw.size();
        if (raw.size() > ReceivedFrame::kRawLimit) {
            raw.resize(ReceivedFrame::kRawLimit);
        }
        frame.raw = std::move(raw);
        frame.valid = valid;
        frame.mode = mode_;
        if (options_.onFrame && frames_ != nullptr) {
            frames_->push_back(frame);
        }
        if (options_.recordLimit == 0) {
            return;
        }
        if (record_.size() >= options_.recordLimit) {
            record_.pop_front();
        }
        record_.push_back(std::move(frame));
    }

    PanelDescription desc_;
    PanelMemory memory_;
    CfCard card_;
    const Options& options_;

    PanelMode mode_ = PanelMode::Firmware;
    std::uint32_t rate_ = kPowerOnRate;  // the rate the panel has chosen (the line follows)
    LoaderImage loader_;
    bool passwordAccepted_ = false;

    Rx rx_ = Rx::Idle;
    std::vector<std::uint8_t> frame_;  // bytes after the start byte
    std::size_t expected_ = 0;         // 0: up to CR; else the full length to collect
    std::optional<PendingRead> pendingRead_;
    std::uint32_t writeAddress_ = 0;
    std::uint32_t lastByteTick_ = 0;

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
    bool silent_ = false;
    bool silenceFired_ = false;
    bool strayAnswerSent_ = false;
    bool cfSilenceFired_ = false;
    bool powerCycleQueued_ = false;

    PanelCounters counters_;
    std::deque<ReceivedFrame> record_;
    std::vector<Action>* out_ = nullptr;
    std::vector<ReceivedFrame>* frames_ = nullptr;
};

// --- Panel ------------------------------------------------------------------------------

Panel::Panel(std::unique_ptr<platform::ISerialDevice> device, PanelDescription description)
    : Panel(std::move(device), std::move(description), Options{}) {}

Panel::Panel(std::unique_ptr<platform::ISerialDevice> device, PanelDescription description,
             Options options)
    : device_(std::move(device)),
      options_(std::move(options)),
      engine_(std::make_unique<Engine>(std::move(description), options_)) {}

Panel::~Panel() {
    Stop();
}

bool Panel::Start() {
    {
        std::lock_guard run(runMutex_);
        if (!threadDone_) {
            return false;
        }
    }
    {
        std::lock_guard io(ioMutex_);
        if (!ApplyLine(kPowerOnRate, true)) {
            return false;
        }
        device_->SetEventMask(kEventMask);
    }
    {
        std::lock_guard run(runMutex_);
        threadDone_ = false;
    }
    thread_ = std::jthread([this](std::stop_token stop) { Run(stop); });
    return true;
}

void Panel::Stop() {
    if (!thread_.joinable()) {
        return;
    }
    thread_.request_stop();
    // Changing the event mask releases a pending wait; repeat it in case the thread was
    // between two waits when the first release came.
    std::unique_lock run(runMutex_);
    while (!threadDone_) {
        run.unlock();
        device_->SetEventMask(kEventMask);
        run.lock();
        runCv_.wait_for(run, std::chrono::milliseconds(5), [this] { return threadDone_; });
    }
    run.unlock();
    thread_.join();
}

bool Panel::Running() const {
    return thread_.joinable() && !thread_.get_stop_token().stop_requested();
}

void Panel::Run(std::stop_token stop) {
    while (!stop.stop_requested()) {
        std::uint32_t events = 0;
        if (!device_->WaitEvent(events)) {
            break;
        }
        if (stop.stop_requested()) {
            break;
        }
        Service(events);
    }
    std::lock_guard run(runMutex_);
    threadDone_ = true;
    runCv_.notify_all();
}

void Panel::Service(std::uint32_t /*events*/) {
    std::lock_guard io(ioMutex_);
    std::uint32_t errors = 0;
    platform::QueueStatus queues;
    device_->ClearError(errors, queues);
    std::vector<std::uint8_t> buffer(4096);
    if (errors & platform::CE_BREAK) {
        // A break resets the receiver: what it held is dropped and the line falls back to the
        // power-on rate.
        std::uint64_t dropped = 0;
        while (std::size_t n = device_->Read(buffer.data(), buffer.size())) {
            dropped += n;
        }
        bool powered;
        {
            std::lock_guard state(stateMutex_);
            engine_->OnBreak();
            powered = engine_->Mode() != PanelMode::PoweredOff;
        }
        (void)dropped;
        if (powered) {
            ApplyLine(kPowerOnRate, true);
        }
    }
    std::vector<Action> actions;
    std::vector<ReceivedFrame> frames;
    for (;;) {
        const std::size_t n = device_->Read(buffer.data(), buffer.size());
        if (n == 0) {
            break;
        }
        {
            std::lock_guard state(stateMutex_);
            engine_->Feed(std::span(buffer.data(), n), platform::Clock().TickCount(), actions,
                          frames);
        }
        Execute(actions);
        actions.clear();
        if (options_.onFrame) {
            for (const ReceivedFrame& frame : frames) {
                options_.onFrame(frame);
            }
        }
        frames.clear();
    }
}

// Runs with ioMutex_ held.
void Panel::Execute(std::vector<Action>& actions) {
    for (Action& action : actions) {
        switch (action.kind) {
            case Action::Kind::Write:
                if (action.time.count() > 0) {
                    platform::Clock().Sleep(action.time);
                }
                if (!action.bytes.empty()) {
                    device_->Write(action.bytes.data(), action.bytes.size());
                }
                break;
            case Action::Kind::SetRate:
                ApplyLine(action.value, true);
                break;
            case Action::Kind::LineError:
                if (options_.lineErrorHook) {
                    options_.lineErrorHook(action.value);
                }
                break;
            case Action::Kind::PowerCycle:
                PowerOff();
                platform::Clock().Sleep(action.time);
                PowerOn();
                break;
        }
    }
}

// Runs with ioMutex_ held.
bool Panel::ApplyLine(std::uint32_t rate, bool powered) {
    platform::LineState line;
    line.baudRate = rate;
    line.byteSize = 8;
    line.parity = 0;
    line.stopBits = 0;
    line.rtsControl = powered ? 1 : 0;
    line.dtrControl = powered ? 1 : 0;
    const bool ok = device_->SetLineState(line);
    // Devices whose line state does not carry the modem outputs take them this way.
    device_->EscapeFunction(powered ? platform::SETRTS : platform::CLRRTS);
    device_->EscapeFunction(powered ? platform::SETDTR : platform::CLRDTR);
    if (ok) {
        std::lock_guard state(stateMutex_);
        lineRate_ = rate;
    }
    return ok;
}

// Runs with ioMutex_ held.
void Panel::PowerOff() {
    std::uint32_t rate;
    {
        std::lock_guard state(stateMutex_);
        engine_->PowerOff();
        rate = lineRate_;
    }
    ApplyLine(rate, false);
}

// Runs with ioMutex_ held.
void Panel::PowerOn() {
    device_->Purge(platform::PURGE_RXCLEAR | platform::PURGE_TXCLEAR);
    {
        std::lock_guard state(stateMutex_);
        engine_->PowerOn();
    }
    ApplyLine(kPowerOnRate, true);
}

void Panel::PowerCycle(std::chrono::milliseconds offTime) {
    {
        std::lock_guard io(ioMutex_);
        PowerOff();
    }
    platform::Clock().Sleep(offTime);
    std::lock_guard io(ioMutex_);
    PowerOn();
}

std::vector<std::uint8_t> Panel::ReadMemory(std::uint32_t address, std::size_t size) const {
    std::vector<std::uint8_t> bytes(size);
    std::lock_guard state(stateMutex_);
    engine_->Memory().Read(address, bytes);
    return bytes;
}

bool Panel::MemoryEquals(std::uint32_t address, std::span<const std::uint8_t> expected) const {
    return ReadMemory(address, expected.size()) ==
           std::vector<std::uint8_t>(expected.begin(), expected.end());
}

bool Panel::SetMemoryByte(std::uint32_t address, std::uint8_t value) {
    std::lock_guard state(stateMutex_);
    return engine_->Memory().Write(address, std::span(&value, 1)) == 1;
}

std::size_t Panel::MemoryPagesInUse() const {
    std::lock_guard state(stateMutex_);
    return engine_->Memory().PagesInUse();
}

std::uint32_t Panel::IoRegister(std::uint32_t address) const {
    std::lock_guard state(stateMutex_);
    return engine_->IoRegister(address);
}

LoaderImage Panel::Loader() const {
    std::lock_guard state(stateMutex_);
    return engine_->Loader();
}

PanelMode Panel::Mode() const {
    std::lock_guard state(stateMutex_);
    return engine_->Mode();
}

std::uint32_t Panel::Rate() const {
    std::lock_guard state(stateMutex_);
    return lineRate_;
}

bool Panel::PasswordAccepted() const {
    std::lock_guard state(stateMutex_);
    return engine_->PasswordAccepted();
}

bool Panel::Silent() const {
    std::lock_guard state(stateMutex_);
    return engine_->Silent();
}

std::vector<ReceivedFrame> Panel::Frames() const {
    std::lock_guard state(stateMutex_);
    return {engine_->Record().begin(), engine_->Record().end()};
}

std::vector<std::string> Panel::Commands() const {
    std::lock_guard state(stateMutex_);
    std::vector<std::string> commands;
    for (const ReceivedFrame& frame : engine_->Record()) {
        commands.push_back(frame.command);
    }
    return commands;
}

void Panel::ClearFrames() {
    std::lock_guard state(stateMutex_);
    engine_->ClearRecord();
}

PanelCounters Panel::Counters() const {
    std::lock_guard state(stateMutex_);
    return engine_->Counters();
}

void Panel::SetFaults(const FaultConfig& faults) {
    std::lock_guard state(stateMutex_);
    engine_->SetFaults(faults);
}

CfFiles Panel::CfCardFiles() const {
    std::lock_guard state(stateMutex_);
    return engine_->Card().Files();
}

std::optional<std::vector<std::uint8_t>> Panel::CfCardFile(const std::string& name) const {
    std::lock_guard state(stateMutex_);
    const CfFiles& files = engine_->Card().Files();
    const auto it = files.find(name);
    if (it == files.end()) {
        return std::nullopt;
    }
    return it->second;
}

void Panel::SetCfCardFile(const std::string& name, std::vector<std::uint8_t> bytes) {
    std::lock_guard state(stateMutex_);
    engine_->Card().SetFile(name, std::move(bytes));
}

bool Panel::RemoveCfCardFile(const std::string& name) {
    std::lock_guard state(stateMutex_);
    return engine_->Card().RemoveFile(name);
}

bool Panel::CfCardPresent() const {
    std::lock_guard state(stateMutex_);
    return engine_->Card().Present();
}

void Panel::SetCfCardPresent(bool present) {
    std::lock_guard state(stateMutex_);
    engine_->Card().SetPresent(present);
}

FaultConfig Panel::Faults() const {
    std::lock_guard state(stateMutex_);
    return engine_->Faults();
}

}  // namespace kz::sim

// The simulated panel driven with hand-made frames from the PC end of a virtual link.
#include "sim/Panel.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <optional>

#include <sstream>
#include <thread>

#include "platform/Clock.h"
#include "support/PanelFixture.h"
#include "tests/sim/PcWire.h"

namespace kz::test {
namespace {

using namespace wire;
using sim::PanelMode;

constexpr std::uint32_t kLoaderAddress = 0x00021000;

std::vector<std::string> Fields(const std::string& text) {
    std::vector<std::string> fields;
    std::stringstream in(text);
    std::string field;
    while (std::getline(in, field, ',')) {
        fields.push_back(field);
    }
    return fields;
}

std::uint32_t HexValue(const std::string& text) {
    return static_cast<std::uint32_t>(std::stoul(text, nullptr, 16));
}

std::string Bytes(const std::vector<std::uint8_t>& v) {
    return {v.begin(), v.end()};
}

class PanelWire : public ::testing::Test {
  protected:
    void TearDown() override {
        pc_.reset();
        fixture_.reset();
        clockGuard_.reset();
    }

    // Puts the process on a manual clock that outlives the simulated panel's thread.
    platform::ManualClock& UseManualClock() {
        clockGuard_.emplace(manualClock_);
        return manualClock_;
    }

    void Start(sim::PanelDescription description = TestPanel()) {
        fixture_ = std::make_unique<PanelFixture>(std::move(description));
        pc_ = std::make_unique<Pc>(fixture_->OpenPcEnd());
        ASSERT_TRUE(pc_->Cts());
    }

    sim::Panel& panel() { return fixture_->panel(); }
    Pc& pc() { return *pc_; }

    // Downloads a loader and starts it: the panel then runs the loader at 9600 bit/s.
    void StartLoader() {
        const std::string file = LoaderText(kLoaderAddress, 3000);
        pc().SendInPieces(Pld(kLoaderAddress, file.substr(4)), 4096);
        ASSERT_EQ(Payload(pc().Answer(), ESC).substr(0, 4), "PLD0");
        ASSERT_EQ(Payload(pc().Ask(Pgo(kLoaderAddress)), ESC).substr(0, 4), "PGO0");
        ASSERT_EQ(panel().Mode(), PanelMode::Loader);
    }

    // Switches panel and PC to rate with the loader's rate change.
    void SwitchLoaderRate(char code, std::uint32_t rate) {
        ASSERT_FALSE(Payload(pc().Ask(LoaderRate(code)), DLE).empty());
        ASSERT_TRUE(Eventually([&] { return panel().Rate() == rate; }));
        pc().SetRate(rate);
    }

    // Reads one memory block: the answer to the request, then size bytes and 2 checksum
    // characters after ACK.
    std::string ReadBlock(std::uint32_t address, std::uint32_t size) {
        EXPECT_FALSE(Payload(pc().Ask(ReadMem(address, size)), DLE).empty());
        pc().Send(std::string(1, ACK));
        return pc().Read(size + 2);
    }

    platform::ManualClock manualClock_;
    std::optional<platform::ScopedClock> clockGuard_;
    std::unique_ptr<PanelFixture> fixture_;
    std::unique_ptr<Pc> pc_;
};

// --- resident firmware ----------------------------------------------------------------

TEST_F(PanelWire, FirmwareAnswersProbeAndCoreId) {
    Start();
    EXPECT_EQ(pc().Ask(std::string(1, ENQ)), std::string({ETX, SUB}));
    const std::string payload = Payload(pc().Ask(Mid()), ESC);
    ASSERT_GE(payload.size(), 14u);
    EXPECT_EQ(payload.substr(8, 4), "8C93");
    const std::string covered = payload.substr(0, payload.size() - 2);
    EXPECT_EQ(payload.substr(payload.size() - 2), Cs(covered));
}

TEST_F(PanelWire, ShortCoreIdIsPaddedToFourCharacters) {
    sim::PanelDescription d = TestPanel();
    d.coreId = "93";
    Start(d);
    EXPECT_EQ(Payload(pc().Ask(Mid()), ESC).substr(8, 4), "0093");
}

TEST_F(PanelWire, DamagedCoreIdRequestGoesUnanswered) {
    Start();
    pc().Send(std::string(1, ESC) + "MID00" + CR);
    // The probe's answer is the first thing to arrive: nothing came for the bad frame.
    EXPECT_EQ(pc().Ask(std::string(1, ENQ)), std::string({ETX, SUB}));
    EXPECT_EQ(panel().Counters().badFrames, 1u);
}

struct RateCase {
    char code;
    std::uint32_t rate;
};

class FirmwareRate : public PanelWire, public ::testing::WithParamInterface<RateCase> {};

TEST_P(FirmwareRate, AnswersThenSwitches) {
    Start();
    const std::string payload = Payload(pc().Ask(wire::FirmwareRate(GetParam().code)), ESC);
    ASSERT_EQ(payload.size(), 6u);
    EXPECT_EQ(payload[3], '0');
    ASSERT_TRUE(Eventually([&] { return panel().Rate() == GetParam().rate; }));
    pc().SetRate(GetParam().rate);
    EXPECT_EQ(pc().Ask(std::string(1, ENQ)), std::string({ETX, SUB}));
}

INSTANTIATE_TEST_SUITE_P(Codes, FirmwareRate,
                         ::testing::Values(RateCase{'2', 9600}, RateCase{'1', 19200},
                                           RateCase{'0', 38400}, RateCase{'6', 115200}));

TEST_F(PanelWire, UnknownRateCodeIsRefusedAndTheLineStays) {
    Start();
    const std::string payload = Payload(pc().Ask(wire::FirmwareRate('9')), ESC);
    ASSERT_EQ(payload.size(), 6u);
    EXPECT_NE(payload[3], '0');
    EXPECT_EQ(pc().Ask(std::string(1, ENQ)), std::string({ETX, SUB}));
    EXPECT_EQ(panel().Rate(), 9600u);
}

TEST_F(PanelWire, BytesAtTheWrongRateAreNoise) {
    Start();
    ASSERT_EQ(Payload(pc().Ask(wire::FirmwareRate('0')), ESC)[3], '0');
    ASSERT_TRUE(Eventually([&] { return panel().Rate() == 38400u; }));
    pc().Send(std::string(1, ENQ));  // still at 9600: arrives garbled
    ASSERT_TRUE(Eventually([&] { return panel().Counters().ignoredBytes == 1; }));
    pc().SetRate(38400);
    EXPECT_EQ(pc().Ask(std::string(1, ENQ)), std::string({ETX, SUB}));
    EXPECT_EQ(panel().Counters().enqs, 1u);
}

// --- loader download and start ---------------------------------------------------------

TEST_F(PanelWire, LoaderSentInPiecesIsKeptAndStarted) {
    Start();
    const auto file = LoaderFile(kLoaderAddress, 9000);  // body holds CR, ESC, DLE, SUB
    const std::string body(file.begin() + 4, file.end());
    pc().SendInPieces(Pld(kLoaderAddress, body), 4096);
    const std::string payload = Payload(pc().Answer(), ESC);
    ASSERT_GE(payload.size(), 4u);
    EXPECT_EQ(payload[3], '0');
    EXPECT_EQ(payload.substr(payload.size() - 2), Cs(payload.substr(0, payload.size() - 2)));
    const sim::LoaderImage loader = panel().Loader();
    ASSERT_TRUE(loader.present);
    EXPECT_EQ(loader.address, kLoaderAddress);
    EXPECT_EQ(Bytes(loader.body), body);

    EXPECT_EQ(Payload(pc().Ask(Pgo(kLoaderAddress)), ESC)[3], '0');
    EXPECT_EQ(panel().Mode(), PanelMode::Loader);
    EXPECT_EQ(pc().Ask(std::string(1, ENQ)), std::string({EOT, SUB}));
}

struct BadDownload {
    const char* name;
    std::function<std::string(const std::string& frame)> damage;
};

class RefusedLoader : public PanelWire, public ::testing::WithParamInterface<BadDownload> {};

TEST_P(RefusedLoader, IsNotStarted) {
    Start();
    const std::string body = LoaderText(kLoaderAddress, 500).substr(4);
    pc().Send(GetParam().damage(Pld(kLoaderAddress, body)));
    pc().Send(Pgo(kLoaderAddress));
    // The damaged download may be answered, and a download whose header is unreadable leaves
    // its body to be taken as noise (probes in it are answered); the start answer comes last.
    std::string payload;
    for (int i = 0; i < 200 && payload.rfind("PGO", 0) != 0; ++i) {
        payload = Payload(pc().Answer(), ESC);
    }
    ASSERT_EQ(payload.substr(0, 3), "PGO");
    EXPECT_NE(payload[3], '0');
    EXPECT_EQ(panel().Mode(), PanelMode::Firmware);
    EXPECT_EQ(pc().Ask(std::string(1, ENQ)), std::string({ETX, SUB}));
}

INSTANTIATE_TEST_SUITE_P(Damage, RefusedLoader,
                         ::testing::Values(BadDownload{"BadChecksum",
                                                       [](const std::string& f) {
                                                           std::string g = f;
                                                           g[g.size() - 2] =
                                                               g[g.size() - 2] == '0' ? '1' : '0';
                                                           return g;
                                                       }},
                                           BadDownload{"FlippedBodyByte",
                                                       [](const std::string& f) {
                                                           std::string g = f;
                                                           g[100] =
                                                               static_cast<char>(g[100] ^ 0x40);
                                                           return g;
                                                       }},
                                           BadDownload{"LengthTooShort",
                                                       [](const std::string& f) {
                                                           std::string g = f;
                                                           g[12 + 7] = static_cast<char>(
                                                               g[12 + 7] - 1);  // last length digit
                                                           return g;
                                                       }},
                                           BadDownload{"NotHexLength",
                                                       [](const std::string& f) {
                                                           std::string g = f;
                                                           g[12] = 'Z';
                                                           return g;
                                                       }}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(PanelWire, StartAtAnotherAddressIsRefused) {
    Start();
    pc().Send(Pld(kLoaderAddress, "body"));
    ASSERT_EQ(Payload(pc().Answer(), ESC)[3], '0');
    EXPECT_NE(Payload(pc().Ask(Pgo(kLoaderAddress + 0x100)), ESC)[3], '0');
    EXPECT_EQ(panel().Mode(), PanelMode::Firmware);
}

TEST_F(PanelWire, ExpectedLoaderMustMatch) {
    sim::PanelDescription d = TestPanel();
    d.expectedLoader = LoaderFile(kLoaderAddress, 200);
    Start(d);
    std::string other = LoaderText(kLoaderAddress, 200).substr(4);
    other[10] = 'x';
    pc().Send(Pld(kLoaderAddress, other));
    ASSERT_EQ(Payload(pc().Answer(), ESC)[3], '0');
    EXPECT_NE(Payload(pc().Ask(Pgo(kLoaderAddress)), ESC)[3], '0');

    pc().Send(Pld(kLoaderAddress, LoaderText(kLoaderAddress, 200).substr(4)));
    ASSERT_EQ(Payload(pc().Answer(), ESC)[3], '0');
    EXPECT_EQ(Payload(pc().Ask(Pgo(kLoaderAddress)), ESC)[3], '0');
    EXPECT_EQ(panel().Mode(), PanelMode::Loader);
}

// --- password --------------------------------------------------------------------------

struct PasswordCase {
    const char* name;
    std::string panelPassword;
    std::string sent;
    std::string modeAnswer;
    bool accepted;
};

class Password : public PanelWire, public ::testing::WithParamInterface<PasswordCase> {};

TEST_P(Password, Exchange) {
    sim::PanelDescription d = TestPanel();
    d.password = GetParam().panelPassword;
    Start(d);
    EXPECT_FALSE(Payload(pc().Ask(Loader(">C")), DLE).empty());
    EXPECT_EQ(Payload(pc().Ask(Loader(">LS00008")), DLE).substr(0, 8), GetParam().modeAnswer);
    const std::string answer = Payload(pc().Ask(wire::Password(GetParam().sent)), DLE);
    ASSERT_GE(answer.size(), 4u);
    EXPECT_EQ(answer[3] == '0', GetParam().accepted);
    EXPECT_EQ(panel().PasswordAccepted(), GetParam().accepted);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Password,
    ::testing::Values(PasswordCase{"NoPassword", "", "anything", "<LS00000", true},
                      PasswordCase{"Right", "secret", "secret", "<LS00008", true},
                      PasswordCase{"WrongCase", "secret", "secreT", "<LS00008", false},
                      PasswordCase{"Longer", "secret", "secret1", "<LS00008", false},
                      PasswordCase{"Shorter", "secret", "secre", "<LS00008", false},
                      PasswordCase{"CutTo24", "abcdefghijklmnopqrstuvwxyz0123",
                                   "abcdefghijklmnopqrstuvwx", "<LS00008", true}),
    [](const auto& info) { return std::string(info.param.name); });

// --- loader commands -------------------------------------------------------------------

TEST_F(PanelWire, LoaderReportsHardwareAndSignatures) {
    Start();
    StartLoader();
    const auto hw = Fields(Payload(pc().Ask(Loader(">h")), DLE).substr(3));
    ASSERT_EQ(hw.size(), 5u);
    EXPECT_EQ(hw[1], "8C93");
    EXPECT_EQ(HexValue(hw[2]), 0x10000u);
    EXPECT_EQ(HexValue(hw[3]), 0x100000u);
    EXPECT_EQ(HexValue(hw[4]), 0x4000u);

    const auto k = Fields(Payload(pc().Ask(Loader(">K ")), DLE).substr(2));
    ASSERT_FALSE(k.empty());
    EXPECT_EQ(HexValue(k[0]), 0x8C930001u);

    const auto x = Fields(Payload(pc().Ask(Loader(">X")), DLE).substr(3));
    ASSERT_GE(x.size(), 9u);
    EXPECT_EQ(HexValue(x[8]), 0x00001234u);
}

TEST_F(PanelWire, HardwareCoreIdCanDifferFromTheFirmwareOne) {
    sim::PanelDescription d = TestPanel();
    d.hwCoreId = "1234";
    Start(d);
    StartLoader();
    EXPECT_EQ(Fields(Payload(pc().Ask(Loader(">h")), DLE).substr(3))[1], "1234");
}

TEST_F(PanelWire, IoRegistersReadAndWrite) {
    Start();
    StartLoader();
    EXPECT_EQ(Payload(pc().Ask(Loader(">i00A0000001")), DLE).substr(3, 8), "000000C3");
    EXPECT_EQ(Payload(pc().Ask(Loader(">i0000800004")), DLE).substr(3, 8), "00000000");
    EXPECT_FALSE(Payload(pc().Ask(Loader("<i0000800004CAFE0055")), DLE).empty());
    EXPECT_EQ(Payload(pc().Ask(Loader(">i0000800004")), DLE).substr(3, 8), "CAFE0055");
    EXPECT_EQ(Payload(pc().Ask(Loader(">i0000800001")), DLE).substr(3, 8), "00000055");
    EXPECT_EQ(panel().IoRegister(0x8000), 0xCAFE0055u);
}

TEST_F(PanelWire, FirmwareDoesNotKnowLoaderCommands) {
    Start();
    for (const char* frame : {">h", ">K ", ">X", ">i00A0000001", ">m0000000000000010"}) {
        pc().Send(Loader(frame));
    }
    EXPECT_EQ(pc().Ask(std::string(1, ENQ)), std::string({ETX, SUB}));
    EXPECT_EQ(panel().Counters().badFrames, 5u);
}

TEST_F(PanelWire, MemoryBlockIsReadWithItsChecksum) {
    Start();
    StartLoader();
    const std::string block = ReadBlock(0x100, 0x4000);
    ASSERT_EQ(block.size(), 0x4002u);
    const std::string data = block.substr(0, 0x4000);
    EXPECT_EQ(data, Bytes(ExpectedMemory(TestPanel(), 0x100, 0x4000)));
    EXPECT_EQ(block.substr(0x4000), Cs(data));
    EXPECT_EQ(panel().Counters().readBlocks, 1u);
}

TEST_F(PanelWire, ReadPastARegionGivesErasedBytes) {
    Start();
    StartLoader();
    const std::string block = ReadBlock(0xFF00, 0x200);
    ASSERT_EQ(block.size(), 0x202u);
    EXPECT_EQ(block.substr(0, 0x100), Bytes(ExpectedMemory(TestPanel(), 0xFF00, 0x100)));
    EXPECT_EQ(block.substr(0x100, 0x100), std::string(0x100, '\xFF'));
}

TEST_F(PanelWire, MemoryWriteIsStoredOnlyWithTheRightChecksum) {
    Start();
    StartLoader();
    std::string data;
    for (int i = 0; i < 5000; ++i) {
        data += static_cast<char>(i % 3 == 0 ? CR : (i % 3 == 1 ? DLE : i));
    }
    const std::uint32_t address = 0x00400100;
    const auto before = panel().ReadMemory(address, data.size());

    EXPECT_EQ(pc().Ask(WriteMem(address, 5000)), std::string({ACK, SUB}));
    std::string bad = data + Cs(data);
    bad[bad.size() - 1] = bad.back() == '0' ? '1' : '0';
    pc().SendInPieces(bad, 4096);
    std::string answer = Payload(pc().Answer(), DLE);
    ASSERT_EQ(answer.size(), 4u);
    EXPECT_NE(answer[3], '0');
    EXPECT_EQ(panel().ReadMemory(address, data.size()), before);

    EXPECT_EQ(pc().Ask(WriteMem(address, 5000)), std::string({ACK, SUB}));
    pc().SendInPieces(data + Cs(data), 4096);
    answer = Payload(pc().Answer(), DLE);
    ASSERT_EQ(answer.size(), 4u);
    EXPECT_EQ(answer[3], '0');
    EXPECT_EQ(Bytes(panel().ReadMemory(address, data.size())), data);
    EXPECT_EQ(panel().Counters().writeBlocks, 1u);
    EXPECT_EQ(panel().Counters().badWriteBlocks, 1u);
}

TEST_F(PanelWire, LoaderRateChangeThenResetBackTo9600) {
    Start();
    StartLoader();
    SwitchLoaderRate('6', 115200);
    EXPECT_EQ(pc().Ask(std::string(1, ENQ)), std::string({EOT, SUB}));
    EXPECT_FALSE(Payload(pc().Ask(Loader(">Q")), DLE).empty());
    EXPECT_EQ(panel().Mode(), PanelMode::Loader);

    EXPECT_FALSE(Payload(pc().Ask(Loader(">q")), DLE).empty());
    ASSERT_TRUE(Eventually([&] { return panel().Rate() == 9600u; }));
    EXPECT_EQ(panel().Mode(), PanelMode::Firmware);
    EXPECT_FALSE(panel().Loader().present);
    pc().SetRate(9600);
    EXPECT_EQ(pc().Ask(std::string(1, ENQ)), std::string({ETX, SUB}));
}

TEST_F(PanelWire, LoaderRateChangeWithBadChecksumIsRefused) {
    Start();
    StartLoader();
    std::string frame = LoaderRate('0');
    frame[frame.size() - 2] = frame[frame.size() - 2] == '0' ? '1' : '0';
    const std::string payload = Payload(pc().Ask(frame), DLE);
    ASSERT_GE(payload.size(), 4u);
    EXPECT_NE(payload[3], '0');
    EXPECT_EQ(pc().Ask(std::string(1, ENQ)), std::string({EOT, SUB}));
    EXPECT_EQ(panel().Rate(), 9600u);
}

// --- break -----------------------------------------------------------------------------

TEST_F(PanelWire, BreakDropsThePartialFrameAndReturnsTo9600) {
    Start();
    StartLoader();
    SwitchLoaderRate('0', 38400);
    pc().Send(ReadMem(0, 16).substr(0, 8));
    pc().Break();
    ASSERT_TRUE(Eventually([&] { return panel().Rate() == 9600u; }));
    pc().SetRate(9600);
    EXPECT_EQ(Fields(Payload(pc().Ask(Loader(">h")), DLE).substr(3)).size(), 5u);
    EXPECT_EQ(panel().Mode(), PanelMode::Loader);  // the loader survives a break
    EXPECT_EQ(panel().Counters().breaks, 1u);
}

TEST_F(PanelWire, BreakDuringAWriteBlockDropsTheBlock) {
    Start();
    StartLoader();
    const auto before = panel().ReadMemory(0x400000, 16);
    EXPECT_EQ(pc().Ask(WriteMem(0x400000, 16)), std::string({ACK, SUB}));
    pc().Send("12345678");
    pc().Break();
    ASSERT_TRUE(Eventually([&] { return panel().Counters().breaks == 1; }));
    // The next frame is a command again, not the rest of the block.
    EXPECT_EQ(Fields(Payload(pc().Ask(Loader(">h")), DLE).substr(3)).size(), 5u);
    EXPECT_EQ(panel().ReadMemory(0x400000, 16), before);
}

TEST_F(PanelWire, IdleGapDropsAPartialFrame) {
    platform::ManualClock& clock = UseManualClock();
    sim::Panel::Options options;
    options.idleReset = std::chrono::milliseconds(100);
    fixture_ = std::make_unique<PanelFixture>(TestPanel(), nullptr, options);
    pc_ = std::make_unique<Pc>(fixture_->OpenPcEnd());
    pc().Send(std::string(1, ESC) + "MI");
    ASSERT_TRUE(Eventually([&] { return panel().Counters().bytesReceived == 3; }));
    clock.Advance(std::chrono::milliseconds(101));
    // "D" + checksum + CR alone is no frame; the probe is answered normally.
    pc().Send("D26\r");
    EXPECT_EQ(pc().Ask(std::string(1, ENQ)), std::string({ETX, SUB}));
    EXPECT_EQ(panel().Counters().frames, 0u);
}

// --- faults ----------------------------------------------------------------------------

TEST_F(PanelWire, NthReadBlockCarriesAWrongChecksum) {
    Start();
    StartLoader();
    sim::FaultConfig faults;
    faults.corruptReadBlock = 2;
    panel().SetFaults(faults);
    for (int n = 1; n <= 3; ++n) {
        const std::string block = ReadBlock(0, 64);
        ASSERT_EQ(block.size(), 66u);
        EXPECT_EQ(block.substr(0, 64), Bytes(ExpectedMemory(TestPanel(), 0, 64)));
        EXPECT_EQ(block.substr(64) == Cs(block.substr(0, 64)), n != 2) << "block " << n;
    }
}

TEST_F(PanelWire, LineErrorShortensTheBlockAndFlagsThePc) {
    Start();
    StartLoader();
    sim::FaultConfig faults;
    faults.lineErrorReadBlock = 1;
    panel().SetFaults(faults);
    EXPECT_FALSE(Payload(pc().Ask(ReadMem(0, 64)), DLE).empty());
    pc().Send(std::string(1, ACK));
    EXPECT_EQ(pc().Read(65).size(), 65u);
    std::uint32_t errors = 0;
    platform::QueueStatus queues;
    ASSERT_TRUE(pc().device().ClearError(errors, queues));
    EXPECT_TRUE(errors & platform::CE_FRAME);
    // Nothing more of that block follows: the next answer comes next.
    EXPECT_EQ(Payload(pc().Ask(Loader(">Q")), DLE).substr(0, 2), "<Q");
    EXPECT_EQ(ReadBlock(0, 64).size(), 66u);
}

TEST_F(PanelWire, DroppedInputLeavesTheProbeUnanswered) {
    Start();
    sim::FaultConfig faults;
    faults.rxDropRate = 1.0;
    panel().SetFaults(faults);
    pc().Send(std::string(1, ENQ));
    ASSERT_TRUE(Eventually([&] { return panel().Counters().bytesReceived == 1; }));
    panel().SetFaults({});
    EXPECT_EQ(pc().Ask(std::string(1, ENQ)), std::string({ETX, SUB}));
    EXPECT_EQ(panel().Counters().enqs, 1u);
}

TEST_F(PanelWire, GarbledOutputRepeatsWithTheSameSeed) {
    Start();
    sim::FaultConfig faults;
    faults.txGarbleRate = 0.5;
    faults.seed = 7;
    panel().SetFaults(faults);
    pc().Send(Mid());
    const std::string first = pc().Read(17);
    panel().SetFaults(faults);
    pc().Send(Mid());
    const std::string second = pc().Read(17);
    EXPECT_EQ(first, second);
    panel().SetFaults({});
    const std::string clean = pc().Ask(Mid());
    EXPECT_EQ(clean.size(), 17u);
    EXPECT_NE(first, clean);
}

TEST_F(PanelWire, SilentAfterFramesUntilPowerCycle) {
    Start();
    sim::FaultConfig faults;
    faults.silentAfterFrames = 2;
    panel().SetFaults(faults);
    EXPECT_FALSE(Payload(pc().Ask(Mid()), ESC).empty());
    EXPECT_FALSE(Payload(pc().Ask(Mid()), ESC).empty());
    EXPECT_TRUE(panel().Silent());
    pc().Send(Mid() + ENQ);
    ASSERT_TRUE(Eventually([&] { return panel().Counters().enqs == 1; }));
    EXPECT_EQ(pc().Pending(), "");
    panel().PowerCycle(std::chrono::milliseconds(0));
    EXPECT_FALSE(panel().Silent());
    EXPECT_EQ(pc().Ask(std::string(1, ENQ)), std::string({ETX, SUB}));
    // The trigger fired once: more frames do not silence the panel again.
    EXPECT_FALSE(Payload(pc().Ask(Mid()), ESC).empty());
    EXPECT_FALSE(Payload(pc().Ask(Mid()), ESC).empty());
    EXPECT_FALSE(Payload(pc().Ask(Mid()), ESC).empty());
}

TEST_F(PanelWire, PowerCycleDropsCtsAndRestartsTheFirmware) {
    platform::ManualClock& clock = UseManualClock();
    Start();
    StartLoader();
    SwitchLoaderRate('0', 38400);

    std::thread cycle([&] { panel().PowerCycle(std::chrono::milliseconds(500)); });
    ASSERT_TRUE(clock.WaitForSleepers(1));
    EXPECT_FALSE(pc().Cts());
    EXPECT_EQ(panel().Mode(), PanelMode::PoweredOff);
    pc().Send(std::string(1, ENQ));  // lost: the panel is off
    clock.Advance(std::chrono::milliseconds(500));
    cycle.join();

    EXPECT_TRUE(pc().Cts());
    EXPECT_EQ(panel().Mode(), PanelMode::Firmware);
    EXPECT_EQ(panel().Rate(), 9600u);
    EXPECT_FALSE(panel().Loader().present);
    pc().SetRate(9600);
    EXPECT_EQ(pc().Ask(std::string(1, ENQ)), std::string({ETX, SUB}));
    EXPECT_EQ(panel().Counters().powerCycles, 1u);
}

TEST_F(PanelWire, SilentPanelPowerCyclesItselfAfterEnoughProbes) {
    platform::ManualClock& clock = UseManualClock();
    Start();
    sim::FaultConfig faults;
    faults.silentAfterFrames = 0;
    faults.powerCycleAfterEnqs = 3;
    faults.powerOffTime = std::chrono::milliseconds(300);
    panel().SetFaults(faults);
    pc().Send(std::string(1, ENQ));
    pc().Send(std::string(1, ENQ));
    EXPECT_TRUE(pc().Cts());
    pc().Send(std::string(1, ENQ));
    ASSERT_TRUE(clock.WaitForSleepers(1));
    EXPECT_FALSE(pc().Cts());
    EXPECT_EQ(pc().Pending(), "");
    clock.Advance(std::chrono::milliseconds(300));
    ASSERT_TRUE(Eventually([&] { return pc().Cts(); }));
    ASSERT_TRUE(Eventually([&] { return panel().Counters().powerCycles == 1; }));
    EXPECT_EQ(pc().Ask(std::string(1, ENQ)), std::string({ETX, SUB}));
}

TEST_F(PanelWire, SlowAnswerWaitsOnTheProcessClock) {
    platform::ManualClock& clock = UseManualClock();
    Start();
    sim::FaultConfig faults;
    faults.answerDelay = std::chrono::milliseconds(200);
    panel().SetFaults(faults);
    pc().Send(std::string(1, ENQ));
    ASSERT_TRUE(clock.WaitForSleepers(1));
    EXPECT_EQ(pc().Pending(), "");
    clock.Advance(std::chrono::milliseconds(200));
    EXPECT_EQ(pc().Answer(), std::string({ETX, SUB}));
}

TEST_F(PanelWire, IoCodeReadsFfForTheFirstReads) {
    Start();
    StartLoader();
    sim::FaultConfig faults;
    faults.ffIoReads = 2;
    faults.ffIoAddress = 0x00A00000;
    panel().SetFaults(faults);
    EXPECT_EQ(Payload(pc().Ask(Loader(">i0000800001")), DLE).substr(3, 8), "00000000");
    EXPECT_EQ(Payload(pc().Ask(Loader(">i00A0000001")), DLE).substr(3, 8), "000000FF");
    EXPECT_EQ(Payload(pc().Ask(Loader(">i00A0000001")), DLE).substr(3, 8), "000000FF");
    EXPECT_EQ(Payload(pc().Ask(Loader(">i00A0000001")), DLE).substr(3, 8), "000000C3");
}

// --- record and memory -----------------------------------------------------------------

TEST_F(PanelWire, RecordsWhatItReceived) {
    Start();
    pc().Ask(std::string(1, ENQ));
    pc().Ask(Mid());
    pc().Send(Loader(">zz"));
    pc().Ask(Loader(">C"));
    EXPECT_THAT(panel().Commands(), ::testing::ElementsAre("ENQ", "MID", "?", ">C"));
    const auto frames = panel().Frames();
    EXPECT_EQ(Bytes(frames[1].raw), Mid());
    EXPECT_TRUE(frames[1].valid);
    EXPECT_FALSE(frames[2].valid);
    EXPECT_EQ(frames[3].mode, PanelMode::Firmware);
    panel().ClearFrames();
    EXPECT_TRUE(panel().Frames().empty());
}

TEST_F(PanelWire, SixteenMegabyteFlashCostsOnlyWrittenPages) {
    sim::PanelDescription d = TestPanel();
    d.regions = {{"FROM", 0x01000000, 0x01000000, {sim::MemoryFill::Kind::Pattern, 0, 9}}};
    Start(d);
    StartLoader();
    EXPECT_EQ(panel().MemoryPagesInUse(), 0u);
    const std::uint32_t last = 0x01FFF000;
    const std::string before = ReadBlock(last, 0x1000).substr(0, 0x1000);
    EXPECT_EQ(before, Bytes(ExpectedMemory(d, last, 0x1000)));

    const std::string data(0x1000, 'K');
    EXPECT_EQ(pc().Ask(WriteMem(last, 0x1000)), std::string({ACK, SUB}));
    pc().Send(data + Cs(data));
    EXPECT_EQ(Payload(pc().Answer(), DLE)[3], '0');
    EXPECT_EQ(panel().MemoryPagesInUse(), 1u);
    EXPECT_EQ(ReadBlock(last, 0x1000).substr(0, 0x1000), data);
    EXPECT_EQ(ReadBlock(0x01000000, 0x100).substr(0, 0x100),
              Bytes(ExpectedMemory(d, 0x01000000, 0x100)));
}

}  // namespace
}  // namespace kz::test

// The simulated panel's CF card driven with hand-made frames from the PC end of a virtual
// link: files taken from the card block by block, files sent to it, and the card's faults.
#include "sim/CfCard.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <optional>

#include <cstdio>

#include "platform/Clock.h"
#include "sim/Panel.h"
#include "support/PanelFixture.h"
#include "tests/sim/PcWire.h"

namespace kz::test {
namespace {

using namespace wire;
using ::testing::ElementsAre;

inline constexpr char NAK = 0x15;
constexpr std::size_t kFull = 65280;

std::vector<std::uint8_t> Content(std::size_t size, std::uint8_t seed) {
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        // Includes the framing bytes DLE, CR, SUB, ACK and NAK.
        bytes[i] = static_cast<std::uint8_t>(i * 13 + seed + (i >> 8));
    }
    return bytes;
}

std::string Str(const std::vector<std::uint8_t>& v) {
    return {v.begin(), v.end()};
}

std::string Range(const std::string& first, const std::string& last) {
    return Loader(">E" + first + "," + last);
}
std::string Next() {
    return Loader(">EN");
}
std::string Announce(const std::string& stem, std::size_t size) {
    char digits[16];
    std::snprintf(digits, sizeof digits, "%010zu", size);
    return Loader("<E" + stem + digits);
}
std::string BlockHeader(std::size_t length) {
    char digits[8];
    std::snprintf(digits, sizeof digits, "%05zu", length);
    return digits + Cs(digits);
}
std::string BlockData(const std::string& data) {
    return data + Cs(data);
}

std::string Result(char r) {
    return std::string(1, DLE) + "<EE" + r + CR + SUB;
}
const std::string kGoAhead{ACK, SUB};

// A file header's payload fields.
struct Header {
    std::string stem;
    std::string size;
};
Header ParseHeader(const std::string& answer) {
    const std::string payload = Payload(answer, DLE);
    if (payload.size() != 19) {
        ADD_FAILURE() << "not a file header: " << answer;
        return {};
    }
    return {payload.substr(2, 7), payload.substr(9, 10)};
}

class CfCardWire : public ::testing::Test {
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

    void Start(sim::PanelDescription description) {
        fixture_ = std::make_unique<PanelFixture>(std::move(description));
        pc_ = std::make_unique<Pc>(fixture_->OpenPcEnd());
    }

    void StartWith(const sim::CfFiles& files) {
        sim::PanelDescription d = TestPanel();
        d.cfFiles = files;
        Start(d);
    }

    sim::Panel& panel() { return fixture_->panel(); }
    Pc& pc() { return *pc_; }

    // Asks for one block with ACK and returns its data; checks the length digits and the
    // checksum.
    std::string TakeBlock() {
        pc().Send(std::string(1, ACK));
        const std::string digits = pc().Read(5);
        EXPECT_EQ(digits.size(), 5u);
        const std::size_t length = std::stoul(digits);
        const std::string rest = pc().Read(length + 2);
        EXPECT_EQ(rest.size(), length + 2);
        const std::string data = rest.substr(0, length);
        EXPECT_EQ(rest.substr(length), Cs(data));
        return data;
    }

    // Takes a whole file whose header announced size.
    std::string TakeFile(std::size_t size) {
        std::string data;
        while (data.size() < size) {
            data += TakeBlock();
        }
        return data;
    }

    // Sends a whole file: announcement, then blocks until the final answer.
    void SendFile(const std::string& stem, const std::string& data) {
        ASSERT_EQ(pc().Ask(Announce(stem, data.size())), kGoAhead);
        std::size_t at = 0;
        for (;;) {
            const std::size_t length = std::min(kFull, data.size() - at);
            ASSERT_EQ(pc().Ask(BlockHeader(length)), kGoAhead);
            pc().SendInPieces(BlockData(data.substr(at, length)), 4096);
            at += length;
            const std::string answer = pc().Answer();
            if (length < kFull) {
                ASSERT_FALSE(Payload(answer, DLE).empty()) << "final answer";
                return;
            }
            ASSERT_EQ(answer, kGoAhead);
        }
    }

    platform::ManualClock manualClock_;
    std::optional<platform::ScopedClock> clockGuard_;
    std::unique_ptr<PanelFixture> fixture_;
    std::unique_ptr<Pc> pc_;
};

// --- card -> PC -------------------------------------------------------------------------

TEST_F(CfCardWire, RangeOffersFilesInStemOrderThenNoMore) {
    const auto a = Content(70000, 1);
    const auto b = Content(10, 2);
    StartWith({{"ZI00007.BIN", b}, {"ZI00001.BIN", a}, {"ZO00001.BIN", Content(5, 3)}});
    EXPECT_EQ(Payload(pc().Ask(Loader(">C")), DLE).substr(0, 2), "<C");

    Header h = ParseHeader(pc().Ask(Range("ZI00001", "ZI08999")));
    EXPECT_EQ(h.stem, "ZI00001");
    EXPECT_EQ(h.size, "0000070000");
    EXPECT_EQ(TakeBlock().size(), kFull);
    EXPECT_EQ(TakeBlock().size(), 70000 - kFull);

    h = ParseHeader(pc().Ask(Next()));
    EXPECT_EQ(h.stem, "ZI00007");
    EXPECT_EQ(h.size, "0000000010");
    EXPECT_EQ(TakeFile(10), Str(b));

    EXPECT_EQ(pc().Ask(Next()), Result('0'));
    EXPECT_EQ(pc().Ask(Next()), Result('0'));
    EXPECT_EQ(panel().Counters().cfFilesOffered, 2u);
    EXPECT_EQ(panel().Counters().cfBlocksSent, 3u);
}

TEST_F(CfCardWire, RangeBoundsAndPrefixSelectFiles) {
    StartWith({{"ZI00001.BIN", Content(1, 0)},
               {"ZI00005.BIN", Content(1, 0)},
               {"ZI00009.BIN", Content(1, 0)},
               {"ZO00006.BIN", Content(1, 0)}});
    EXPECT_EQ(ParseHeader(pc().Ask(Range("ZI00002", "ZI00009"))).stem, "ZI00005");
    // The file is left unread: the next request moves on.
    EXPECT_EQ(ParseHeader(pc().Ask(Next())).stem, "ZI00009");
    EXPECT_EQ(pc().Ask(Next()), Result('0'));
    EXPECT_EQ(ParseHeader(pc().Ask(Range("ZO00000", "ZO08999"))).stem, "ZO00006");
    EXPECT_EQ(pc().Ask(Range("ZI00010", "ZI08999")), Result('0'));
}

struct BlockCase {
    const char* name;
    std::size_t size;
    std::vector<std::size_t> blocks;
};

class CfBlocks : public CfCardWire, public ::testing::WithParamInterface<BlockCase> {};

TEST_P(CfBlocks, FileIsCutIntoFullBlocksAndOneShortOne) {
    const auto content = Content(GetParam().size, 4);
    StartWith({{"ZD00003.BIN", content}});
    const Header h = ParseHeader(pc().Ask(Range("ZD00000", "ZD65535")));
    EXPECT_EQ(std::stoul(h.size), GetParam().size);
    std::string data;
    std::vector<std::size_t> lengths;
    for (std::size_t i = 0; i < GetParam().blocks.size(); ++i) {
        lengths.push_back(TakeBlock().size());
    }
    EXPECT_EQ(lengths, GetParam().blocks);
    // No further block: an ACK now is not answered, the next request is.
    pc().Send(std::string(1, ACK));
    EXPECT_EQ(pc().Ask(Next()), Result('0'));
}

INSTANTIATE_TEST_SUITE_P(Sizes, CfBlocks,
                         ::testing::Values(BlockCase{"Empty", 0, {}}, BlockCase{"OneByte", 1, {1}},
                                           BlockCase{"Full", 65280, {65280}},
                                           BlockCase{"FullPlusOne", 65281, {65280, 1}},
                                           BlockCase{"TwoFull", 130560, {65280, 65280}}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(CfCardWire, EmptyCardAnswersNoFilesForEveryCategory) {
    StartWith({});
    for (const sim::CfCategoryRule& rule : sim::CfCategoryRules()) {
        char first[8];
        char last[8];
        std::snprintf(first, sizeof first, "%.2s%05u", rule.prefix.data(), rule.first);
        std::snprintf(last, sizeof last, "%.2s%05u", rule.prefix.data(), rule.last);
        EXPECT_EQ(pc().Ask(Range(first, last)), Result('0')) << first;
    }
}

TEST_F(CfCardWire, NoCardAnswersE) {
    sim::PanelDescription d = TestPanel();
    d.cfCardPresent = false;
    d.cfFiles = {{"ZI00001.BIN", Content(3, 0)}};
    Start(d);
    EXPECT_EQ(pc().Ask(Range("ZI00001", "ZI08999")), Result('E'));
    EXPECT_EQ(pc().Ask(Next()), Result('E'));
    EXPECT_EQ(pc().Ask(Announce("ZI00002", 3)), Result('E'));
    panel().SetCfCardPresent(true);
    EXPECT_EQ(ParseHeader(pc().Ask(Range("ZI00001", "ZI08999"))).stem, "ZI00001");
}

TEST_F(CfCardWire, NakStopsTheFile) {
    StartWith({{"ZI00001.BIN", Content(200000, 0)}, {"ZI00002.BIN", Content(3, 0)}});
    ParseHeader(pc().Ask(Range("ZI00001", "ZI08999")));
    TakeBlock();
    pc().Send(std::string(1, NAK));
    pc().Send(std::string(1, ACK));  // no block follows
    EXPECT_EQ(ParseHeader(pc().Ask(Next())).stem, "ZI00002");
    EXPECT_THAT(panel().Commands(), ElementsAre(">E", "ACK", "NAK", "ACK", ">EN"));
    const auto frames = panel().Frames();
    EXPECT_TRUE(frames[1].valid);
    EXPECT_FALSE(frames[3].valid);
}

TEST_F(CfCardWire, MalformedRangeIsRefused) {
    StartWith({{"ZI00001.BIN", Content(3, 0)}});
    for (const char* range : {"ZI00001,ZO08999", "ZI0001,ZI08999", "XX00001,XX08999",
                              "ZI00001ZI08999", "ZI00001,ZI0899x"}) {
        const std::string answer = pc().Ask(Loader(std::string(">E") + range));
        EXPECT_EQ(answer, Result('F')) << range;
    }
    for (const auto& frame : panel().Frames()) {
        EXPECT_FALSE(frame.valid);
    }
}

TEST_F(CfCardWire, ConnectRateChangeAndQuitWithoutLoader) {
    StartWith({{"ZI00001.BIN", Content(100, 0)}});
    EXPECT_EQ(Payload(pc().Ask(Loader(">C")), DLE).substr(0, 2), "<C");
    const std::string covered = "260000";
    const std::string rate = std::string(1, DLE) + "<O" + covered + Cs(covered) + CR;
    EXPECT_EQ(Payload(pc().Ask(rate), DLE).substr(0, 2), "<O");
    ASSERT_TRUE(Eventually([&] { return panel().Rate() == 115200u; }));
    pc().SetRate(115200);
    ParseHeader(pc().Ask(Range("ZI00001", "ZI08999")));
    EXPECT_EQ(TakeFile(100), Str(Content(100, 0)));
    EXPECT_EQ(Payload(pc().Ask(Loader(">Q")), DLE).substr(0, 2), "<Q");
    // Quit ends the transfer: a next request starts from nothing.
    EXPECT_EQ(pc().Ask(Next()), Result('0'));
    EXPECT_EQ(panel().Mode(), sim::PanelMode::Firmware);
}

// --- PC -> card -------------------------------------------------------------------------

struct SendCase {
    const char* name;
    std::size_t size;
    std::vector<std::string> headers;  // in order, the last one for the short block
};

class CfSend : public CfCardWire, public ::testing::WithParamInterface<SendCase> {};

TEST_P(CfSend, FileIsStoredAfterItsShortBlock) {
    StartWith({});
    const std::string data = Str(Content(GetParam().size, 7));
    ASSERT_EQ(pc().Ask(Announce("ZI00001", data.size())), kGoAhead);
    std::size_t at = 0;
    for (std::size_t i = 0; i < GetParam().headers.size(); ++i) {
        const bool last = i + 1 == GetParam().headers.size();
        const std::size_t length = last ? data.size() - at : kFull;
        ASSERT_EQ(pc().Ask(GetParam().headers[i]), kGoAhead);
        EXPECT_FALSE(panel().CfCardFile("ZI00001.BIN").has_value());
        pc().SendInPieces(BlockData(data.substr(at, length)), 4096);
        at += length;
        const std::string answer = pc().Answer();
        if (last) {
            EXPECT_FALSE(Payload(answer, DLE).empty());
            EXPECT_NE(Payload(answer, DLE).substr(2, 1), "E");
        } else {
            EXPECT_EQ(answer, kGoAhead);
        }
    }
    const auto stored = panel().CfCardFile("ZI00001.BIN");
    ASSERT_TRUE(stored.has_value());
    EXPECT_EQ(Str(*stored), data);
    EXPECT_EQ(panel().Counters().cfFilesStored, 1u);
    EXPECT_EQ(panel().Counters().cfBlocksReceived, GetParam().headers.size());
}

INSTANTIATE_TEST_SUITE_P(Sizes, CfSend,
                         ::testing::Values(SendCase{"Empty", 0, {"0000010"}},
                                           SendCase{"Full", 65280, {"65280FB", "0000010"}},
                                           SendCase{"FullAndShort", 70000, {"65280FB", "0472003"}},
                                           SendCase{"Small", 10, {"000100F"}}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(CfCardWire, SendRecordsAnnouncementHeaderAndData) {
    StartWith({});
    SendFile("ZD00000", "");
    EXPECT_THAT(panel().Commands(), ElementsAre("<E", "CFHEAD", "CFDATA"));
    const auto frames = panel().Frames();
    EXPECT_EQ(Str(frames[0].raw), Announce("ZD00000", 0));
    EXPECT_EQ(Str(frames[1].raw), "0000010");
    EXPECT_EQ(Str(frames[2].raw), "00");
    for (const auto& frame : frames) {
        EXPECT_TRUE(frame.valid);
    }
    ASSERT_TRUE(panel().CfCardFile("ZD00000.BIN").has_value());
    EXPECT_TRUE(panel().CfCardFile("ZD00000.BIN")->empty());
}

TEST_F(CfCardWire, ReceiveThenSendLeavesTheCardByteIdentical) {
    const sim::CfFiles card = {{"ZI00001.BIN", Content(70000, 1)},
                               {"ZI00002.BIN", Content(0, 0)},
                               {"ZR00003.CSV", Content(65280, 2)},
                               {"CP00042.JPG", Content(131000, 3)}};
    StartWith(card);
    std::map<std::string, std::string> pcFiles;
    for (const std::string& range :
         {Range("ZI00001", "ZI08999"), Range("ZR00000", "ZR65535"), Range("CP00000", "CP65535")}) {
        std::string answer = pc().Ask(range);
        while (answer != Result('0')) {
            const Header h = ParseHeader(answer);
            pcFiles[h.stem] = TakeFile(std::stoul(h.size));
            answer = pc().Ask(Next());
        }
    }
    ASSERT_EQ(pcFiles.size(), 4u);
    for (const auto& [name, bytes] : card) {
        ASSERT_TRUE(panel().RemoveCfCardFile(name));
    }
    for (const auto& [stem, data] : pcFiles) {
        SendFile(stem, data);
    }
    EXPECT_EQ(panel().CfCardFiles(), card);
}

TEST_F(CfCardWire, SentFileReplacesTheOneOnTheCard) {
    StartWith({{"ZL00001.CSV", Content(500, 1)}});
    SendFile("ZL00001", "new,content\r\n");
    EXPECT_EQ(Str(*panel().CfCardFile("ZL00001.CSV")), "new,content\r\n");
    EXPECT_EQ(panel().CfCardFiles().size(), 1u);
}

struct BadAnnouncement {
    const char* name;
    std::string text;  // after "<E"
};

class CfBadAnnouncement : public CfCardWire,
                          public ::testing::WithParamInterface<BadAnnouncement> {};

TEST_P(CfBadAnnouncement, IsRefusedWithAWriteError) {
    StartWith({});
    EXPECT_EQ(pc().Ask(Loader("<E" + GetParam().text)), Result('G'));
    ASSERT_EQ(panel().Frames().size(), 1u);
    EXPECT_FALSE(panel().Frames()[0].valid);
    // No transfer began: the next bytes are frames again.
    EXPECT_EQ(Payload(pc().Ask(Loader(">Q")), DLE).substr(0, 2), "<Q");
    EXPECT_TRUE(panel().CfCardFiles().empty());
}

INSTANTIATE_TEST_SUITE_P(Texts, CfBadAnnouncement,
                         ::testing::Values(BadAnnouncement{"UnknownPrefix", "XX000010000000010"},
                                           BadAnnouncement{"NumberOutOfRange", "ZI090000000000010"},
                                           BadAnnouncement{"ImageNumberZero", "ZI000000000000010"},
                                           BadAnnouncement{"FourDigitNumber", "ZI00010000000010"},
                                           BadAnnouncement{"ShortSize", "ZI00001000000010"},
                                           BadAnnouncement{"SizeNotDecimal", "ZI00001000000001A"},
                                           BadAnnouncement{"SizeBeyond31Bits", "ZI000012147483648"},
                                           BadAnnouncement{"DotsInStem", "ZI..\\010000000010"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(CfCardWire, BadBlockHeaderIsRefused) {
    StartWith({});
    for (const std::string& header :
         {std::string("0001021"), std::string("65280FB"), std::string("0001x20")}) {
        ASSERT_EQ(pc().Ask(Announce("ZI00001", 10)), kGoAhead);
        EXPECT_EQ(pc().Ask(header), Result('G')) << header;
    }
    EXPECT_EQ(panel().Counters().cfBadBlocks, 3u);
    EXPECT_FALSE(panel().CfCardFile("ZI00001.BIN").has_value());
}

TEST_F(CfCardWire, FullBlockWithBadChecksumGetsAWriteError) {
    StartWith({});
    const std::string data = Str(Content(70000, 1));
    ASSERT_EQ(pc().Ask(Announce("ZI00001", data.size())), kGoAhead);
    ASSERT_EQ(pc().Ask(BlockHeader(kFull)), kGoAhead);
    std::string block = BlockData(data.substr(0, kFull));
    block[100] = static_cast<char>(block[100] ^ 1);
    pc().SendInPieces(block, 4096);
    EXPECT_EQ(pc().Answer(), Result('G'));
    EXPECT_FALSE(panel().Frames().back().valid);
    EXPECT_EQ(panel().Frames().back().size, kFull + 2);
    EXPECT_FALSE(panel().CfCardFile("ZI00001.BIN").has_value());
}

TEST_F(CfCardWire, LastBlockWithBadChecksumLeavesTheCardAlone) {
    StartWith({{"ZI00001.BIN", Content(3, 3)}});
    ASSERT_EQ(pc().Ask(Announce("ZI00001", 5)), kGoAhead);
    ASSERT_EQ(pc().Ask(BlockHeader(5)), kGoAhead);
    std::string block = BlockData("hello");
    block.back() = block.back() == '0' ? '1' : '0';
    EXPECT_EQ(pc().Ask(block), Result('G'));
    EXPECT_EQ(Str(*panel().CfCardFile("ZI00001.BIN")), Str(Content(3, 3)));
}

TEST_F(CfCardWire, FrameInsteadOfBlockHeaderAbandonsTheFile) {
    StartWith({});
    ASSERT_EQ(pc().Ask(Announce("ZI00001", 10)), kGoAhead);
    EXPECT_EQ(Payload(pc().Ask(Loader(">Q")), DLE).substr(0, 2), "<Q");
    // A header now is noise, not the start of a block.
    pc().Send(BlockHeader(10));
    EXPECT_EQ(Payload(pc().Ask(Loader(">C")), DLE).substr(0, 2), "<C");
    EXPECT_THAT(panel().Commands(), ElementsAre("<E", ">Q", ">C"));
}

TEST_F(CfCardWire, IdleGapDropsAPartBlockButNotTheWaitForAHeader) {
    platform::ManualClock& clock = UseManualClock();
    sim::Panel::Options options;
    options.idleReset = std::chrono::milliseconds(100);
    fixture_ = std::make_unique<PanelFixture>(TestPanel(), nullptr, options);
    pc_ = std::make_unique<Pc>(fixture_->OpenPcEnd());
    ASSERT_EQ(pc().Ask(Announce("ZI00001", 4)), kGoAhead);
    clock.Advance(std::chrono::milliseconds(500));
    ASSERT_EQ(pc().Ask(BlockHeader(4)), kGoAhead);
    pc().Send("ab");
    ASSERT_TRUE(Eventually([&] { return panel().Counters().bytesReceived == 30; }));
    clock.Advance(std::chrono::milliseconds(500));
    // The rest of the block after the gap is noise; the file is not stored.
    pc().Send(std::string("cd") + Cs("abcd"));
    EXPECT_EQ(Payload(pc().Ask(Loader(">Q")), DLE).substr(0, 2), "<Q");
    EXPECT_FALSE(panel().CfCardFile("ZI00001.BIN").has_value());
}

// --- faults -----------------------------------------------------------------------------

struct ResultCase {
    const char* name;
    std::uint32_t at;
    char result;
};

class CfForcedResult : public CfCardWire, public ::testing::WithParamInterface<ResultCase> {
  protected:
    void SetUp() override {
        StartWith({{"ZI00001.BIN", Content(3, 0)}, {"ZI00002.BIN", Content(3, 0)}});
        sim::FaultConfig faults;
        faults.cfResultAt = GetParam().at;
        faults.cfResult = GetParam().result;
        panel().SetFaults(faults);
    }
};

// Requests: 1 range, 2 next, 3 announcement, 4 full block.
TEST_P(CfForcedResult, ReplacesTheAnswerOfTheNthRequest) {
    const char r = GetParam().result;
    const std::uint32_t at = GetParam().at;
    std::string answer = pc().Ask(Range("ZI00001", "ZI08999"));
    if (at == 1) {
        EXPECT_EQ(answer, Result(r));
    } else {
        EXPECT_EQ(TakeFile(3), Str(Content(3, 0)));
    }
    answer = pc().Ask(Next());
    EXPECT_EQ(answer == Result(r), at == 2);
    answer = pc().Ask(Announce("ZO00001", 70000));
    EXPECT_EQ(answer == Result(r), at == 3);
    if (at == 3) {
        return;
    }
    ASSERT_EQ(pc().Ask(BlockHeader(kFull)), kGoAhead);
    pc().SendInPieces(BlockData(std::string(kFull, 'x')), 4096);
    answer = pc().Answer();
    EXPECT_EQ(answer == Result(r), at == 4);
    EXPECT_EQ(answer == kGoAhead, at != 4);
}

INSTANTIATE_TEST_SUITE_P(Requests, CfForcedResult,
                         ::testing::Values(ResultCase{"RangeReadError", 1, 'F'},
                                           ResultCase{"NextWriteError", 2, 'G'},
                                           ResultCase{"AnnounceDeleteError", 3, 'H'},
                                           ResultCase{"FullBlockFolderError", 4, 'I'},
                                           ResultCase{"AnnounceAlreadyDone", 3, '0'},
                                           ResultCase{"RangeUnknownResult", 1, 'Z'}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(CfCardWire, NoCardFaultHidesTheCard) {
    StartWith({{"ZI00001.BIN", Content(3, 0)}});
    sim::FaultConfig faults;
    faults.cfNoCard = true;
    panel().SetFaults(faults);
    EXPECT_EQ(pc().Ask(Range("ZI00001", "ZI08999")), Result('E'));
    EXPECT_EQ(pc().Ask(Announce("ZI00002", 3)), Result('E'));
    EXPECT_TRUE(panel().CfCardPresent());
}

class CfRawHeader : public CfCardWire, public ::testing::WithParamInterface<std::string> {};

TEST_P(CfRawHeader, IsSentAsGivenFollowedByTheRealBlocks) {
    StartWith({{"ZI00001.BIN", Content(10, 5)}, {"ZI00002.BIN", Content(4, 6)}});
    sim::FaultConfig faults;
    faults.cfRawHeader = GetParam();
    faults.cfRawHeaderAt = 2;
    panel().SetFaults(faults);
    EXPECT_EQ(ParseHeader(pc().Ask(Range("ZI00001", "ZI08999"))).stem, "ZI00001");
    EXPECT_EQ(TakeFile(10), Str(Content(10, 5)));
    EXPECT_EQ(pc().Ask(Next()), std::string(1, DLE) + GetParam() + CR + SUB);
    EXPECT_EQ(TakeBlock(), Str(Content(4, 6)));
}

INSTANTIATE_TEST_SUITE_P(Payloads, CfRawHeader,
                         ::testing::Values("<E..\\..\\0000000004", "<EZI/00010000000004",
                                           "<EZO000010000000004", "<EZI00010000000004",
                                           "<EZI000020000000x04", "<EZI00002-000000004"));

TEST_F(CfCardWire, OversizeBlockCarriesTheLengthItAnnounces) {
    StartWith({{"ZI00001.BIN", Content(70000, 5)}});
    sim::FaultConfig faults;
    faults.cfOversizeBlock = 1;
    faults.cfOversizeLength = 66000;
    panel().SetFaults(faults);
    ParseHeader(pc().Ask(Range("ZI00001", "ZI08999")));
    pc().Send(std::string(1, ACK));
    EXPECT_EQ(pc().Read(5), "66000");
    const std::string rest = pc().Read(66002);
    ASSERT_EQ(rest.size(), 66002u);
    EXPECT_EQ(rest.substr(0, 66000), Str(Content(70000, 5)).substr(0, 66000));
    EXPECT_EQ(rest.substr(66000), Cs(rest.substr(0, 66000)));
    EXPECT_EQ(pc().Pending(), "");
}

TEST_F(CfCardWire, CorruptBlockKeepsTheChecksumOfTheTrueData) {
    const auto content = Content(100, 5);
    StartWith({{"ZI00001.BIN", content}});
    sim::FaultConfig faults;
    faults.cfCorruptBlock = 1;
    panel().SetFaults(faults);
    ParseHeader(pc().Ask(Range("ZI00001", "ZI08999")));
    pc().Send(std::string(1, ACK));
    EXPECT_EQ(pc().Read(5), "00100");
    const std::string rest = pc().Read(102);
    EXPECT_EQ(static_cast<std::uint8_t>(rest[0]), static_cast<std::uint8_t>(~content[0]));
    EXPECT_EQ(rest.substr(1, 99), Str(content).substr(1));
    EXPECT_EQ(rest.substr(100), Cs(Str(content)));
}

TEST_F(CfCardWire, SilentDuringAFileItTakes) {
    StartWith({{"ZI00001.BIN", Content(200000, 5)}});
    sim::FaultConfig faults;
    faults.cfSilentAfterBlocks = 1;
    panel().SetFaults(faults);
    ParseHeader(pc().Ask(Range("ZI00001", "ZI08999")));
    EXPECT_EQ(TakeBlock().size(), kFull);
    pc().Send(std::string(1, ACK));
    pc().Send(Next());
    ASSERT_TRUE(Eventually([&] { return panel().Commands().size() == 4; }));
    EXPECT_TRUE(panel().Silent());
    EXPECT_EQ(pc().Pending(), "");
    panel().PowerCycle(std::chrono::milliseconds(0));
    EXPECT_FALSE(panel().Silent());
    EXPECT_EQ(ParseHeader(pc().Ask(Range("ZI00001", "ZI08999"))).stem, "ZI00001");
    EXPECT_EQ(TakeBlock().size(), kFull);  // the silence came once
    EXPECT_EQ(TakeBlock().size(), kFull);
}

TEST_F(CfCardWire, SilentDuringAFileItIsSent) {
    StartWith({});
    sim::FaultConfig faults;
    faults.cfSilentAfterBlocks = 1;
    panel().SetFaults(faults);
    const std::string data(70000, 'd');
    ASSERT_EQ(pc().Ask(Announce("ZI00001", data.size())), kGoAhead);
    ASSERT_EQ(pc().Ask(BlockHeader(kFull)), kGoAhead);
    pc().SendInPieces(BlockData(data.substr(0, kFull)), 4096);
    EXPECT_EQ(pc().Answer(), kGoAhead);
    pc().Send(BlockHeader(70000 - kFull));
    ASSERT_TRUE(Eventually([&] { return panel().Silent(); }));
    EXPECT_EQ(pc().Pending(), "");
    EXPECT_FALSE(panel().CfCardFile("ZI00001.BIN").has_value());
}

TEST_F(CfCardWire, SlowBlockWaitsOnTheProcessClock) {
    platform::ManualClock& clock = UseManualClock();
    StartWith({{"ZI00001.BIN", Content(10, 5)}});
    sim::FaultConfig faults;
    faults.answerDelay = std::chrono::milliseconds(300);
    panel().SetFaults(faults);
    pc().Send(Range("ZI00001", "ZI08999"));
    ASSERT_TRUE(clock.WaitForSleepers(1));
    clock.Advance(std::chrono::milliseconds(300));
    ParseHeader(pc().Answer());
    pc().Send(std::string(1, ACK));
    ASSERT_TRUE(clock.WaitForSleepers(1));
    EXPECT_EQ(pc().Pending(), "");
    clock.Advance(std::chrono::milliseconds(300));
    EXPECT_EQ(pc().Read(17).substr(0, 5), "00010");
}

}  // namespace
}  // namespace kz::test

// The simulated panel's CF card driven with hand-made frames from the PC end of a virtual
// link: files taken from the card block by block, files sent to it, and the card's faults.
#include "sim/CfCard.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

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
        platform::SetClock(nullptr);
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

TEST_F(CfCardWire, FileContentArrivesIntact) {
    const auto a = Content(70000, 9);
    StartWith({{"ZR00012.CSV", a}});
    ParseHeader(pc().Ask(Range("ZR00000", "ZR65535")));
    EXPECT_EQ(TakeFile(a.size()), Str(a));
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

}  // namespace
}  // namespace kz::test

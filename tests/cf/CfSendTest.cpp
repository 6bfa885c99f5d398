// CF send against the simulated panel's card: the announcement and block framing on the
// line, what ends up on the card, and the failure paths.
#include "ops/cf/CfSend.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "platform/Format.h"
#include "support/PlantedFiles.h"
#include "tests/cf/CfScenario.h"

namespace kz::test {
namespace {

namespace fs = std::filesystem;

const std::string kRateLine = "    Change of a baud rate(38400)";

TEST(CfSend, BlockHeadersOfEmptyFullAndTwoBlockFiles) {
    CfScenario s;
    s.WritePc("data/ZI00001.BIN", {});
    s.WritePc("file/ZR00002.CSV", Content(65280, 1));
    s.WritePc("Sram/ZD00003.BIN", Content(70000, 2));

    EXPECT_EQ(s.Send(), msg::kCompleted);
    EXPECT_EQ(s.bench.view.asked, std::vector<int>{msg::kAskOverwriteCard});
    EXPECT_EQ(s.Raw("<E"),
              (std::vector<std::string>{"\x10<EZI000010000000000\r", "\x10<EZR000020000065280\r",
                                        "\x10<EZD000030000070000\r"}));
    EXPECT_EQ(s.Raw("CFHEAD"),
              (std::vector<std::string>{"0000010", "65280FB", "0000010", "65280FB", "0472003"}));
    EXPECT_EQ(s.bench.panel->CfCardFile("ZI00001.BIN"), Bytes{});
    EXPECT_EQ(s.bench.panel->CfCardFile("ZR00002.CSV"), Content(65280, 1));
    EXPECT_EQ(s.bench.panel->CfCardFile("ZD00003.BIN"), Content(70000, 2));
    EXPECT_EQ(s.bench.panel->Counters().cfBadBlocks, 0u);

    auto lines = s.Lines();
    EXPECT_EQ(lines,
              (std::vector<std::string>{GetString(msg::kCfSendStart), kRateLine,
                                        GetString(msg::kCfImageSend), GetString(msg::kCfCsvSend),
                                        GetString(msg::kCfSramSend), GetString(msg::kCompleted)}));
    EXPECT_EQ(s.bench.view.Progress(), 100);
    EXPECT_FALSE(s.bench.view.PowerWarning());
    EXPECT_TRUE(s.QuitReachedPanel());
}

// The stem goes to the panel in upper case; the PC file is opened under its own name. A
// name with more than the stem and the extension stands for no one card file.
TEST(CfSend, LowerCaseNamesAreSentUnderUpperCaseStems) {
    CfScenario s;
    s.WritePc("data/zi00005.bin", Content(300, 3));
    s.WritePc("data/ZI00006.BAK.BIN", Content(20, 4));
    EXPECT_EQ(s.Send(), msg::kCompleted);
    EXPECT_EQ(s.bench.panel->CfCardFile("ZI00005.BIN"), Content(300, 3));
    EXPECT_FALSE(s.bench.panel->CfCardFile("ZI00006.BIN").has_value());
    EXPECT_TRUE(s.HasLine(Format(GetString(msg::kCfNotCardName).c_str(), "data/ZI00006.BAK.BIN")));
}

// Two PC files of one card name would silently replace each other on the card.
TEST(CfSend, TwoFilesOfOneCardNameEndTheRunBeforeAnythingIsSent) {
    if (!test::NamesAreCaseSensitive()) {
        GTEST_SKIP() << "the file system ignores letter case: one file only";
    }
    CfScenario s;
    s.WritePc("data/ZI00001.BIN", Content(10, 1));
    s.WritePc("data/ZI00002.BIN", Content(10, 2));
    s.WritePc("data/zi00002.bin", Content(10, 3));
    EXPECT_EQ(s.Send(), msg::kCfDuplicateNames);
    EXPECT_EQ(s.LastLine(), GetString(msg::kCfDuplicateNames));
    const std::string line = s.Lines().at(1);
    EXPECT_TRUE(line == Format(GetString(msg::kCfSameCardName).c_str(), "data/ZI00002.BIN",
                               "data/zi00002.bin") ||
                line == Format(GetString(msg::kCfSameCardName).c_str(), "data/zi00002.bin",
                               "data/ZI00002.BIN"))
        << line;
    EXPECT_TRUE(s.Commands().empty());
}

// Names that are not a card name, and links (to a file or as a subfolder), are left out
// with a status line each; the rest is sent.
TEST(CfSend, OddNamesAndLinksAreLeftOut) {
    if (!test::SymlinksWork()) {
        GTEST_SKIP() << "symbolic links cannot be made here";
    }

    CfScenario s;
    const std::string outside = s.bench.folder.Path("outside");
    s.bench.folder.dir().Write("outside/ZL00001.CSV", "secret");
    s.WritePc("data/ZI00001.BIN", Content(10, 1));
    s.WritePc("data/ZI00003.tar.BIN", Content(10, 2));
    s.WritePc("data/ZI00004.\xC3\xA9.BIN", Content(10, 3));
    fs::create_symlink(outside + "/ZL00001.CSV", s.pc + "/data/ZI00005.BIN");
    fs::create_directory_symlink(outside, s.pc + "/log");

    EXPECT_EQ(s.Send(), msg::kCompleted);
    EXPECT_EQ(s.bench.panel->CfCardFiles().size(), 1u);
    EXPECT_EQ(s.bench.panel->CfCardFile("ZI00001.BIN"), Content(10, 1));
    for (const std::string& line :
         {Format(GetString(msg::kCfNotCardName).c_str(), "data/ZI00003.tar.BIN"),
          Format(GetString(msg::kCfNotCardName).c_str(), "data/ZI00004.??.BIN"),
          Format(GetString(msg::kCfSymbolicLink).c_str(), "data/ZI00005.BIN"),
          Format(GetString(msg::kCfSymbolicLink).c_str(), "log")}) {
        EXPECT_TRUE(s.HasLine(line)) << line;
    }
}

TEST(CfSend, NothingToSendStillQuits) {
    CfScenario s;
    fs::create_directories(s.pc);
    int total = 0;
    EXPECT_EQ(s.Send([&](CCfSend& op) {
        ASSERT_TRUE(s.bench.view.WaitComplete());
        total = op.ProgressTotal();
    }),
              msg::kCompleted);
    EXPECT_EQ(total, 1);
    EXPECT_EQ(s.Count("<E"), 0);
    EXPECT_EQ(s.Lines(), (std::vector<std::string>{GetString(msg::kCfSendStart), kRateLine,
                                                   GetString(msg::kCompleted)}));
    EXPECT_TRUE(s.QuitReachedPanel());
}

TEST(CfSend, RefusedOverwriteQuestionSendsNothing) {
    CfScenario s;
    s.WritePc("data/ZI00001.BIN", Content(10, 1));
    s.bench.view.answerOk = false;
    EXPECT_EQ(s.Send(), msg::kAborted);
    EXPECT_EQ(s.LastLine(), GetString(msg::kAborted));
    EXPECT_TRUE(s.Commands().empty());
}

TEST(CfSend, CardErrorOnAnAnnouncementEndsAfterQuit) {
    CfScenario s;
    s.WritePc("data/ZI00001.BIN", Content(10, 1));
    s.WritePc("data/ZI00002.BIN", Content(10, 2));
    sim::FaultConfig faults;
    faults.cfResultAt = 2;
    faults.cfResult = 'G';
    s.bench.panel->SetFaults(faults);

    EXPECT_EQ(s.Send(), msg::kCardWrite);
    EXPECT_EQ(s.LastLine(), "PC Card Write error");
    EXPECT_TRUE(s.QuitReachedPanel());
    EXPECT_EQ(s.bench.panel->CfCardFiles().size(), 1u);
}

class CfSendDamagedBlock : public ::testing::TestWithParam<std::uint32_t> {};

// A block the card refuses (its checksum failed on the way) ends the run with the card's
// write error, whether it is a full block or the file's last; the card keeps its old file.
TEST_P(CfSendDamagedBlock, EndsWithTheCardsWriteErrorAndKeepsTheOldFile) {
    CfScenario s(CardWith({{"ZI00001.BIN", Content(5, 0xAA)}}));
    s.WritePc("data/ZI00001.BIN", Content(70000, 1));  // blocks of 65280 and 4720 bytes
    s.WritePc("data/ZI00002.BIN", Content(10, 2));
    sim::FaultConfig faults;
    faults.cfDamagedReceivedBlock = GetParam();
    s.bench.panel->SetFaults(faults);

    EXPECT_EQ(s.Send(), msg::kCardWrite);
    EXPECT_EQ(s.LastLine(), "PC Card Write error");
    EXPECT_EQ(s.bench.panel->Counters().cfBadBlocks, 1u);
    EXPECT_EQ(s.bench.panel->CfCardFile("ZI00001.BIN"), Content(5, 0xAA));
    EXPECT_FALSE(s.bench.panel->CfCardFile("ZI00002.BIN").has_value());
    EXPECT_TRUE(s.QuitReachedPanel());
}

INSTANTIATE_TEST_SUITE_P(Blocks, CfSendDamagedBlock, ::testing::Values(1u, 2u),
                         [](const auto& info) { return info.param == 1 ? "Full" : "Last"; });

TEST(CfSend, FileGoneBeforeItsTurnEndsWith4003) {
    CfScenario s;
    s.WritePc("data/ZI00001.BIN", Content(70000, 1));
    s.WritePc("Sram/ZD00001.BIN", Content(10, 2));
    sim::FaultConfig faults;
    faults.answerDelay = std::chrono::milliseconds(40);
    s.bench.panel->SetFaults(faults);

    EXPECT_EQ(s.Send([&](CCfSend&) {
        ASSERT_TRUE(CfScenario::Until([&] { return s.Count("<E") >= 1; }));
        fs::remove(s.pc + "/Sram/ZD00001.BIN");
    }),
              msg::kIloaderRead);
    EXPECT_EQ(s.Count("<E"), 1);
    EXPECT_EQ(s.bench.panel->CfCardFile("ZI00001.BIN"), Content(70000, 1));
    EXPECT_TRUE(s.QuitReachedPanel());
}

TEST(CfSend, AbortDuringAFileEndsAfterQuit) {
    CfScenario s;
    s.WritePc("data/ZI00001.BIN", Content(4 * 65280, 1));
    sim::FaultConfig faults;
    faults.answerDelay = std::chrono::milliseconds(40);
    s.bench.panel->SetFaults(faults);

    EXPECT_EQ(s.Send([&](CCfSend& op) {
        ASSERT_TRUE(
            CfScenario::Until([&] { return s.bench.panel->Counters().cfBlocksReceived >= 1; }));
        op.PostEvent(EVENT_ABORT);
    }),
              msg::kAborted);
    EXPECT_EQ(s.LastLine(), GetString(msg::kAborted));
    EXPECT_TRUE(s.QuitReachedPanel());
    EXPECT_FALSE(s.bench.panel->CfCardFile("ZI00001.BIN").has_value());
}

// What a receive brings to the PC, a send puts back unchanged.
TEST(CfTransfer, ReceiveThenSendLeavesTheCardAsItWas) {
    sim::CfFiles card;
    std::uint8_t seed = 1;
    for (const CfCategory& category : kCfCategories) {
        const std::string stem = CfStem(category, category.first == 0 ? 7 : 1);
        card[stem + std::string(category.extension)] = Content(100 + seed * 997, seed);
        ++seed;
    }
    card["ZI08999.BIN"] = Content(65281, 99);
    card["ZR65535.CSV"] = Content(65280, 98);
    CfScenario s(CardWith(card));

    EXPECT_EQ(s.Receive(), msg::kCompleted);
    for (const auto& [name, bytes] : card) {
        ASSERT_TRUE(s.bench.panel->RemoveCfCardFile(name));
    }
    EXPECT_EQ(s.Send(), msg::kCompleted);
    EXPECT_EQ(s.bench.panel->CfCardFiles(), card);
}

}  // namespace
}  // namespace kz::test

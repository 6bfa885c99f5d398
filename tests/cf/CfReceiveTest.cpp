// CF receive against the simulated panel's card: what lands in the PC folder, what goes
// over the line, and how the run ends when the card, the PC or the user gets in the way.
#include "ops/cf/CfReceive.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "tests/cf/CfScenario.h"

namespace kz::test {
namespace {

namespace fs = std::filesystem;

TEST(CfReceive, EmptyCardWalksAllSeventeenCategories) {
    CfScenario s;
    EXPECT_EQ(s.Receive(), msg::kCompleted);

    std::vector<std::string> expected = {GetString(3207), "    Change of a baud rate(38400)"};
    for (const CfCategory& category : kCfCategories) {
        expected.push_back(GetString(category.receiveCaption));
    }
    expected.push_back(GetString(3299));
    EXPECT_EQ(s.Lines(), expected);
    EXPECT_EQ(s.bench.view.Progress(), 100);
    EXPECT_FALSE(s.bench.view.PowerWarning());
    EXPECT_EQ(s.bench.view.asked, std::vector<int>{5000});
    EXPECT_EQ(s.Count(">E"), 17);
    EXPECT_EQ(s.Raw(">E").front(), "\x10>EZI00001,ZI08999\r");
    EXPECT_TRUE(s.QuitReachedPanel());
    for (const char* sub : {"data", "file", "log", "trend", "capture", "alarm", "Sram"}) {
        EXPECT_TRUE(fs::is_directory(s.pc + "/" + sub)) << sub;
    }
    EXPECT_FALSE(fs::exists(s.pc + "/File"));
}

TEST(CfReceive, FilesOfOneAndTwoBlocksArriveWhole) {
    const Bytes one = Content(65280, 1);
    const Bytes two = Content(65281, 2);
    const Bytes jpg = Content(100, 3);
    CfScenario s(CardWith({{"ZI00001.BIN", one}, {"ZR00007.CSV", two}, {"CP00042.JPG", jpg}}));
    s.WritePc("file/ZR00007.CSV", Content(200000, 9));  // replaced, not appended to

    EXPECT_EQ(s.Receive(), msg::kCompleted);
    EXPECT_EQ(s.ReadPc("data/ZI00001.BIN"), one);
    EXPECT_EQ(s.ReadPc("file/ZR00007.CSV"), two);
    EXPECT_EQ(s.ReadPc("capture/CP00042.JPG"), jpg);
    EXPECT_EQ(s.bench.panel->Counters().cfBlocksSent, 4u);
    EXPECT_EQ(s.LastLine(), GetString(3299));
}

TEST(CfReceive, EmptyFileCreatesNothingAndIsFollowedByTheNextRequest) {
    CfScenario s(CardWith({{"ZI00001.BIN", {}}, {"ZI00002.BIN", Content(10, 4)}}));
    EXPECT_EQ(s.Receive(), msg::kCompleted);
    EXPECT_FALSE(s.PcExists("data/ZI00001.BIN"));
    EXPECT_EQ(s.ReadPc("data/ZI00002.BIN"), Content(10, 4));

    // Image category: range, (empty file) next, (10 bytes) ACK, next, then the sound range.
    auto commands = s.Commands();
    auto first = std::find(commands.begin(), commands.end(), ">E");
    ASSERT_NE(first, commands.end());
    EXPECT_EQ(std::vector<std::string>(first, first + 5),
              (std::vector<std::string>{">E", ">EN", "ACK", ">EN", ">E"}));
}

struct CardResult {
    char result;
    int error;
    bool quit;
};

class CfReceiveResults : public ::testing::TestWithParam<CardResult> {};

TEST_P(CfReceiveResults, CardResultEndsTheRun) {
    CfScenario s(CardWith({{"ZI00001.BIN", Content(10, 1)}}));
    sim::FaultConfig faults;
    faults.cfResultAt = 1;
    faults.cfResult = GetParam().result;
    s.bench.panel->SetFaults(faults);

    EXPECT_EQ(s.Receive(), GetParam().error);
    EXPECT_EQ(s.LastLine(), GetString(GetParam().error));
    if (GetParam().quit) {
        EXPECT_TRUE(s.QuitReachedPanel());
    } else {
        EXPECT_EQ(s.Count(">Q"), 0);
    }
    EXPECT_FALSE(s.PcExists("data/ZI00001.BIN"));
}

INSTANTIATE_TEST_SUITE_P(Cases, CfReceiveResults,
                         ::testing::Values(CardResult{'E', 4012, true}, CardResult{'F', 5021, true},
                                           CardResult{'G', 5020, true}, CardResult{'H', 5019, true},
                                           CardResult{'I', 5018, true},
                                           CardResult{'X', 4000, false}));

TEST(CfReceive, NoCardEndsAfterQuit) {
    CfScenario s(CardWith({}, false));
    EXPECT_EQ(s.Receive(), msg::kNoCfCard);
    EXPECT_EQ(s.LastLine(), "There is no CF card.");
    EXPECT_TRUE(s.QuitReachedPanel());
}

// A category folder that is a file: every block of the file fails to be stored.
TEST(CfReceive, PcWriteFailureEndsWithFileWriteErrorAfterQuit) {
    CfScenario s(CardWith({{"ZI00001.BIN", Content(70000, 5)}, {"ZO00001.BIN", Content(5, 6)}}));
    s.WritePc("data", Content(3, 0));

    EXPECT_EQ(s.Receive(), msg::kFileWrite);
    EXPECT_EQ(s.LastLine(), "File write error");
    EXPECT_TRUE(s.QuitReachedPanel());
    // Every block of the file was still taken from the card.
    EXPECT_EQ(s.bench.panel->Counters().cfBlocksSent, 2u);
}

TEST(CfReceive, AbortDuringAFileStopsAfterTheCurrentBlock) {
    const Bytes big = Content(5 * 65280, 7);
    CfScenario s(CardWith({{"ZI00001.BIN", big}}));
    sim::FaultConfig faults;
    faults.answerDelay = std::chrono::milliseconds(40);
    s.bench.panel->SetFaults(faults);

    const int error = s.Receive([&](CCfReceive& op) {
        ASSERT_TRUE(CfScenario::Until([&] { return s.bench.panel->Counters().cfBlocksSent >= 1; }));
        op.PostEvent(EVENT_ABORT);
    });
    EXPECT_EQ(error, msg::kAborted);
    EXPECT_TRUE(s.HasLine(8000));
    EXPECT_TRUE(s.HasLine(8001));
    EXPECT_EQ(s.LastLine(), GetString(4001));
    EXPECT_TRUE(s.QuitReachedPanel());
    const Bytes got = s.ReadPc("data/ZI00001.BIN");
    EXPECT_LT(got.size(), big.size());
    EXPECT_EQ(got.size() % 65280, 0u);
    EXPECT_TRUE(std::equal(got.begin(), got.end(), big.begin()));
}

TEST(CfReceive, RefusedFolderQuestionSendsNothing) {
    CfScenario s;
    s.bench.view.answerOk = false;
    EXPECT_EQ(s.Receive(), msg::kAborted);
    EXPECT_EQ(s.Lines(), std::vector<std::string>{GetString(4001)});
    EXPECT_TRUE(s.Commands().empty());
    EXPECT_FALSE(fs::exists(s.pc));
}

struct HostileHeader {
    const char* payload;
    int error;
};

class CfReceiveHostileHeaders : public ::testing::TestWithParam<HostileHeader> {};

// Nothing may be written outside the PC folder, whatever the panel names.
TEST_P(CfReceiveHostileHeaders, EndTheRunWithoutWritingAnything) {
    CfScenario s(CardWith({{"ZI00001.BIN", Content(10, 1)}}));
    sim::FaultConfig faults;
    faults.cfRawHeader = GetParam().payload;
    s.bench.panel->SetFaults(faults);

    EXPECT_EQ(s.Receive(), GetParam().error);
    EXPECT_EQ(s.LastLine(), GetString(GetParam().error));
    EXPECT_TRUE(s.QuitReachedPanel());
    EXPECT_EQ(s.Count("ACK"), 0);
    for (const auto& entry : fs::recursive_directory_iterator(s.bench.folder.dir().path())) {
        EXPECT_FALSE(entry.is_regular_file() && entry.path().filename() != "KZMNT.INI" &&
                     entry.path().filename() != "DEMO.LDR")
            << entry.path();
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, CfReceiveHostileHeaders,
                         ::testing::Values(HostileHeader{"<E../00010000000010", 5050},
                                           HostileHeader{"<EZI/00010000000010", 5050},
                                           HostileHeader{"<EZO000010000000010", 5050},
                                           HostileHeader{"<EZI0001.0000000010", 5050},
                                           HostileHeader{"<EZI00001000000001x", 5051},
                                           HostileHeader{"<EZI000012147483648", 5051},
                                           HostileHeader{"<EZI000019999999999", 5051},
                                           HostileHeader{"<EZI00001", 5051}));

TEST(CfReceive, OversizedBlockEndsTheRun) {
    CfScenario s(CardWith({{"ZI00001.BIN", Content(70000, 1)}}));
    sim::FaultConfig faults;
    faults.cfOversizeBlock = 1;
    faults.cfOversizeLength = 65281;
    s.bench.panel->SetFaults(faults);

    EXPECT_EQ(s.Receive(), 5051);
    EXPECT_EQ(s.LastLine(), "The CF card sent invalid data.");
    EXPECT_TRUE(s.QuitReachedPanel());
    EXPECT_FALSE(s.PcExists("data/ZI00001.BIN"));
}

}  // namespace
}  // namespace kz::test

// CF receive against the simulated panel's card: what lands in the PC folder, what goes
// over the line, and how the run ends when the card, the PC or the user gets in the way.
#include "ops/cf/CfReceive.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "platform/Format.h"
#include "support/PlantedFiles.h"
#include "tests/cf/CfScenario.h"

namespace kz::test {
namespace {

namespace fs = std::filesystem;

// The names in a PC folder, sorted: what a run left behind, temporary files included.
std::vector<std::string> Names(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

TEST(CfReceive, EmptyCardWalksAllSeventeenCategories) {
    CfScenario s;
    EXPECT_EQ(s.Receive(), msg::kCompleted);

    std::vector<std::string> expected = {GetString(msg::kCfReceiveStart),
                                         "    Change of a baud rate(38400)"};
    for (const CfCategory& category : kCfCategories) {
        expected.push_back(GetString(category.receiveCaption));
    }
    expected.push_back(GetString(msg::kCompleted));
    EXPECT_EQ(s.Lines(), expected);
    EXPECT_EQ(s.bench.view.Progress(), 100);
    EXPECT_FALSE(s.bench.view.PowerWarning());
    EXPECT_EQ(s.bench.view.asked, std::vector<int>{msg::kAskCreateFolders});
    EXPECT_EQ(s.Count(">E"), 17);
    EXPECT_EQ(s.Raw(">E").front(), "\x10>EZI00001,ZI08999\r");
    EXPECT_TRUE(s.QuitReachedPanel());
    for (const char* sub : {"data", "file", "log", "trend", "capture", "alarm", "Sram"}) {
        EXPECT_TRUE(fs::is_directory(s.pc + "/" + sub)) << sub;
    }
    if (test::NamesAreCaseSensitive()) {
        EXPECT_FALSE(fs::exists(s.pc + "/File"));
    }
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
    EXPECT_EQ(s.LastLine(), GetString(msg::kCompleted));
}

// A stale PC copy must not survive: the next send would put it back on the card.
TEST(CfReceive, EmptyFileIsStoredEmptyAndFollowedByTheNextRequest) {
    CfScenario s(CardWith({{"ZI00001.BIN", {}}, {"ZI00002.BIN", Content(10, 4)}}));
    s.WritePc("data/ZI00001.BIN", Content(300, 8));
    EXPECT_EQ(s.Receive(), msg::kCompleted);
    EXPECT_TRUE(s.PcExists("data/ZI00001.BIN"));
    EXPECT_EQ(s.ReadPc("data/ZI00001.BIN"), Bytes{});
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
                         ::testing::Values(CardResult{'E', msg::kNoCfCard, true},
                                           CardResult{'F', msg::kCardRead, true},
                                           CardResult{'G', msg::kCardWrite, true},
                                           CardResult{'H', msg::kCardDelete, true},
                                           CardResult{'I', msg::kCardFolderCreate, true},
                                           CardResult{'X', msg::kCheckPower, false}));

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

// The PC copy of an interrupted file stays as it was, and no temporary file is left.
TEST(CfReceive, AbortDuringAFileStopsAfterTheCurrentBlock) {
    const Bytes big = Content(5 * 65280, 7);
    CfScenario s(CardWith({{"ZI00001.BIN", big}}));
    s.WritePc("data/ZI00001.BIN", Content(1000, 9));
    sim::FaultConfig faults;
    faults.answerDelay = std::chrono::milliseconds(40);
    s.bench.panel->SetFaults(faults);

    const int error = s.Receive([&](CCfReceive& op) {
        // The second block is asked for only once the first one has been stored.
        ASSERT_TRUE(CfScenario::Until([&] { return s.bench.panel->Counters().cfBlocksSent >= 2; }));
        op.PostEvent(EVENT_ABORT);
    });
    EXPECT_EQ(error, msg::kAborted);
    EXPECT_TRUE(s.HasLine(8000));
    EXPECT_TRUE(s.HasLine(8001));
    EXPECT_EQ(s.LastLine(), GetString(msg::kAborted));
    EXPECT_TRUE(s.QuitReachedPanel());
    EXPECT_GE(s.bench.panel->Counters().cfBlocksSent, 2u);
    EXPECT_LT(s.bench.panel->Counters().cfBlocksSent, 5u);
    EXPECT_EQ(s.ReadPc("data/ZI00001.BIN"), Content(1000, 9));
    EXPECT_EQ(Names(s.pc + "/data"), std::vector<std::string>{"ZI00001.BIN"});
}

struct DamagedData {
    const char* what;
    std::size_t size;            // of the card file
    std::uint32_t corruptBlock;  // 1-based; 0 = none
    const char* header;          // replaces the file header; null = the true one
};

class CfReceiveDamagedData : public ::testing::TestWithParam<DamagedData> {};

// A block that is not what the card holds ends the run; the PC copy stays as it was.
TEST_P(CfReceiveDamagedData, EndsTheRunAndKeepsThePcCopy) {
    CfScenario s(CardWith({{"ZI00001.BIN", Content(GetParam().size, 1)}}));
    s.WritePc("data/ZI00001.BIN", Content(5, 0xAA));
    sim::FaultConfig faults;
    faults.cfCorruptBlock = GetParam().corruptBlock;
    if (GetParam().header != nullptr) {
        faults.cfRawHeader = GetParam().header;
    }
    s.bench.panel->SetFaults(faults);

    EXPECT_EQ(s.Receive(), msg::kCfInvalidData) << GetParam().what;
    EXPECT_EQ(s.LastLine(), GetString(msg::kCfInvalidData));
    EXPECT_TRUE(s.QuitReachedPanel());
    EXPECT_EQ(s.ReadPc("data/ZI00001.BIN"), Content(5, 0xAA));
    EXPECT_EQ(Names(s.pc + "/data"), std::vector<std::string>{"ZI00001.BIN"});
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CfReceiveDamagedData,
    ::testing::Values(DamagedData{"byte flipped in the only block", 10, 1, nullptr},
                      DamagedData{"byte flipped in the second block", 70000, 2, nullptr},
                      DamagedData{"header announces 1 byte", 65280, 0, "<EZI000010000000001"},
                      DamagedData{"header announces more", 10, 0, "<EZI000010000070000"}));

class CfReceiveLinks : public ::testing::TestWithParam<bool> {};

// A link planted in the PC folder (the target file, or the subfolder) is never written
// through; the file is refused with a status line and the run ends with msg::kFileWrite.
TEST_P(CfReceiveLinks, AreNeverWrittenThrough) {
    if (!test::SymlinksWork()) {
        GTEST_SKIP() << "symbolic links cannot be made here";
    }

    const bool folderLink = GetParam();
    CfScenario s(CardWith({{"ZI00001.BIN", Content(10, 1)}, {"ZO00001.BIN", Content(5, 2)}}));
    const std::string outside = s.bench.folder.Path("outside");
    fs::create_directories(outside);
    s.bench.folder.dir().Write("outside/victim.txt", "victim");
    fs::create_directories(s.pc);
    if (folderLink) {
        fs::create_directory_symlink(outside, s.pc + "/data");
    } else {
        fs::create_directories(s.pc + "/data");
        fs::create_symlink("../../outside/victim.txt", s.pc + "/data/ZI00001.BIN");
    }

    EXPECT_EQ(s.Receive(), msg::kFileWrite);
    const auto lines = s.Lines();
    EXPECT_NE(std::find(lines.begin(), lines.end(),
                        Format(GetString(msg::kCfNotPlainTarget).c_str(), "data/ZI00001.BIN")),
              lines.end());
    EXPECT_EQ(s.bench.folder.dir().Read("outside/victim.txt"), "victim");
    EXPECT_EQ(Names(outside), std::vector<std::string>{"victim.txt"});
    EXPECT_TRUE(fs::is_symlink(s.pc + (folderLink ? "/data" : "/data/ZI00001.BIN")));
    EXPECT_TRUE(s.QuitReachedPanel());
}

INSTANTIATE_TEST_SUITE_P(FileAndFolder, CfReceiveLinks, ::testing::Bool());

}  // namespace
}  // namespace kz::test

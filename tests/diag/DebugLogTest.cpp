#include "diag/DebugLog.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/ProgramFolder.h"
#include "support/PlantedFiles.h"
#include "support/TempDir.h"

namespace kz {
namespace {

class DebugLogTest : public ::testing::Test {
  protected:
    void SetUp() override { platform::SetProgramFolder(folder_.str()); }
    void TearDown() override { platform::SetProgramFolder(""); }

    test::TempDir folder_;
};

TEST_F(DebugLogTest, WritesTheStatusListWithCrLfLineEnds) {
    std::vector<std::string> lines = {"*** Backup Start ***", "    CORE-ID Check",
                                      "    Time Out...", "Retry Over"};
    EXPECT_TRUE(WriteDebugLog(lines));
    EXPECT_EQ(folder_.Read("KZMNT.log"),
              "*** Backup Start ***\r\n    CORE-ID Check\r\n    Time Out...\r\nRetry Over\r\n");
}

TEST_F(DebugLogTest, ReplacesTheLogOfTheEarlierOperation) {
    folder_.Write("KZMNT.log", std::string(5000, 'o') + "\r\n");
    EXPECT_TRUE(WriteDebugLog({"Processing was completed."}));
    EXPECT_EQ(folder_.Read("KZMNT.log"), "Processing was completed.\r\n");
    EXPECT_TRUE(WriteDebugLog({}));
    EXPECT_EQ(folder_.Read("KZMNT.log"), "");
}

TEST_F(DebugLogTest, ALinkOrAFifoInTheLogsPlaceIsReplacedNotOpened) {
    test::TempDir elsewhere;
    const std::string outside = elsewhere.Write("keep.txt", "the user's file");
    const std::string log = folder_.str() + "KZMNT.log";
    if (test::SymlinksWork()) {
        std::filesystem::create_symlink(outside, log);
        EXPECT_TRUE(WriteDebugLog({"linked"}));
        EXPECT_EQ(elsewhere.Read("keep.txt"), "the user's file");
        EXPECT_FALSE(std::filesystem::is_symlink(log));
        EXPECT_EQ(folder_.Read("KZMNT.log"), "linked\r\n");
        std::filesystem::remove(log);
    }
    if (test::MakeFifo(log)) {
        EXPECT_TRUE(WriteDebugLog({"piped"}));  // would wait for a reader
        EXPECT_EQ(folder_.Read("KZMNT.log"), "piped\r\n");
    }
}

TEST_F(DebugLogTest, LineBreaksInsideALineAlsoEndWithCrLf) {
    EXPECT_TRUE(WriteDebugLog({"first\nsecond", "third\r\nfourth"}));
    EXPECT_EQ(folder_.Read("KZMNT.log"), "first\r\nsecond\r\nthird\r\nfourth\r\n");
}

struct CutCase {
    std::string line;
    std::string written;
};

class DebugLogCut : public DebugLogTest, public ::testing::WithParamInterface<CutCase> {};

TEST_P(DebugLogCut, LinesAreCutTo255Characters) {
    EXPECT_TRUE(WriteDebugLog({GetParam().line, "next"}));
    EXPECT_EQ(folder_.Read("KZMNT.log"), GetParam().written + "\r\nnext\r\n");
}

INSTANTIATE_TEST_SUITE_P(
    DebugLog, DebugLogCut,
    ::testing::Values(CutCase{std::string(254, 'a'), std::string(254, 'a')},
                      CutCase{std::string(255, 'a'), std::string(255, 'a')},
                      CutCase{std::string(256, 'a'), std::string(255, 'a')},
                      CutCase{std::string(4000, 'a'), std::string(255, 'a')},
                      // A Japanese character (3 bytes) across the limit is left out whole.
                      CutCase{std::string(254, 'a') + "タイムアウト", std::string(254, 'a')},
                      CutCase{std::string(252, 'a') + "タイムアウト",
                              std::string(252, 'a') + "タ"}));

TEST_F(DebugLogTest, UnwritableFolderIsSilent) {
    platform::SetProgramFolder((folder_.path() / "missing" / "folder").string());
    EXPECT_FALSE(WriteDebugLog({"lost"}));

    // A folder in place of the file cannot be replaced either (this holds for root too).
    platform::SetProgramFolder(folder_.str());
    std::filesystem::create_directory(folder_.path() / "KZMNT.log");
    EXPECT_FALSE(WriteDebugLog({"lost"}));
    EXPECT_TRUE(std::filesystem::is_directory(folder_.path() / "KZMNT.log"));
}

struct DebugSetting {
    const char* name;
    const char* ini;  // nullptr: no settings file
    bool on;
};

class DebugStatus : public DebugLogTest, public ::testing::WithParamInterface<DebugSetting> {};

TEST_P(DebugStatus, OnlyExactlyOnSwitchesTheLinesOn) {
    if (GetParam().ini != nullptr) {
        folder_.Write("KZMNT.INI", GetParam().ini);
    }
    EXPECT_EQ(DebugStatusOn(), GetParam().on);
}

INSTANTIATE_TEST_SUITE_P(
    DebugLog, DebugStatus,
    ::testing::Values(DebugSetting{"On", "[CONFIG]\r\nDEBUG=ON\r\n", true},
                      DebugSetting{"LowerCase", "[CONFIG]\r\nDEBUG=on\r\n", false},
                      DebugSetting{"MixedCase", "[CONFIG]\r\nDEBUG=On\r\n", false},
                      DebugSetting{"Off", "[CONFIG]\r\nDEBUG=OFF\r\n", false},
                      DebugSetting{"Missing", "[CONFIG]\r\nCOM=1\r\n", false},
                      DebugSetting{"NoFile", nullptr, false}),
    [](const auto& info) { return info.param.name; });

TEST_F(DebugLogTest, DebugSettingIsReadAfreshEachTime) {
    folder_.Write("KZMNT.INI", "[CONFIG]\r\nDEBUG=ON\r\n");
    EXPECT_TRUE(DebugStatusOn());
    folder_.Write("KZMNT.INI", "[CONFIG]\r\nDEBUG=OFF\r\n");
    EXPECT_FALSE(DebugStatusOn());
}

}  // namespace
}  // namespace kz

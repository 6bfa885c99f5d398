// The PC side of the CF transfers without a link: file names, the folder check before a
// receive and the collection of the files a send takes.
#include "ops/cf/CfFolders.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "config/MessageIds.h"
#include "serial/Protocol.h"
#include "support/PlantedFiles.h"
#include "support/TempDir.h"

namespace kz::test {
namespace {

namespace fs = std::filesystem;

// Answers every question with one answer and records the questions.
class ScriptedPrompt : public IOperationPrompt {
  public:
    explicit ScriptedPrompt(bool ok) : ok_(ok) {}
    bool AskOkCancel(int textId, int captionId) override {
        asked.emplace_back(textId, captionId);
        return ok_;
    }
    void ShowMessage(int, int) override {}
    bool ConfirmRestore() override { return ok_; }
    std::vector<std::pair<int, int>> asked;

  private:
    bool ok_;
};

std::vector<std::string> Entries(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

const std::vector<std::string> kAllSubfolders = {"Sram", "alarm", "capture", "data",
                                                 "file", "log",   "trend"};

TEST(CfCategories, RangesGiveTheStemsOfTheRangeRequest) {
    EXPECT_EQ(CfFirstStem(kCfCategories[0]), "ZI00001");
    EXPECT_EQ(CfLastStem(kCfCategories[0]), "ZI08999");
    EXPECT_EQ(CfFirstStem(kCfCategories[3]), "ZR00000");
    EXPECT_EQ(CfLastStem(kCfCategories[3]), "ZR65535");
    EXPECT_EQ(CfCategoryFolder("/pc", kCfCategories[7]), "/pc/capture/");
}

struct StemCase {
    const char* stem;
    bool accepted;
};

class PanelStems : public ::testing::TestWithParam<StemCase> {};

// Only the category's own kind of stem may become part of a PC path.
TEST_P(PanelStems, OnlyPrefixAndFiveDigitsNameAFile) {
    EXPECT_EQ(IsCfStemOf(kCfCategories[0], GetParam().stem), GetParam().accepted);
}

INSTANTIATE_TEST_SUITE_P(Cases, PanelStems,
                         ::testing::Values(StemCase{"ZI00001", true}, StemCase{"ZI99999", true},
                                           StemCase{"ZO00001", false}, StemCase{"zi00001", false},
                                           StemCase{"ZI0001", false}, StemCase{"ZI000012", false},
                                           StemCase{"../0001", false}, StemCase{"ZI/0001", false},
                                           StemCase{"ZI..001", false}, StemCase{"ZI0000 ", false},
                                           StemCase{"", false}));

struct NameCase {
    const char* name;
    int number;
};

class PcFileNames : public ::testing::TestWithParam<NameCase> {};

TEST_P(PcFileNames, FiveDigitsBeforeTheFirstDot) {
    EXPECT_EQ(CfFileNumber(GetParam().name), GetParam().number);
}

INSTANTIATE_TEST_SUITE_P(Cases, PcFileNames,
                         ::testing::Values(NameCase{"ZI00001.BIN", 1},
                                           NameCase{"ZI00001.BAK.BIN", 1},
                                           NameCase{"ZR65535.CSV", 65535}, NameCase{"ZI9.BIN", -1},
                                           NameCase{"ZR0012x.CSV", -1},
                                           NameCase{"ZI000001.BIN", -1}, NameCase{"ZI00001", -1},
                                           NameCase{"Z", -1}));

class CardNames : public ::testing::TestWithParam<StemCase> {};

// Only a name that is exactly a stem and the extension stands for one card file.
TEST_P(CardNames, AreStemAndExtensionInAnyLetterCase) {
    EXPECT_EQ(IsCfFileNameOf(kCfCategories[0], GetParam().stem), GetParam().accepted);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CardNames,
    ::testing::Values(StemCase{"ZI00001.BIN", true}, StemCase{"zi00001.bin", true},
                      StemCase{"Zi00001.Bin", true}, StemCase{"ZI00001.BAK.BIN", false},
                      StemCase{"ZI00003.tar.BIN", false}, StemCase{"ZI00001.CSV", false},
                      StemCase{"ZO00001.BIN", false}, StemCase{"ZI0000\xC3\xA9.BIN", false},
                      StemCase{"ZI00001.BI\xC3\x91", false}, StemCase{"ZI00001.BIN ", false},
                      StemCase{"ZI00001BIN", false}, StemCase{"", false}));

TEST(CfStemOfPath, UpperCasesTheSevenCharactersAfterTheLastSlash) {
    EXPECT_EQ(CfStemOfPath("/pc/data/zi00001.bak.bin"), "ZI00001");
    EXPECT_EQ(CfStemOfPath("/Pc/Data/CP00042.JPG"), "CP00042");
}

class CollectFiles : public ::testing::Test {
  protected:
    void Touch(const std::string& relative) { dir.Write(relative, "x"); }
    std::vector<std::string> Collect(std::size_t category) {
        std::vector<std::string> list;
        const std::size_t added = CollectCategoryFiles(pc, kCfCategories[category], list);
        EXPECT_EQ(added, list.size());
        std::sort(list.begin(), list.end());
        return list;
    }
    TempDir dir;
    std::string pc = dir.str() + "pc";
};

TEST_F(CollectFiles, TakesFiveDigitNamesWithinTheRange) {
    fs::create_directories(pc + "/data");
    for (const char* name : {"ZI00001.BIN", "ZI9.BIN", "ZI00001.BAK.BIN", "ZI09000.BIN",
                             "ZI00002.CSV", "ZO00003.BIN"}) {
        Touch(std::string("pc/data/") + name);
    }
    EXPECT_EQ(Collect(0),
              (std::vector<std::string>{pc + "/data/ZI00001.BAK.BIN", pc + "/data/ZI00001.BIN"}));
    EXPECT_EQ(Collect(1), (std::vector<std::string>{pc + "/data/ZO00003.BIN"}));
}

TEST_F(CollectFiles, IgnoresLetterCaseButKeepsThePathAsFound) {
    fs::create_directories(pc + "/file");
    Touch("pc/file/zr00012.csv");
    Touch("pc/file/ZR0012x.CSV");
    fs::create_directories(pc + "/file/ZR00013.CSV");  // a folder is no file to send
    EXPECT_EQ(Collect(3), (std::vector<std::string>{pc + "/file/zr00012.csv"}));
}

TEST_F(CollectFiles, MissingFolderYieldsNothing) {
    EXPECT_TRUE(Collect(0).empty());
    EXPECT_TRUE(Collect(16).empty());
}

class PcFolderCheck : public ::testing::Test {
  protected:
    TempDir dir;
    std::string pc = dir.str() + "pc";
};

TEST_F(PcFolderCheck, AllSubfoldersPresentAsksOnlyAboutOverwriting) {
    for (const std::string& sub : kAllSubfolders) {
        fs::create_directories(pc + "/" + sub);
    }
    ScriptedPrompt prompt(true);
    EXPECT_EQ(CheckPcFolders(pc, &prompt), 0);
    EXPECT_EQ(prompt.asked,
              (std::vector<std::pair<int, int>>{{msg::kAskOverwritePc, msg::kCfReceiveCaption}}));
    EXPECT_EQ(Entries(pc), kAllSubfolders);

    ScriptedPrompt refuse(false);
    EXPECT_EQ(CheckPcFolders(pc, &refuse), msg::kAborted);
}

TEST_F(PcFolderCheck, MissingSubfoldersAreCreatedOnOkWithOneFilingFolder) {
    fs::create_directories(pc + "/data");
    fs::create_directories(pc + "/log");
    dir.Write("pc/data/keep.txt", "kept");
    ScriptedPrompt prompt(true);
    EXPECT_EQ(CheckPcFolders(pc, &prompt), 0);
    EXPECT_EQ(prompt.asked,
              (std::vector<std::pair<int, int>>{{msg::kAskCreateFolders, msg::kCfReceiveCaption}}));
    EXPECT_EQ(Entries(pc), kAllSubfolders);
    EXPECT_EQ(dir.Read("pc/data/keep.txt"), "kept");
}

TEST_F(PcFolderCheck, CreatesTheFolderItselfAndRefusalCreatesNothing) {
    ScriptedPrompt refuse(false);
    EXPECT_EQ(CheckPcFolders(pc, &refuse), msg::kAborted);
    EXPECT_FALSE(fs::exists(pc));

    ScriptedPrompt prompt(true);
    EXPECT_EQ(CheckPcFolders(pc, &prompt), 0);
    EXPECT_EQ(Entries(pc), kAllSubfolders);
}

// A folder spelled differently is not the one the receive writes to.
TEST_F(PcFolderCheck, FolderOfAnotherLetterCaseDoesNotCount) {
    if (!test::NamesAreCaseSensitive()) {
        GTEST_SKIP() << "the file system ignores letter case: Data is data";
    }
    for (const std::string& sub : kAllSubfolders) {
        fs::create_directories(pc + "/" + (sub == "data" ? std::string("Data") : sub));
    }
    ScriptedPrompt prompt(true);
    EXPECT_EQ(CheckPcFolders(pc, &prompt), 0);
    EXPECT_EQ(prompt.asked.at(0).first, msg::kAskCreateFolders);
    EXPECT_TRUE(fs::is_directory(pc + "/data"));
}

}  // namespace
}  // namespace kz::test

// The CF card part of panel descriptions: the [cf] section, card folders, and the card
// file name rules the description and the card share.
#include <gtest/gtest.h>

#include "sim/CfCard.h"
#include "sim/PanelDescription.h"
#include "support/TempDir.h"

namespace kz::test {
namespace {

using sim::PanelDescription;

std::string Text(const std::vector<std::uint8_t>& bytes) {
    return {bytes.begin(), bytes.end()};
}

TEST(CfDescription, ParsesCardFiles) {
    PanelDescription d;
    std::string error;
    ASSERT_TRUE(
        sim::ParsePanelDescription("[cf]\n"
                                   "zi00001.bin = 48 65 0d\n"
                                   "ZR00001.CSV = \"No,\\\"V\\\"\\r\\n1\\t2\\\\\"\n"
                                   "ZD00000.BIN = \"\"\n"
                                   "CP00042.JPG = size 70000 pattern 7\n"
                                   "ZA00001.CSV = SIZE 3 byte 2C\n",
                                   d, &error))
        << error;
    EXPECT_TRUE(d.cfCardPresent);
    ASSERT_EQ(d.cfFiles.size(), 5u);
    EXPECT_EQ(d.cfFiles["ZI00001.BIN"], (std::vector<std::uint8_t>{0x48, 0x65, 0x0D}));
    EXPECT_EQ(Text(d.cfFiles["ZR00001.CSV"]), "No,\"V\"\r\n1\t2\\");
    EXPECT_TRUE(d.cfFiles["ZD00000.BIN"].empty());
    const auto& generated = d.cfFiles["CP00042.JPG"];
    ASSERT_EQ(generated.size(), 70000u);
    EXPECT_EQ(generated[0], sim::PatternByte(7, 0));
    EXPECT_EQ(generated[69999], sim::PatternByte(7, 69999));
    EXPECT_EQ(Text(d.cfFiles["ZA00001.CSV"]), ",,,");
}

TEST(CfDescription, CardCanBeLeftOut) {
    PanelDescription d;
    ASSERT_TRUE(sim::ParsePanelDescription("[cf]\ncard = None\n", d));
    EXPECT_FALSE(d.cfCardPresent);
    ASSERT_TRUE(sim::ParsePanelDescription("[panel]\ncoreid = 1\n", d));
    EXPECT_TRUE(d.cfCardPresent);
}

struct BadCf {
    const char* name;
    const char* text;
    const char* error;
};

class CfDescriptionError : public ::testing::TestWithParam<BadCf> {};

TEST_P(CfDescriptionError, IsReported) {
    PanelDescription d;
    std::string error;
    EXPECT_FALSE(sim::ParsePanelDescription(GetParam().text, d, &error));
    EXPECT_EQ(error, GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CfDescriptionError,
    ::testing::Values(
        BadCf{"WrongExtension", "[cf]\nZI00001.CSV = 00\n",
              "line 2: ZI00001.CSV is not a card file name (prefix, 5 digits, category "
              "extension) nor a key of [cf]"},
        BadCf{"OutOfRange", "[cf]\nZI09000.BIN = 00\n",
              "line 2: ZI09000.BIN is not a card file name (prefix, 5 digits, category "
              "extension) nor a key of [cf]"},
        BadCf{"BadCardValue", "[cf]\ncard = maybe\n", "line 2: card is \"none\" or \"present\""},
        BadCf{"SizeNotDecimal", "[cf]\nZI00001.BIN = size 1F byte 00\n",
              "line 2: card files are: hex bytes, \"text\", or size N pattern SEED / size N "
              "byte XX"},
        BadCf{"SizeTooLarge", "[cf]\nZI00001.BIN = size 67108865 byte 00\n",
              "line 2: generated card files hold at most 67108864 bytes"},
        BadCf{"BadEscape", "[cf]\nZI00001.BIN = \"a\\qb\"\n",
              "line 2: bad quoted text (escapes are \\r \\n \\t \\\\ \\\")"},
        BadCf{"MissingFolder", "[cf]\ndir = /nonexistent/kz-card\n",
              "line 2: card folder /nonexistent/kz-card is not a folder"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CfDescription, FolderIsReadRelativeToTheDescriptionFile) {
    TempDir dir;
    dir.Write("card/data/zi00001.bin", "image");
    dir.Write("card/alarm/ZA00000.CSV", "a,b\r\n");
    dir.Write("card/notes.txt", "not a card file");
    dir.Write("card/ZI09999.BIN", "out of range");
    const std::string path = dir.Write("panel.txt", "[cf]\ndir = card\nZD00001.BIN = \"sram\"\n");
    PanelDescription d;
    std::string error;
    ASSERT_TRUE(sim::LoadPanelDescription(path, d, &error)) << error;
    ASSERT_EQ(d.cfFiles.size(), 3u);
    EXPECT_EQ(Text(d.cfFiles["ZI00001.BIN"]), "image");
    EXPECT_EQ(Text(d.cfFiles["ZA00000.CSV"]), "a,b\r\n");
    EXPECT_EQ(Text(d.cfFiles["ZD00001.BIN"]), "sram");
}

TEST(CfDescription, FolderWithOneNameTwiceIsRefused) {
    TempDir dir;
    dir.Write("data/ZI00001.BIN", "a");
    dir.Write("more/zi00001.bin", "b");
    sim::CfFiles files;
    std::string error;
    EXPECT_FALSE(sim::LoadCfFolder(dir.path().string(), files, &error));
    EXPECT_NE(error.find("ZI00001.BIN twice"), std::string::npos) << error;
    EXPECT_TRUE(files.empty());
}

TEST(CfDescription, SavedCardLoadsBackTheSame) {
    TempDir dir;
    const sim::CfFiles card = {{"ZI00001.BIN", {0x00, 0x0D, 0x0A, 0x1A}},
                               {"ZD00000.BIN", {}},
                               {"ZR00002.CSV", {'x', ','}}};
    std::string error;
    ASSERT_TRUE(sim::SaveCfFolder((dir.path() / "out").string(), card, &error)) << error;
    sim::CfFiles loaded;
    ASSERT_TRUE(sim::LoadCfFolder((dir.path() / "out").string(), loaded, &error)) << error;
    EXPECT_EQ(loaded, card);
}

TEST(CfDescription, ValidationRefusesNonCardNames) {
    PanelDescription d;
    d.cfFiles["ZI00001.BIN"] = {};
    std::string error;
    EXPECT_TRUE(sim::ValidatePanelDescription(d, &error)) << error;
    d.cfFiles["../ZI00001.BIN"] = {};
    EXPECT_FALSE(sim::ValidatePanelDescription(d, &error));
    EXPECT_TRUE(sim::ValidatePanelDescription(sim::DemoPanel(), &error)) << error;
}

// --- names ------------------------------------------------------------------------------

struct NameCase {
    const char* name;
    bool listed;
};

class CfNames : public ::testing::TestWithParam<NameCase> {};

TEST_P(CfNames, FollowTheCategoryRules) {
    EXPECT_EQ(sim::IsCfCardFileName(GetParam().name), GetParam().listed);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CfNames,
    ::testing::Values(NameCase{"ZI08999.BIN", true}, NameCase{"ZI00000.BIN", false},
                      NameCase{"ZI09000.BIN", false}, NameCase{"ZR00000.CSV", true},
                      NameCase{"ZR65536.CSV", false}, NameCase{"CP00042.BIN", false},
                      NameCase{"zi00001.bin", false}, NameCase{"ZI00001.BIN.BAK", false}),
    [](const auto& info) {
        std::string name = info.param.name;
        for (char& c : name) {
            if (c == '.') {
                c = '_';
            }
        }
        return name + (info.param.listed ? "_listed" : "_not");
    });

}  // namespace
}  // namespace kz::test

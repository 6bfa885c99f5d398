#include "ops/memory/FileSelection.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support/TempDir.h"

namespace kz {
namespace {

using test::TempDir;

constexpr SelectionMode kBackup = SelectionMode::Backup;
constexpr SelectionMode kRestore = SelectionMode::Restore;
constexpr SelectionMode kVerify = SelectionMode::Verify;
constexpr SelectionMode kCfReceive = SelectionMode::CfReceive;
constexpr SelectionMode kCfSend = SelectionMode::CfSend;
// Values no dialog mode has: such a mode accepts nothing.
constexpr auto kNoMode0 = static_cast<SelectionMode>(0);
constexpr auto kNoMode6 = static_cast<SelectionMode>(6);

// Names below a folder holding: the image "img.mem", a file without extension "plain",
// the folders "fold", "fold.d" and "year.2026". "" stands for the empty text.
struct SelectCase {
    SelectionMode mode;
    bool autoFileName;
    std::string name;
    bool valid;
};

class FileSelection : public ::testing::TestWithParam<SelectCase> {
  protected:
    void SetUp() override {
        if (dir_.str().find('.') != std::string::npos) {
            GTEST_SKIP() << "the temporary folder's path has a dot";
        }
        dir_.Write("img.mem", "x");
        dir_.Write("plain", "x");
        std::filesystem::create_directory(dir_.path() / "fold");
        std::filesystem::create_directory(dir_.path() / "fold.d");
        std::filesystem::create_directory(dir_.path() / "year.2026");
    }

    TempDir dir_;
};

TEST_P(FileSelection, OkIsEnabledWhen) {
    const SelectCase& c = GetParam();
    const std::string text = c.name.empty() ? std::string() : dir_.str() + c.name;
    EXPECT_EQ(FileSelectionValid(c.mode, c.autoFileName, text), c.valid)
        << "mode " << static_cast<int>(c.mode) << " auto " << c.autoFileName << " " << c.name;
    // The dialog's hint names a problem exactly when OK is disabled.
    EXPECT_EQ(FileSelectionProblem(c.mode, c.autoFileName, text) == SelectionProblem::None, c.valid)
        << "mode " << static_cast<int>(c.mode) << " auto " << c.autoFileName << " " << c.name;
}

TEST_F(FileSelection, TheProblemSaysWhyANameIsRefused) {
    const struct {
        SelectionMode mode;
        bool autoFileName;
        std::string name;
        SelectionProblem problem;
    } cases[] = {
        {kBackup, false, "", SelectionProblem::Empty},
        {kBackup, false, "fold", SelectionProblem::FolderExists},
        {kBackup, false, "new", SelectionProblem::NoMemExtension},
        {kBackup, false, "new.bin", SelectionProblem::NoMemExtension},
        {kBackup, true, "img.mem", SelectionProblem::FileExists},
        {kBackup, true, "new.d", SelectionProblem::DotInFolder},
        {kRestore, false, "gone.mem", SelectionProblem::NothingThere},
        {kVerify, false, "gone.mem", SelectionProblem::NothingThere},
        {kCfReceive, false, "plain", SelectionProblem::FileExists},
        {kCfReceive, false, "new.d", SelectionProblem::DotInFolder},
        {kCfSend, false, "new", SelectionProblem::NoSuchFolder},
        {kCfSend, false, "plain", SelectionProblem::FileExists},
        {kNoMode6, false, "fold", SelectionProblem::UnknownMode},
    };
    for (const auto& c : cases) {
        const std::string text = c.name.empty() ? std::string() : dir_.str() + c.name;
        EXPECT_EQ(FileSelectionProblem(c.mode, c.autoFileName, text), c.problem)
            << "mode " << static_cast<int>(c.mode) << " " << c.name;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Modes, FileSelection,
    ::testing::Values(
        // Backup into a folder: an existing folder whatever its name, or a new one whose
        // own name has no dot (the folders above it may have dots).
        SelectCase{kBackup, true, "fold", true}, SelectCase{kBackup, true, "newfolder", true},
        SelectCase{kBackup, true, "plain", false}, SelectCase{kBackup, true, "fold.d", true},
        SelectCase{kBackup, true, "fold.d/", true},
        SelectCase{kBackup, true, "year.2026/new", true},
        SelectCase{kBackup, true, "year.2026/new/", true},
        SelectCase{kBackup, true, "year.2026/n.d", false},
        SelectCase{kBackup, true, "new.mem", false}, SelectCase{kBackup, true, "", false},
        // Backup to a typed name: no existing folder, ends in .mem in any case.
        SelectCase{kBackup, false, "backup", false}, SelectCase{kBackup, false, "backup.MEM", true},
        SelectCase{kBackup, false, "backup.Mem", true}, SelectCase{kBackup, false, "img.mem", true},
        SelectCase{kBackup, false, "backup.mem.bak", false},
        SelectCase{kBackup, false, "fold", false}, SelectCase{kBackup, false, "", false},
        // Restore and verify: anything that exists.
        SelectCase{kRestore, false, "img.mem", true}, SelectCase{kRestore, true, "plain", true},
        SelectCase{kVerify, false, "fold", true}, SelectCase{kVerify, false, "missing.mem", false},
        SelectCase{kRestore, false, "", false},
        // CF receive: the folder rule of the backup.
        SelectCase{kCfReceive, false, "fold", true},
        SelectCase{kCfReceive, false, "newfolder", true},
        SelectCase{kCfReceive, false, "plain", false},
        SelectCase{kCfReceive, false, "fold.d", true},
        SelectCase{kCfReceive, false, "year.2026/new", true},
        SelectCase{kCfReceive, false, "year.2026/n.d", false},
        // CF send: an existing folder, whatever its name.
        SelectCase{kCfSend, false, "fold", true}, SelectCase{kCfSend, false, "newfolder", false},
        SelectCase{kCfSend, false, "plain", false}, SelectCase{kCfSend, false, "fold.d", true},
        SelectCase{kCfSend, false, "year.2026/new", false}, SelectCase{kCfSend, false, "", false},
        // Not a mode of the dialog.
        SelectCase{kNoMode6, false, "fold", false}, SelectCase{kNoMode0, false, "img.mem", false}));

TEST(FileNameRules, MemIsAddedOnlyWithoutAnyDot) {
    EXPECT_EQ(WithMemExtension("/data/backup"), "/data/backup.mem");
    EXPECT_EQ(WithMemExtension("/data/backup.bin"), "/data/backup.bin");
    // A dot anywhere, a folder's included, leaves the name as it is.
    EXPECT_EQ(WithMemExtension("/data.old/backup"), "/data.old/backup");
}

TEST(FileNameRules, PlainFileNames) {
    for (const char* name : {"GX400", "bk.1", "a b", "\xE6\xA9\x9F"}) {
        EXPECT_TRUE(IsPlainFileName(name)) << name;
    }
    for (const char* name :
         {"", "/../../escaped", "a/b", "..", "a..b", "a\\b", "a\x1B[2J", "x\x7F"}) {
        EXPECT_FALSE(IsPlainFileName(name)) << name;
    }
}

TEST(FileNameRules, OverwriteIsAskedForAnExistingFileWithTypedNames) {
    TempDir dir;
    const std::string file = dir.Write("img.mem", "x");
    EXPECT_TRUE(NeedsOverwriteQuestion(false, file));
    EXPECT_FALSE(NeedsOverwriteQuestion(true, file));
    EXPECT_FALSE(NeedsOverwriteQuestion(false, dir.str() + "new.mem"));
    EXPECT_FALSE(NeedsOverwriteQuestion(false, dir.path().string()));
}

TEST(FileNameRules, AutomaticBackupName) {
    EXPECT_EQ(AutoNameNumber("8C93"), 0x8013u);
    EXPECT_EQ(AutoBackupFileName("/backups", "", AutoNameNumber("8C93")), "/backups/bk8013.MEM");
    EXPECT_EQ(AutoBackupFileName("/backups/", "", 0x12), "/backups/bk0012.MEM");
    EXPECT_EQ(AutoBackupFileName("/backups", "GX400", 0x8013), "/backups/bkGX400.MEM");
    EXPECT_EQ(AutoNameNumber("zz"), 0u);
}

// No folder is the working folder, not the root of the file system.
TEST(FileNameRules, AutomaticBackupNameWithoutAFolderIsRelative) {
    EXPECT_EQ(AutoBackupFileName("", "", 0x8013), "bk8013.MEM");
    EXPECT_EQ(AutoBackupFileName("", "GX400", 0), "bkGX400.MEM");
}

}  // namespace
}  // namespace kz

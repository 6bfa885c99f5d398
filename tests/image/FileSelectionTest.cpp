#include "ops/memory/FileSelection.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support/TempDir.h"

namespace kz {
namespace {

using test::TempDir;

// Names below a folder holding: the image "img.mem", a file without extension "plain",
// the folders "fold", "fold.d" and "year.2026". "" stands for the empty text.
struct SelectCase {
    int mode;
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
        << "mode " << c.mode << " auto " << c.autoFileName << " " << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Modes, FileSelection,
    ::testing::Values(
        // Backup into a folder: an existing folder whatever its name, or a new one whose
        // own name has no dot (the folders above it may have dots).
        SelectCase{1, true, "fold", true}, SelectCase{1, true, "newfolder", true},
        SelectCase{1, true, "plain", false}, SelectCase{1, true, "fold.d", true},
        SelectCase{1, true, "fold.d/", true}, SelectCase{1, true, "year.2026/new", true},
        SelectCase{1, true, "year.2026/new/", true}, SelectCase{1, true, "year.2026/n.d", false},
        SelectCase{1, true, "new.mem", false}, SelectCase{1, true, "", false},
        // Backup to a typed name: no existing folder, ends in .mem in any case.
        SelectCase{1, false, "backup", false}, SelectCase{1, false, "backup.MEM", true},
        SelectCase{1, false, "backup.Mem", true}, SelectCase{1, false, "img.mem", true},
        SelectCase{1, false, "backup.mem.bak", false}, SelectCase{1, false, "fold", false},
        SelectCase{1, false, "", false},
        // Restore and verify: anything that exists.
        SelectCase{2, false, "img.mem", true}, SelectCase{2, true, "plain", true},
        SelectCase{3, false, "fold", true}, SelectCase{3, false, "missing.mem", false},
        SelectCase{2, false, "", false},
        // CF receive: the folder rule of the backup.
        SelectCase{4, false, "fold", true}, SelectCase{4, false, "newfolder", true},
        SelectCase{4, false, "plain", false}, SelectCase{4, false, "fold.d", true},
        SelectCase{4, false, "year.2026/new", true}, SelectCase{4, false, "year.2026/n.d", false},
        // CF send: an existing folder, whatever its name.
        SelectCase{5, false, "fold", true}, SelectCase{5, false, "newfolder", false},
        SelectCase{5, false, "plain", false}, SelectCase{5, false, "fold.d", true},
        SelectCase{5, false, "year.2026/new", false}, SelectCase{5, false, "", false},
        // Not a mode of the dialog.
        SelectCase{6, false, "fold", false}, SelectCase{0, false, "img.mem", false}));

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

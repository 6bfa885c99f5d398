#include "platform/FileFinder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>

#include "support/TempDir.h"

namespace kz::platform {
namespace {

using test::TempDir;
namespace fs = std::filesystem;

// A CF data folder as a panel leaves it, with a few strays.
class FinderFolder : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char* name : {"zi00001.bin", "ZI00002.BIN", "ZI00003.BAK.BIN", "ZO00001.BIN",
                                 "readme", ".hidden"}) {
            dir_.Write(name, "x");
        }
        fs::create_directory(dir_.path() / "data");
        fs::create_directory(dir_.path() / "ZIfolder.BIN");
        fs::create_directory(dir_.path() / "dummy");
    }

    // Every name the enumeration of pattern returns, FindFirst then FindNext.
    std::set<std::string> All(const std::string& pattern, std::uint32_t filter = FIND_ANY) {
        FileFinder finder;
        finder.SetFilter(filter);
        std::set<std::string> names;
        std::string name;
        if (!finder.FindFirst(dir_.str() + pattern, name, 256)) {
            return names;
        }
        do {
            names.insert(name);
        } while (finder.FindNext(name, 256));
        return names;
    }

    TempDir dir_;
};

struct PatternCase {
    std::string pattern;
    std::set<std::string> names;
};

class FinderPatterns : public FinderFolder, public ::testing::WithParamInterface<PatternCase> {};

TEST_P(FinderPatterns, MatchWildcardsIgnoringCase) {
    EXPECT_EQ(All(GetParam().pattern), GetParam().names);
}

INSTANTIATE_TEST_SUITE_P(
    Patterns, FinderPatterns,
    ::testing::Values(
        PatternCase{"ZI*.BIN", {"zi00001.bin", "ZI00002.BIN", "ZI00003.BAK.BIN", "ZIfolder.BIN"}},
        PatternCase{"zi0000?.bin", {"zi00001.bin", "ZI00002.BIN"}}, PatternCase{"ZI000?.BIN", {}},
        PatternCase{"*.BAK.*", {"ZI00003.BAK.BIN"}},
        PatternCase{"Z?0*1.BIN", {"zi00001.bin", "ZO00001.BIN"}}, PatternCase{"DATA", {"data"}},
        PatternCase{"readme*", {"readme"}}, PatternCase{"read", {}}, PatternCase{".*", {".hidden"}},
        PatternCase{"*",
                    {"zi00001.bin", "ZI00002.BIN", "ZI00003.BAK.BIN", "ZO00001.BIN", "readme",
                     ".hidden", "data", "ZIfolder.BIN", "dummy"}}));

TEST_F(FinderFolder, FilterChoosesTheFirstEntry) {
    std::string name;
    FileFinder folders;
    folders.SetFilter(FIND_FOLDERS);
    ASSERT_TRUE(folders.FindFirst(dir_.str() + "*m*", name, 256));
    EXPECT_EQ(name, "dummy");
    EXPECT_TRUE(folders.LastIsFolder());
    ASSERT_TRUE(folders.FindFirst(dir_.str() + "ZI*", name, 256));
    EXPECT_EQ(name, "ZIfolder.BIN");
    EXPECT_FALSE(folders.FindFirst(dir_.str() + "readme", name, 256));

    FileFinder files;
    files.SetFilter(FIND_FILES);
    ASSERT_TRUE(files.FindFirst(dir_.str() + "*m*", name, 256));
    EXPECT_EQ(name, "readme");
    EXPECT_FALSE(files.LastIsFolder());
    EXPECT_FALSE(files.FindFirst(dir_.str() + "data", name, 256));
}

TEST_F(FinderFolder, NamesMustFitTheCapacity) {
    FileFinder finder;
    std::string name = "unchanged";
    EXPECT_FALSE(finder.FindFirst(dir_.str() + "readme", name, 6));
    EXPECT_EQ(name, "unchanged");
    EXPECT_TRUE(finder.FindFirst(dir_.str() + "readme", name, 7));
    EXPECT_EQ(name, "readme");

    // A name that does not fit uses up its entry; the enumeration goes on after it.
    std::set<std::string> seen;
    if (finder.FindFirst(dir_.str() + "Z*", name, 12)) {
        seen.insert(name);
    }
    while (finder.FindNext(name, 12)) {
        seen.insert(name);
    }
    EXPECT_TRUE(seen.count("zi00001.bin"));
    EXPECT_FALSE(seen.count("ZI00003.BAK.BIN"));
}

TEST(FileFinder, FailsWithoutAnEnumeration) {
    TempDir dir;
    FileFinder finder;
    std::string name;
    EXPECT_TRUE(finder.Close());
    EXPECT_FALSE(finder.FindNext(name, 256));
    EXPECT_FALSE(finder.FindFirst(dir.str() + "missing/*", name, 256));
    EXPECT_FALSE(finder.FindFirst(dir.str(), name, 256));        // empty last component
    EXPECT_FALSE(finder.FindFirst(dir.str() + "*", name, 256));  // an empty folder
    EXPECT_FALSE(finder.FindNext(name, 256));
    EXPECT_EQ(finder.Filter(), FIND_ANY);
}

TEST(FileFinder, FindsInTheRootFolder) {
    FileFinder finder;
    finder.SetFilter(FIND_FOLDERS);
    std::string name;
    ASSERT_TRUE(finder.FindFirst("/tmp", name, 256));
    EXPECT_EQ(name, "tmp");
    EXPECT_TRUE(finder.Close());
}

TEST(CreateFolderPath, CreatesEveryMissingFolderButNotTheFile) {
    TempDir dir;
    CreateFolderPath(dir.str() + "a/b/c/image.mem");
    EXPECT_TRUE(fs::is_directory(dir.path() / "a" / "b" / "c"));
    EXPECT_FALSE(fs::exists(dir.path() / "a" / "b" / "c" / "image.mem"));

    CreateFolderPath(dir.str() + "x//y/");
    EXPECT_TRUE(fs::is_directory(dir.path() / "x" / "y"));
}

TEST(CreateFolderPath, LeavesExistingFoldersAlone) {
    TempDir dir;
    dir.Write("a/keep.txt", "kept");
    CreateFolderPath(dir.str() + "a/new/file");
    EXPECT_TRUE(fs::is_directory(dir.path() / "a" / "new"));
    EXPECT_EQ(dir.Read("a/keep.txt"), "kept");
}

TEST(CreateFolderPath, IgnoresWhatCannotBeCreated) {
    TempDir dir;
    dir.Write("plain", "file");
    CreateFolderPath(dir.str() + "plain/sub/file");
    EXPECT_EQ(dir.Read("plain"), "file");
    EXPECT_FALSE(fs::exists(dir.path() / "plain" / "sub"));

    const fs::path cwd = fs::current_path();
    fs::current_path(dir.path());
    CreateFolderPath("noslash");
    fs::current_path(cwd);
    EXPECT_FALSE(fs::exists(dir.path() / "noslash"));
}

}  // namespace
}  // namespace kz::platform

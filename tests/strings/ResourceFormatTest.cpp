// A resource file whose texts ask for other printf arguments than the built-in texts would
// make status lines read the wrong arguments; such a file is refused as a whole.
#include <gtest/gtest.h>

#include "config/StringTable.h"
#include "support/TempDir.h"

namespace kz::test {
namespace {

class ResourceFormatTest : public ::testing::Test {
  protected:
    void TearDown() override { ClearResourceTexts(); }
    TempDir dir;
};

TEST_F(ResourceFormatTest, SameConversionsAreAccepted) {
    auto path = dir.Write("res.txt", "3311\t    Lecture(%2d/%d)...\n3299\tDone.\n");
    ASSERT_TRUE(LoadResourceFile(path));
    EXPECT_EQ(GetString(3311, Language::English), "    Lecture(%2d/%d)...");
    EXPECT_EQ(GetString(3299, Language::English), "Done.");
}

TEST_F(ResourceFormatTest, DifferentConversionsRefuseTheWholeFile) {
    for (const char* bad : {"3311\t%s %s\n", "3311\t%d\n", "3299\tDone %d\n", "4000\t100%\n",
                            "3299\tok\n3304\tRate %s\n"}) {
        auto path = dir.Write("bad.txt", bad);
        EXPECT_FALSE(LoadResourceFile(path)) << bad;
        EXPECT_EQ(GetString(3299, Language::English), "Processing was completed.");
    }
}

TEST_F(ResourceFormatTest, HugeWidthOrPrecisionRefusesTheWholeFile) {
    // Each would turn one status line into megabytes.
    for (const char* bad : {"3318\t%20000000s\n", "3318\t%.20000000s\n", "3304\t%065d\n",
                            "3311\t%d/%99999999999999999999d\n", "3206\t%s , %1.65s\n"}) {
        auto path = dir.Write("bad.txt", std::string("3299\tDone.\n") + bad);
        EXPECT_FALSE(LoadResourceFile(path)) << bad;
        EXPECT_EQ(GetString(3299, Language::English), "Processing was completed.");
    }
    auto path = dir.Write("ok.txt", "3318\t    Kept in %-64.64s\n");
    ASSERT_TRUE(LoadResourceFile(path));
    EXPECT_EQ(GetString(3318, Language::English), "    Kept in %-64.64s");
}

TEST_F(ResourceFormatTest, PercentSignsAsTextAreFine) {
    auto path = dir.Write("res.txt", "3299\t100%% done\n");
    ASSERT_TRUE(LoadResourceFile(path));
    EXPECT_EQ(GetString(3299, Language::English), "100%% done");
}

}  // namespace
}  // namespace kz::test

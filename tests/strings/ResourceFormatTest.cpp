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

TEST_F(ResourceFormatTest, PercentSignsAsTextAreFine) {
    auto path = dir.Write("res.txt", "3299\t100%% done\n");
    ASSERT_TRUE(LoadResourceFile(path));
    EXPECT_EQ(GetString(3299, Language::English), "100%% done");
}

}  // namespace
}  // namespace kz::test

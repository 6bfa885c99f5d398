// A received CF file on the PC: it replaces its target only when complete, and no attempt,
// complete or not, leaves a descriptor open behind it.
#include "ops/cf/CfPcFile.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "support/TempDir.h"

namespace kz::test {
namespace {

namespace fs = std::filesystem;

// The descriptors this process holds (-1 where the system does not list them).
int OpenDescriptors() {
    std::error_code ec;
    fs::directory_iterator it("/proc/self/fd", ec);
    if (ec) {
        return -1;
    }
    return static_cast<int>(std::distance(it, fs::directory_iterator()));
}

TEST(CfPartialFile, OnlyACompleteFileReplacesTheTargetAndNoDescriptorIsLeft) {
    TempDir dir;
    dir.Write("DATA.BIN", "old");
    const std::uint8_t bytes[] = {'n', 'e', 'w', '!'};
    const int before = OpenDescriptors();

    struct Case {
        std::uint64_t announced;
        CfPartialFile::Status expected;
        const char* target;
    };
    for (const Case& c : {Case{5, CfPartialFile::Status::Failed, "old"},
                          Case{4, CfPartialFile::Status::Ok, "new!"}}) {
        CfPartialFile file;
        ASSERT_EQ(file.Begin(dir.str(), "DATA.BIN"), CfPartialFile::Status::Ok);
        ASSERT_TRUE(file.Append(bytes, sizeof bytes));
        EXPECT_EQ(file.Commit(c.announced), c.expected) << c.announced;
        EXPECT_FALSE(file.InProgress());
        EXPECT_EQ(dir.Read("DATA.BIN"), c.target) << c.announced;
        EXPECT_EQ(OpenDescriptors(), before) << "announced " << c.announced;
    }
    // Only the target is left in the folder: no temporary file survives.
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
}

}  // namespace
}  // namespace kz::test

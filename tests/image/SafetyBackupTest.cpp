// The name a safety backup gets: one plain file name from the panel's model, core ID and the
// time, never replacing a file.
#include "ops/memory/SafetyBackup.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "ops/memory/MemImageFile.h"
#include "support/TempDir.h"

namespace kz {
namespace {

struct NameCase {
    const char* model;
    const char* coreId;
    const char* name;
};

class SafetyBackupNameTest : public ::testing::TestWithParam<NameCase> {};

TEST_P(SafetyBackupNameTest, IsOnePlainFileName) {
    EXPECT_EQ(SafetyBackupName(GetParam().model, GetParam().coreId, "20261208-101500"),
              GetParam().name);
}

INSTANTIATE_TEST_SUITE_P(
    Image, SafetyBackupNameTest,
    ::testing::Values(NameCase{"KZ-DEMO", "8C93", "KZ-DEMO_8C93_20261208-101500.mem"},
                      NameCase{"KZ 10/B  ", "8C93", "KZ_10_B_8C93_20261208-101500.mem"},
                      NameCase{"../..", "8C93", "unknown_8C93_20261208-101500.mem"},
                      NameCase{"", "", "unknown_unknown_20261208-101500.mem"}));

TEST(NameSafetyBackupTest, NamesTheFileFromItsHeaderWithoutReplacingAnother) {
    test::TempDir dir;
    auto write = [&](const std::string& name) {
        MemImageFile image;
        image.SetHeaderKind(kImageHeaderKind);
        image.SetModelName("KZ-DEMO");
        image.SetCoreID("8C93");
        image.SetFileName(dir.str() + name);
        EXPECT_TRUE(image.WriteHeader());
        return dir.str() + name;
    };
    dir.Write("KZ-DEMO_8C93_20261208-101500.mem", "someone else's");
    const std::string named = NameSafetyBackup(write("safety-1.mem"), "20261208-101500");
    // Compared as paths: the folder separator is the system's own.
    EXPECT_EQ(
        std::filesystem::path(named).lexically_normal(),
        std::filesystem::path(dir.str() + "KZ-DEMO_8C93_20261208-101500-2.mem").lexically_normal());
    EXPECT_EQ(dir.Read("KZ-DEMO_8C93_20261208-101500.mem"), "someone else's");
    EXPECT_FALSE(std::filesystem::exists(dir.str() + "safety-1.mem"));
    // A file that is no image keeps its name.
    const std::string other = dir.Write("safety-2.mem", "short");
    EXPECT_EQ(NameSafetyBackup(other, "20261208-101500"), other);
}

}  // namespace
}  // namespace kz

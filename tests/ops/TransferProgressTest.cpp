// The progress model both front-ends show: the rate over its sliding window, the time left,
// and the text.
#include <gtest/gtest.h>

#include "config/StringTable.h"
#include "ops/engine/TransferProgress.h"

namespace kz {
namespace {

class TransferProgressTest : public ::testing::Test {
  protected:
    void SetUp() override { SetLanguage(Language::English); }
};

// 1 KiB every 100 ms for 20 s, then the rate halves: after one window the new rate is all
// that counts, and the time left follows it.
TEST_F(TransferProgressTest, RateFollowsTheLastWindowOnly) {
    CTransferProgress p;
    p.Begin(100 * 1024 * 1024, 5000);
    std::uint32_t now = 5000;
    EXPECT_FALSE(p.Snapshot(now + 900).bytesPerSecond);  // under a second: no figure yet
    for (int i = 0; i < 200; ++i) {
        now += 100;
        p.Moved(1024, now);
    }
    ASSERT_TRUE(p.Snapshot(now).bytesPerSecond);
    EXPECT_NEAR(*p.Snapshot(now).bytesPerSecond, 10240.0, 1.0);
    for (int i = 0; i < 200; ++i) {
        now += 200;
        p.Moved(1024, now);
    }
    const TransferSnapshot s = p.Snapshot(now);
    EXPECT_NEAR(*s.bytesPerSecond, 5120.0, 1.0);
    ASSERT_TRUE(s.secondsLeft);
    const double left = static_cast<double>(s.total - s.done) / 5120.0;
    EXPECT_NEAR(*s.secondsLeft, left, 1.0);
    EXPECT_EQ(s.done, 400u * 1024);
}

// A stall lowers the rate as time passes, without any bytes moving.
TEST_F(TransferProgressTest, AStallLowersTheRate) {
    CTransferProgress p;
    p.Begin(0, 0);
    for (std::uint32_t t = 100; t <= 10000; t += 100) {
        p.Moved(1000, t);
    }
    const double moving = *p.Snapshot(10000).bytesPerSecond;
    EXPECT_NEAR(moving, 10000.0, 200.0);
    EXPECT_LT(*p.Snapshot(15000).bytesPerSecond, moving * 0.6);
    EXPECT_FALSE(p.Snapshot(15000).secondsLeft);  // no total, no time left
}

// Packets far quicker than the sample step are merged; the model stays small and exact.
TEST_F(TransferProgressTest, FastPacketsAreCountedExactly) {
    CTransferProgress p;
    p.Begin(1'000'000, 0);
    for (int i = 0; i < 100000; ++i) {
        p.Moved(10, static_cast<std::uint32_t>(i / 10));  // 10 packets per millisecond
    }
    const TransferSnapshot s = p.Snapshot(10000);
    EXPECT_EQ(s.done, 1'000'000u);
    EXPECT_EQ(s.Percent(), 100);
    EXPECT_EQ(*s.secondsLeft, 0u);
}

TEST_F(TransferProgressTest, TheEndKeepsTheBytesWithoutRateOrTime) {
    CTransferProgress p;
    p.Begin(2048, 0);
    p.SetArea("SRAM");
    p.Moved(1024, 2000);
    p.End();
    const TransferSnapshot s = p.Snapshot(3000);
    EXPECT_FALSE(s.running);
    EXPECT_FALSE(s.bytesPerSecond);
    EXPECT_EQ(FormatProgress(s), "1.0 of 2.0 KiB \xC2\xB7 SRAM");
}

struct FormatCase {
    const char* name;
    TransferSnapshot snapshot;
    const char* expected;
};

class FormatProgressTest : public ::testing::TestWithParam<FormatCase> {};

TEST_P(FormatProgressTest, SaysWhatTheSnapshotHolds) {
    SetLanguage(Language::English);
    EXPECT_EQ(FormatProgress(GetParam().snapshot), GetParam().expected);
}

constexpr std::uint64_t kMiB = 1024 * 1024;

INSTANTIATE_TEST_SUITE_P(
    Cases, FormatProgressTest,
    ::testing::Values(
        FormatCase{"Full",
                   {1258291, 16 * kMiB, 11571.2, 1351, "FEPROM", true},
                   "1.2 of 16.0 MiB \xC2\xB7 11.3 KiB/s \xC2\xB7 23 min left \xC2\xB7 FEPROM"},
        FormatCase{"Seconds",
                   {900, 1000, 50.0, 2, "", true},
                   "900 of 1000 B \xC2\xB7 50 B/s "
                   "\xC2\xB7 2 s left"},
        FormatCase{"Hours",
                   {0, 512 * kMiB, 2048.0, 3 * 3600 + 600, "", true},
                   "0.0 of 512.0 MiB \xC2\xB7 2.0 KiB/s \xC2\xB7 3 h 10 min left"},
        FormatCase{"NoTotal",
                   {3 * kMiB, 0, std::nullopt, std::nullopt, "data/ZI00001.BIN", true},
                   "3.0 MiB \xC2\xB7 data/ZI00001.BIN"},
        FormatCase{"AreaOnly",
                   {0, 0, std::nullopt, std::nullopt, "Image data reception", true},
                   "Image data reception"},
        FormatCase{
            "Ended", {kMiB, 2 * kMiB, 4096.0, 256, "SRAM", false}, "1.0 of 2.0 MiB \xC2\xB7 SRAM"}),
    [](const ::testing::TestParamInfo<FormatCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kz

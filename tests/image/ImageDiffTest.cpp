// Where two copies of memory differ: the ranges of a verify of every difference and of
// kzmnt-cli diff, and the comparison of two image files.
#include "ops/memory/ImageDiff.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "config/MessageIds.h"
#include "config/StringTable.h"
#include "ops/memory/MemImageFile.h"
#include "platform/Format.h"
#include "support/TempDir.h"

namespace kz {
namespace {

using test::TempDir;

// ---- Ranges ---------------------------------------------------------------------------------

struct Chunk {
    std::string area;
    std::uint64_t address;
    std::vector<std::uint64_t> differing;  // offsets into a 64-byte chunk
};

struct RangeCase {
    const char* name;
    std::vector<Chunk> chunks;
    std::size_t limit;
    std::vector<std::string> ranges;  // "AREA address length first second"
    std::uint64_t rangeCount;
    std::uint64_t byteCount;
};

void PrintTo(const RangeCase& c, std::ostream* os) {
    *os << c.name;
}

class DiffCollectorTest : public ::testing::TestWithParam<RangeCase> {};

TEST_P(DiffCollectorTest, JoinsNearDifferencesIntoRanges) {
    const RangeCase& c = GetParam();
    DiffCollector diff(c.limit);
    for (const Chunk& chunk : c.chunks) {
        std::vector<std::uint8_t> a(64), b(64);
        for (std::size_t i = 0; i < 64; ++i) {
            a[i] = b[i] = static_cast<std::uint8_t>(i);
        }
        for (const std::uint64_t at : chunk.differing) {
            b[at] = static_cast<std::uint8_t>(0xF0 | (at & 0x0F));
        }
        diff.Compare(chunk.area, chunk.address, a.data(), b.data(), a.size());
    }
    diff.Finish();
    std::vector<std::string> ranges;
    for (const DiffRange& r : diff.Ranges()) {
        ranges.push_back(Format("%s %llX %llu %02X %02X", r.area.c_str(),
                                static_cast<unsigned long long>(r.address),
                                static_cast<unsigned long long>(r.length), r.first, r.second));
    }
    EXPECT_EQ(ranges, c.ranges);
    EXPECT_EQ(diff.RangeCount(), c.rangeCount);
    EXPECT_EQ(diff.ByteCount(), c.byteCount);
    EXPECT_EQ(diff.Any(), c.rangeCount > 0);
}

INSTANTIATE_TEST_SUITE_P(
    Image, DiffCollectorTest,
    ::testing::Values(
        RangeCase{"Equal", {{"FROM1", 0, {}}}, 100, {}, 0, 0},
        // 15 equal bytes between two differences: one range; 16: two.
        RangeCase{"GapOf15Joins", {{"FROM1", 0x100, {2, 18}}}, 100, {"FROM1 102 17 02 F2"}, 1, 2},
        RangeCase{"GapOf16Splits",
                  {{"FROM1", 0x100, {2, 19}}},
                  100,
                  {"FROM1 102 1 02 F2", "FROM1 113 1 13 F3"},
                  2,
                  2},
        // A range runs on into the next chunk of the same area...
        RangeCase{"AcrossChunks",
                  {{"FROM1", 0, {63}}, {"FROM1", 64, {0, 1}}},
                  100,
                  {"FROM1 3F 3 3F FF"},
                  1,
                  3},
        // ... but never into another area, nor over a gap in the addresses.
        RangeCase{"AreaChangeCloses",
                  {{"FROM1", 0, {63}}, {"SRAM1", 64, {0}}},
                  100,
                  {"FROM1 3F 1 3F FF", "SRAM1 40 1 00 F0"},
                  2,
                  2},
        RangeCase{"AddressGapCloses",
                  {{"FROM1", 0, {63}}, {"FROM1", 65, {0}}},
                  100,
                  {"FROM1 3F 1 3F FF", "FROM1 41 1 00 F0"},
                  2,
                  2},
        // Beyond the limit ranges are counted, not kept.
        RangeCase{"Limit",
                  {{"FROM1", 0, {0, 20, 40, 60}}},
                  2,
                  {"FROM1 0 1 00 F0", "FROM1 14 1 14 F4"},
                  4,
                  4}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(AreaNameTest, CountsAreasOfEachKind) {
    const std::vector<MemArea> areas = {
        {kAreaFrom, 0, 1, 1}, {kAreaSram, 0x400000, 1, 1}, {kAreaFrom, 0x100000, 1, 1}};
    EXPECT_EQ(AreaName(areas, 0), "FROM1");
    EXPECT_EQ(AreaName(areas, 1), "SRAM1");
    EXPECT_EQ(AreaName(areas, 2), "FROM2");
    EXPECT_EQ(AreaName(areas, 3), "");
}

// ---- Two image files ------------------------------------------------------------------------

// An image of one FROM area (0x100 bytes at 0) and one SRAM area (0x40 bytes at 0x400000,
// stored as a whole unit of 0x80), its data bytes i & 0xFF with the changes given.
std::string WriteImage(const TempDir& dir, const std::string& name, const std::string& comment,
                       const std::vector<std::pair<std::size_t, std::uint8_t>>& changes = {},
                       std::size_t cut = 0) {
    MemImageFile image;
    image.SetHeaderKind(kImageHeaderKind);
    image.SetHeaderFormat(kImageHeaderFormat);
    image.SetModelName("KZ-TEST");
    image.SetDescriptorVersion();
    image.SetCoreID("8C93");
    image.SetIOCode("C3");
    image.SetComment(comment);
    image.SetUnit(0x80);
    const std::vector<MemArea> areas = {{kAreaFrom, 0, 0x100, 0x100},
                                        {kAreaSram, 0x400000, 0x40, 0x40}};
    image.SetAreas(areas);
    const auto header = image.HeaderBytes();
    std::string bytes(header.begin(), header.end());
    std::string data(0x180, '\0');
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<char>(i & 0xFF);
    }
    for (const auto& [at, value] : changes) {
        data[at] = static_cast<char>(value);
    }
    bytes += data;
    bytes.resize(bytes.size() - cut);
    return dir.Write(name, bytes);
}

TEST(CompareImagesTest, EqualImagesAreEqual) {
    TempDir dir;
    const ImageComparison same =
        CompareImages(WriteImage(dir, "a.mem", "x"), WriteImage(dir, "b.mem", "x"));
    EXPECT_TRUE(same.Equal());
    EXPECT_TRUE(same.fields.empty());
}

TEST(CompareImagesTest, ListsHeaderFieldsAndRangesInEveryArea) {
    TempDir dir;
    const std::string a = WriteImage(dir, "a.mem", "first");
    // 0x10 in FROM1; 0x100 + 0x3F is the last byte of SRAM1; a byte in the rest of SRAM1's
    // unit is no memory and not compared.
    const std::string b =
        WriteImage(dir, "b.mem", "second", {{0x10, 0xAA}, {0x13F, 0xBB}, {0x150, 0xCC}});
    const ImageComparison diff = CompareImages(a, b);
    EXPECT_FALSE(diff.Equal());
    ASSERT_EQ(diff.fields.size(), 1u);
    EXPECT_EQ(diff.fields[0].field, GetString(msg::kFieldComment));
    EXPECT_EQ(diff.fields[0].first, "first");
    EXPECT_EQ(diff.fields[0].second, "second");
    ASSERT_EQ(diff.ranges.size(), 2u);
    EXPECT_EQ(diff.ranges[0].area, "FROM1");
    EXPECT_EQ(diff.ranges[0].address, 0x10u);
    EXPECT_EQ(diff.ranges[0].first, 0x10);
    EXPECT_EQ(diff.ranges[0].second, 0xAA);
    EXPECT_EQ(diff.ranges[1].area, "SRAM1");
    EXPECT_EQ(diff.ranges[1].address, 0x40003Fu);
    EXPECT_EQ(diff.rangeCount, 2u);
    EXPECT_EQ(diff.byteCount, 2u);
}

struct UnreadableCase {
    const char* name;
    bool firstMissing;
    std::size_t secondCut;  // bytes cut off the end of the second image
    int unreadable;
    int reasonId;
};

void PrintTo(const UnreadableCase& c, std::ostream* os) {
    *os << c.name;
}

class CompareUnreadableTest : public ::testing::TestWithParam<UnreadableCase> {};

TEST_P(CompareUnreadableTest, NamesTheImageThatCannotBeRead) {
    const UnreadableCase& c = GetParam();
    TempDir dir;
    const std::string a = c.firstMissing ? dir.str() + "none.mem" : WriteImage(dir, "a.mem", "");
    const std::string b = WriteImage(dir, "b.mem", "", {}, c.secondCut);
    const ImageComparison diff = CompareImages(a, b);
    EXPECT_EQ(diff.unreadable, c.unreadable);
    EXPECT_EQ(diff.reason,
              Format(GetString(c.reasonId).c_str(), (c.unreadable == 1 ? a : b).c_str()));
    EXPECT_FALSE(diff.Equal());
}

INSTANTIATE_TEST_SUITE_P(
    Image, CompareUnreadableTest,
    ::testing::Values(UnreadableCase{"FirstMissing", true, 0, 1, msg::kDiffNotImage},
                      UnreadableCase{"SecondShort", false, 1, 2, msg::kDiffImageShort},
                      UnreadableCase{"SecondHeaderOnly", false, 0x180, 2, msg::kDiffImageShort},
                      UnreadableCase{"SecondNoHeader", false, 0x181, 2, msg::kDiffNotImage}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kz

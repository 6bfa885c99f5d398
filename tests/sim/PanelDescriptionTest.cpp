#include "sim/PanelDescription.h"

#include <gtest/gtest.h>

#include "sim/PanelMemory.h"
#include "support/TempDir.h"

namespace kz::test {
namespace {

using sim::MemoryFill;
using sim::PanelDescription;

constexpr const char* kFullDescription =
    "# a panel\r\n"
    "[panel]\r\n"
    "coreid = 8C93\r\n"
    "HwCoreId = 8C9A\r\n"
    "password = Se cret\r\n"
    "signature1 = 8c930001\r\n"
    "signature2 = 0x1234\r\n"
    "from = 100000\n"
    "dram = 400000\n"
    "sram = 20000\n"
    "\n"
    "; registers\n"
    "[io]\n"
    "A00000 = C3\n"
    "A00004 = FFFF0000\n"
    "[region]\n"
    "name = FROM\n"
    "start = 0\n"
    "size = 100000\n"
    "fill = pattern 1\n"
    "[region]\n"
    "start = 400000\n"
    "size = 20000\n"
    "fill = byte 00\n"
    "[patch]\n"
    "10 = 48 65 6c\n"
    "400000 = \"KZ, panel\"\n";

TEST(PanelDescription, ParsesEveryKey) {
    PanelDescription d;
    std::string error;
    ASSERT_TRUE(sim::ParsePanelDescription(kFullDescription, d, &error)) << error;
    EXPECT_EQ(d.coreId, "8C93");
    EXPECT_EQ(d.hwCoreId, "8C9A");
    EXPECT_EQ(d.password, "Se cret");
    EXPECT_EQ(d.signature1, 0x8C930001u);
    EXPECT_EQ(d.signature2, 0x1234u);
    EXPECT_EQ(d.fromSize, 0x100000u);
    EXPECT_EQ(d.dramSize, 0x400000u);
    EXPECT_EQ(d.sramSize, 0x20000u);
    EXPECT_EQ(d.ioRegisters.size(), 2u);
    EXPECT_EQ(d.ioRegisters[0xA00004], 0xFFFF0000u);
    ASSERT_EQ(d.regions.size(), 2u);
    EXPECT_EQ(d.regions[0].name, "FROM");
    EXPECT_EQ(d.regions[0].fill.kind, MemoryFill::Kind::Pattern);
    EXPECT_EQ(d.regions[0].fill.seed, 1u);
    EXPECT_EQ(d.regions[1].start, 0x400000u);
    EXPECT_EQ(d.regions[1].fill.kind, MemoryFill::Kind::Byte);
    EXPECT_EQ(d.regions[1].fill.value, 0u);
    ASSERT_EQ(d.patches.size(), 2u);
    EXPECT_EQ(d.patches[0].bytes, (std::vector<std::uint8_t>{0x48, 0x65, 0x6C}));
    EXPECT_EQ(std::string(d.patches[1].bytes.begin(), d.patches[1].bytes.end()), "KZ, panel");
}

TEST(PanelDescription, LoadsAFileAndNamesItInErrors) {
    TempDir dir;
    PanelDescription d;
    std::string error;
    ASSERT_TRUE(sim::LoadPanelDescription(dir.Write("panel.txt", kFullDescription), d, &error))
        << error;
    EXPECT_EQ(d.regions.size(), 2u);

    const std::string bad = dir.Write("bad.txt", "[panel]\ncoreid = 12345\n");
    EXPECT_FALSE(sim::LoadPanelDescription(bad, d, &error));
    EXPECT_EQ(error, bad + ": line 2: coreid must have 1 to 4 characters");
    EXPECT_FALSE(sim::LoadPanelDescription(dir.str() + "missing.txt", d, &error));
    EXPECT_EQ(d.regions.size(), 2u);  // a failed load leaves the description alone
}

struct BadText {
    const char* name;
    const char* text;
    const char* error;
};

class PanelDescriptionError : public ::testing::TestWithParam<BadText> {};

TEST_P(PanelDescriptionError, IsReported) {
    PanelDescription d;
    std::string error;
    EXPECT_FALSE(sim::ParsePanelDescription(GetParam().text, d, &error));
    EXPECT_EQ(error, GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PanelDescriptionError,
    ::testing::Values(
        BadText{"KeyOutsideSection", "coreid = 1\n", "line 1: key outside a section"},
        BadText{"UnknownSection", "\n[cards]\n", "line 2: unknown section [cards]"},
        BadText{"OpenHeader", "[panel\n", "line 1: section header without ']'"},
        BadText{"NoEquals", "[panel]\ncoreid\n", "line 2: expected key = value"},
        BadText{"UnknownKey", "[panel]\nColour = red\n", "line 2: unknown key Colour in [panel]"},
        BadText{"NotHex", "[panel]\nfrom = 10G\n", "line 2: from is not a hex number"},
        BadText{"TooBig", "[panel]\nsram = 100000000\n", "line 2: sram is not a hex number"},
        BadText{"BadRegister", "[io]\nA0 = x\n",
                "line 2: I/O register lines are: hex address = hex value"},
        BadText{"BadFill", "[region]\nfill = byte 100\n",
                "line 2: fill must be \"pattern SEED\" or \"byte XX\""},
        BadText{"FillWithExtra", "[region]\nfill = pattern 1 2\n",
                "line 2: fill must be \"pattern SEED\" or \"byte XX\""},
        BadText{"BadPatch", "[patch]\n10 = 123\n",
                "line 2: patch lines are: hex address = hex bytes or \"text\""},
        BadText{"EmptyRegion", "[region]\nname = A\nstart = 10\n", "region A has no size"},
        BadText{"PastTheTop", "[region]\nname = A\nstart = FFFFFF00\nsize = 101\n",
                "region A runs past the 32-bit address space"},
        BadText{"Overlap",
                "[region]\nname = A\nsize = 100\n[region]\nname = B\nstart = FF\nsize = 10\n",
                "regions A and B overlap"},
        BadText{"PatchOutside", "[region]\nname = A\nsize = 10\n[patch]\nF = 01 02\n",
                "patch at 0000000F lies outside every region"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(PanelDescription, DemoPanelIsValidAndCarriesItsText) {
    const PanelDescription d = sim::DemoPanel();
    std::string error;
    EXPECT_TRUE(sim::ValidatePanelDescription(d, &error)) << error;
    sim::PanelMemory memory(d.regions);
    for (const auto& patch : d.patches) {
        memory.Write(patch.address, patch.bytes);
    }
    std::vector<std::uint8_t> text(13);
    memory.Read(0x100, text);
    EXPECT_EQ(std::string(text.begin(), text.end()), "KZ DEMO PANEL");
}

TEST(PanelDescription, PatternDependsOnSeedAndAddress) {
    int sameAsNext = 0;
    int sameAcrossSeeds = 0;
    for (std::uint32_t a = 0; a < 4096; ++a) {
        sameAsNext += sim::PatternByte(1, a) == sim::PatternByte(1, a + 1);
        sameAcrossSeeds += sim::PatternByte(1, a) == sim::PatternByte(2, a);
    }
    // A constant or seed-blind pattern would hide swapped or misplaced blocks.
    EXPECT_LT(sameAsNext, 64);
    EXPECT_LT(sameAcrossSeeds, 64);
    EXPECT_EQ(sim::PatternByte(5, 0x1234), sim::PatternByte(5, 0x1234));
}

// --- sparse memory -----------------------------------------------------------------------

TEST(PanelMemory, FillsRegionsAndLeavesTheRestErased) {
    sim::PanelMemory memory({{"B", 0x2000, 0x10, {MemoryFill::Kind::Byte, 0x5A, 0}},
                             {"A", 0x1000, 0x10, {MemoryFill::Kind::Pattern, 0, 3}}});
    EXPECT_EQ(memory.Read(0x0FFF), 0xFF);
    EXPECT_EQ(memory.Read(0x1000), sim::PatternByte(3, 0x1000));
    EXPECT_EQ(memory.Read(0x100F), sim::PatternByte(3, 0x100F));
    EXPECT_EQ(memory.Read(0x1010), 0xFF);
    EXPECT_EQ(memory.Read(0x2000), 0x5A);
    std::vector<std::uint8_t> block(0x1020);
    memory.Read(0x1000, block);
    EXPECT_EQ(block[0x0F], sim::PatternByte(3, 0x100F));
    EXPECT_EQ(block[0x10], 0xFF);
    EXPECT_EQ(block[0x1000], 0x5A);
    EXPECT_EQ(block[0x1010], 0xFF);
}

TEST(PanelMemory, WritesLandOnlyInsideRegions) {
    sim::PanelMemory memory({{"A", 0x0FF8, 0x10, {MemoryFill::Kind::Byte, 0x00, 0}}});
    const std::vector<std::uint8_t> bytes(0x20, 0x77);
    EXPECT_EQ(memory.Write(0x0FF0, bytes), 0x10u);
    EXPECT_EQ(memory.PagesInUse(), 2u);  // the region straddles a page boundary
    EXPECT_EQ(memory.Read(0x0FF7), 0xFF);
    EXPECT_EQ(memory.Read(0x0FF8), 0x77);
    EXPECT_EQ(memory.Read(0x1007), 0x77);
    EXPECT_EQ(memory.Read(0x1008), 0xFF);
    EXPECT_EQ(memory.Write(0x5000, bytes), 0u);
    EXPECT_EQ(memory.PagesInUse(), 2u);
}

TEST(PanelMemory, WriteKeepsTheFillAroundIt) {
    sim::PanelMemory memory({{"A", 0, 0x10000, {MemoryFill::Kind::Pattern, 0, 4}}});
    const std::uint8_t one = 0x42;
    memory.Write(0x1234, std::span(&one, 1));
    EXPECT_EQ(memory.Read(0x1233), sim::PatternByte(4, 0x1233));
    EXPECT_EQ(memory.Read(0x1234), 0x42);
    EXPECT_EQ(memory.Read(0x1235), sim::PatternByte(4, 0x1235));
}

TEST(PanelMemory, RegionAtTheTopOfTheAddressSpace) {
    sim::PanelMemory memory({{"TOP", 0xFFFFF000, 0x1000, {MemoryFill::Kind::Byte, 0x11, 0}}});
    std::vector<std::uint8_t> block(0x20);
    memory.Read(0xFFFFFFF0, block);  // wraps to address 0 after the last byte
    EXPECT_EQ(block[0x0F], 0x11);
    EXPECT_EQ(block[0x10], 0xFF);
    const std::vector<std::uint8_t> bytes(0x10, 0x22);
    EXPECT_EQ(memory.Write(0xFFFFFFF0, bytes), 0x10u);
    EXPECT_EQ(memory.Read(0xFFFFFFFF), 0x22);
}

}  // namespace
}  // namespace kz::test

#include "config/ModelDefs.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/ProgramFolder.h"
#include "support/TempDir.h"

namespace kz {
namespace {

using test::TempDir;

struct CoreIdCase {
    std::string coreId;
    std::string pattern;
    bool match;
};

class CoreIdMatch : public ::testing::TestWithParam<CoreIdCase> {};

TEST_P(CoreIdMatch, ComparesTheLastCharacters) {
    EXPECT_EQ(CModelDefs::CheckCoreID(GetParam().coreId, GetParam().pattern), GetParam().match);
}

INSTANTIATE_TEST_SUITE_P(
    Patterns, CoreIdMatch,
    ::testing::Values(CoreIdCase{"0012", "**12", true}, CoreIdCase{"AB12", "**12", true},
                      CoreIdCase{"0013", "**12", false}, CoreIdCase{"0012", "12", true},
                      CoreIdCase{"FF12", "12", true}, CoreIdCase{"0021", "12", false},
                      CoreIdCase{"0012", "1*", true}, CoreIdCase{"0022", "1*", false},
                      CoreIdCase{"0012", "0013", false}, CoreIdCase{"0012", "0012", true},
                      CoreIdCase{"8c93", "8C93", false}, CoreIdCase{"0012", "", true},
                      CoreIdCase{"", "0012", true}, CoreIdCase{"0012", "****", true},
                      // Only the first four characters count.
                      CoreIdCase{"00129", "0012", true}, CoreIdCase{"0012", "00127", true},
                      CoreIdCase{"12", "0012", true}, CoreIdCase{"*2", "0012", true}));

TEST(CoreIdMatch, TracesEachPosition) {
    std::string trace;
    const CoreIdTracer tracer = [&](const char* line) { trace += line; };
    EXPECT_TRUE(CModelDefs::CheckCoreID("0012", "1*", tracer));
    EXPECT_EQ(trace,
              "    CProtocol::CheckCoreID =[0012 , 1*]\n"
              "      nSize = [2]\n"
              "      [1] ? [1]\n"
              "      [2] ? [*]\n"
              "      Match\n");
    trace.clear();
    EXPECT_FALSE(CModelDefs::CheckCoreID("0013", "0012", tracer));
    EXPECT_EQ(trace,
              "    CProtocol::CheckCoreID =[0013 , 0012]\n"
              "      nSize = [4]\n"
              "      [0] ? [0]\n"
              "      [0] ? [0]\n"
              "      [1] ? [1]\n"
              "      [3] ? [2]\n"
              "      miss Match]\n");
}

// A definitions file like one a service engineer keeps: settings first, models after.
const char* const kModels =
    "[CONFIG]\r\n"
    "COM=1\r\n"
    "\r\n"
    "[PORTS]\r\n"
    "COM1=virtual:bench\r\n"
    "\r\n"
    "[GX-SIG1]\r\n"
    "ID=**12\r\n"
    "ILOADER=IL12A.BIN\r\n"
    "SIGNATURE=1,1A2B,EQ\r\n"
    "\r\n"
    "[GX-SIG2]\r\n"
    "ID=**12\r\n"
    "ILOADER=IL12B.BIN\r\n"
    "SIGNATURE=1,1A2B,NE\r\n"
    "\r\n"
    "[GX-ODD]\r\n"
    "ID=**12\r\n"
    "SIGNATURE=2,0,GT\r\n"
    "\r\n"
    "[GX-PLAIN]\r\n"
    "ID=0012\r\n"
    "ILOADER=IL12.BIN\r\n"
    "BAU=57600\r\n"
    "OFFSET=8000\r\n"
    "FROM1=0,200000\r\n"
    "FROM2=200000,\"100000\"\r\n"
    "FROM4=400000,100000\r\n"
    "SRAM1=800000,80000,40000\r\n"
    "\r\n"
    "[GX-IO3C]\r\n"
    "ID=34**\r\n"
    "IOCODE=3C\r\n"
    "BAU=115200\r\n"
    "IO1=FF00,1,5\r\n"
    "IO2=FF02,1\r\n"
    "CHKMEM=400000,80000\r\n"
    "\r\n"
    "[GX-IO4D]\r\n"
    "ID=34**\r\n"
    "IOCODE=4D\r\n"
    "\r\n"
    "[ANY]\r\n"
    "ID=\r\n"
    "BK_FILE=ANY\r\n";

class ModelDefsFile : public ::testing::Test {
  protected:
    void SetUp() override { path_ = dir_.Write("KZMNT.INI", kModels); }

    std::string Name(const CIniSection* section) { return section ? section->Name() : "-"; }

    TempDir dir_;
    std::string path_;
};

TEST_F(ModelDefsFile, FindByCoreIdTakesTheFirstMatchAndSkipsNonModels) {
    CModelDefs defs(path_);
    EXPECT_TRUE(defs.Loaded());
    EXPECT_EQ(Name(defs.FindByCoreID("AB12")), "GX-SIG1");
    EXPECT_EQ(Name(defs.FindByCoreID("3401")), "GX-IO3C");
    // The empty ID of the last section matches anything the others did not.
    EXPECT_EQ(Name(defs.FindByCoreID("9999")), "ANY");
    std::vector<std::string> names;
    for (const CIniSection* model : defs.Models()) {
        names.push_back(model->Name());
    }
    EXPECT_EQ(names, (std::vector<std::string>{"GX-SIG1", "GX-SIG2", "GX-ODD", "GX-PLAIN",
                                               "GX-IO3C", "GX-IO4D", "ANY"}));
}

struct SignatureCase {
    const char* coreId;
    int kind;
    std::uint32_t value;
    const char* model;
};

class ModelDefsSignature : public ModelDefsFile,
                           public ::testing::WithParamInterface<SignatureCase> {};

TEST_P(ModelDefsSignature, FindsTheSectionWhoseConditionHolds) {
    CModelDefs defs(path_);
    const auto& c = GetParam();
    EXPECT_EQ(Name(defs.FindByCoreIDAndSignature(c.coreId, c.kind, c.value)), c.model);
}

INSTANTIATE_TEST_SUITE_P(Rules, ModelDefsSignature,
                         ::testing::Values(SignatureCase{"0012", 1, 0x1A2B, "GX-SIG1"},
                                           SignatureCase{"0012", 1, 0x1A2C, "GX-SIG2"},
                                           // Kind 2 only fits GX-ODD, whose cond is unknown.
                                           SignatureCase{"0012", 2, 0x1A2B, "-"},
                                           SignatureCase{"0013", 1, 0x1A2B, "-"},
                                           // Sections without SIGNATURE never fit.
                                           SignatureCase{"3400", 1, 0x1A2B, "-"}));

TEST_F(ModelDefsFile, FindByImageIdentity) {
    CModelDefs defs(path_);
    EXPECT_EQ(Name(defs.FindByImage("3400", "4D")), "GX-IO4D");
    EXPECT_EQ(Name(defs.FindByImage("3400", "3C")), "GX-IO3C");
    EXPECT_EQ(Name(defs.FindByImage("3400", "")), "GX-IO3C");
    EXPECT_EQ(Name(defs.FindByImage("3400", "3c")), "-");
    // Without IOCODE a section cannot match an image that carries one.
    EXPECT_EQ(Name(defs.FindByImage("5555", "3C")), "-");
    EXPECT_EQ(Name(defs.FindByImage("5555", "")), "ANY");
}

TEST_F(ModelDefsFile, FindByNameIsExactAndOnlyModels) {
    CModelDefs defs(path_);
    EXPECT_EQ(Name(defs.FindByName("GX-PLAIN")), "GX-PLAIN");
    EXPECT_EQ(Name(defs.FindByName("gx-plain")), "-");
    EXPECT_EQ(Name(defs.FindByName("CONFIG")), "-");
}

TEST_F(ModelDefsFile, AreasStopAtTheFirstGap) {
    CModelDefs defs(path_);
    const CIniSection* plain = defs.FindByName("GX-PLAIN");
    const auto areas = CModelDefs::Areas(plain);
    ASSERT_EQ(areas.size(), 3u);
    EXPECT_EQ(areas[0].type, kAreaFrom);
    EXPECT_EQ(areas[0].start, 0u);
    EXPECT_EQ(areas[0].size, 0x200000u);
    EXPECT_EQ(areas[1].start, 0x200000u);
    EXPECT_EQ(areas[1].size, 0x100000u);
    EXPECT_EQ(areas[1].verifySize, 0x100000u);
    EXPECT_EQ(areas[2].type, kAreaSram);
    EXPECT_EQ(areas[2].start, 0x800000u);
    EXPECT_EQ(areas[2].size, 0x80000u);
    EXPECT_EQ(areas[2].verifySize, 0x40000u);

    const auto texts = CModelDefs::AreaTexts(plain);
    ASSERT_EQ(texts.size(), 3u);
    EXPECT_EQ(texts[1].key, "FROM2");
    EXPECT_EQ(texts[1].size, "100000");
    EXPECT_EQ(texts[2].verifySize, "40000");
    EXPECT_TRUE(CModelDefs::Areas(nullptr).empty());
}

TEST_F(ModelDefsFile, UnitBaudAndKeys) {
    CModelDefs defs(path_);
    const CIniSection* plain = defs.FindByName("GX-PLAIN");
    const CIniSection* io = defs.FindByName("GX-IO3C");
    EXPECT_EQ(CModelDefs::Unit(plain), 0x8000u);
    EXPECT_EQ(CModelDefs::Unit(io), 0x10000u);
    EXPECT_EQ(CModelDefs::Unit(nullptr), 0x10000u);

    EXPECT_EQ(CModelDefs::SelectBaud(plain, 38400), 38400u);  // BAU=57600 is not taken
    EXPECT_EQ(CModelDefs::SelectBaud(io, 38400), 115200u);
    EXPECT_EQ(CModelDefs::SelectBaud(defs.FindByName("ANY"), 9600), 9600u);
    EXPECT_FALSE(CModelDefs::ModelBaud(plain));

    EXPECT_EQ(CModelDefs::Text(plain, "ILOADER"), "IL12.BIN");
    EXPECT_EQ(CModelDefs::Text(plain, "SLOADER"), "");
    EXPECT_EQ(CModelDefs::Text(nullptr, "ILOADER"), "");
    EXPECT_TRUE(CModelDefs::Has(io, "IOCODE"));
    EXPECT_FALSE(CModelDefs::Has(plain, "IOCODE"));

    const auto io1 = CModelDefs::Io(io, "IO1");
    ASSERT_TRUE(io1);
    EXPECT_EQ(io1->address, 0xFF00u);
    EXPECT_EQ(io1->count, 1);
    EXPECT_EQ(io1->value, 5u);
    EXPECT_FALSE(CModelDefs::Io(io, "IO3"));
    const auto mem = CModelDefs::CheckMem(io);
    ASSERT_TRUE(mem);
    EXPECT_EQ(mem->from, 0x400000u);
    EXPECT_EQ(mem->sram, 0x80000u);
    EXPECT_FALSE(CModelDefs::CheckMem(plain));

    const auto rule = CModelDefs::Signature(defs.FindByName("GX-SIG2"));
    ASSERT_TRUE(rule);
    EXPECT_EQ(rule->kind, 1);
    EXPECT_EQ(rule->value, 0x1A2Bu);
    EXPECT_EQ(rule->cond, "NE");
}

TEST_F(ModelDefsFile, SearchesTraceThroughTheReadersTracer) {
    CModelDefs defs(path_);
    int lines = 0;
    defs.SetTracer([&](const char*) { ++lines; });
    defs.FindByCoreID("AB12");
    // First section: header, size, four positions, verdict.
    EXPECT_EQ(lines, 7);
}

TEST(ModelDefs, MissingFileHasNoModels) {
    TempDir dir;
    platform::SetProgramFolder(dir.str());
    CModelDefs defs;
    platform::SetProgramFolder("");
    EXPECT_FALSE(defs.Loaded());
    EXPECT_FALSE(defs.HasSections());
    EXPECT_EQ(defs.FindByCoreID("0012"), nullptr);
    EXPECT_EQ(defs.FindByImage("0012", ""), nullptr);
}

struct FieldCase {
    const char* name;
    std::string value;
    std::size_t buffer;
    bool hexOk;
    std::uint32_t hex;  // when read
};

class ModelField : public ::testing::TestWithParam<FieldCase> {};

TEST_P(ModelField, EmptyWhenMissingOrTooLong) {
    TempDir dir;
    CModelDefs defs(dir.Write("KZMNT.INI", "[M]\r\nID=1\r\nK=" + GetParam().value + "\r\n"));
    const CIniSection* m = defs.FindByName("M");
    std::uint32_t hex = 0x5A5A;
    EXPECT_EQ(CModelDefs::HexField(m, "K", 1, hex, GetParam().buffer), GetParam().hexOk);
    EXPECT_EQ(hex, GetParam().hexOk ? GetParam().hex : 0x5A5Au);
}

INSTANTIATE_TEST_SUITE_P(
    Values, ModelField,
    ::testing::Values(FieldCase{"Second", "0,1F", 32, true, 0x1F},
                      FieldCase{"Missing", "0", 32, false, 0},
                      FieldCase{"EmptyBetweenCommas", "0,,1", 32, false, 0},
                      FieldCase{"NoDigits", "0,zz", 32, false, 0},
                      FieldCase{"Fits31", "0," + std::string(30, '0') + "7", 32, true, 7},
                      FieldCase{"TooLongFor32", "0," + std::string(31, '0') + "7", 32, false, 0},
                      FieldCase{"FitsTheLargerBuffer", "0," + std::string(31, '0') + "7", 256, true,
                                7}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ModelDefs, AtMost24AreasInAll) {
    TempDir dir;
    std::string file = "[BIG]\r\nID=*\r\n";
    for (int n = 1; n <= 20; ++n) {
        file += "FROM" + std::to_string(n) + "=0,10000\r\n";
        file += "SRAM" + std::to_string(n) + "=0,10000,10000\r\n";
    }
    CModelDefs defs(dir.Write("KZMNT.INI", file));
    const auto areas = CModelDefs::Areas(defs.FindByName("BIG"));
    ASSERT_EQ(areas.size(), 24u);
    EXPECT_EQ(areas[19].type, kAreaFrom);
    EXPECT_EQ(areas[20].type, kAreaSram);
}

TEST(ModelDefs, ZeroOrUnreadableOffsetKeepsTheDefaultUnit) {
    TempDir dir;
    CModelDefs defs(
        dir.Write("KZMNT.INI", "[A]\r\nID=1\r\nOFFSET=0\r\n[B]\r\nID=2\r\nOFFSET=\r\n"));
    EXPECT_EQ(CModelDefs::Unit(defs.FindByName("A")), 0x10000u);
    EXPECT_EQ(CModelDefs::Unit(defs.FindByName("B")), 0x10000u);
}

struct AreaCase {
    const char* name;
    std::string keys;  // CR LF lines of the model section after ID
    AreaFault fault;
    std::string key;         // the key at fault
    std::size_t areas = 0;   // areas read when there is no fault
    std::uint32_t unit = 0;  // unit when there is no fault
};

class StrictAreas : public ::testing::TestWithParam<AreaCase> {};

TEST_P(StrictAreas, RefuseWhatCannotBeTransferred) {
    TempDir dir;
    CModelDefs defs(dir.Write("KZMNT.INI", "[M]\r\nID=1\r\n" + GetParam().keys));
    std::vector<MemArea> areas;
    std::uint32_t unit = 0;
    const AreaCheck check = CModelDefs::CheckAreas(defs.FindByName("M"), areas, unit);
    EXPECT_EQ(check.fault, GetParam().fault);
    EXPECT_EQ(check.key, GetParam().key);
    EXPECT_EQ(areas.size(), GetParam().areas);
    if (check.ok()) {
        EXPECT_EQ(unit, GetParam().unit);
    }
}

std::string ManyAreas(int n) {
    std::string keys;
    for (int i = 1; i <= n; ++i) {
        keys += "FROM" + std::to_string(i) + "=0,10000\r\n";
    }
    return keys + "SRAM1=400000,4000,4000\r\n";
}

INSTANTIATE_TEST_SUITE_P(
    Models, StrictAreas,
    ::testing::Values(
        AreaCase{"Good", "OFFSET=4000\r\nFROM1=0,10000\r\nSRAM1=400000, 4000 ,2000\r\n",
                 AreaFault::None, "", 2, 0x4000},
        AreaCase{"SramWithoutVerifySize", "FROM1=0,10000\r\nSRAM1=400000,4000\r\n", AreaFault::None,
                 "", 2, 0x10000},
        AreaCase{"EmptyOffset", "OFFSET=\r\nFROM1=0,10000\r\n", AreaFault::None, "", 1, 0x10000},
        AreaCase{"TwentyFour", ManyAreas(23), AreaFault::None, "", 24, 0x10000},
        AreaCase{"NotHex", "FROM1=zz,10000\r\n", AreaFault::BadArea, "FROM1"},
        AreaCase{"TrailingJunk", "FROM1=0,10000k\r\n", AreaFault::BadArea, "FROM1"},
        AreaCase{"SizeZero", "FROM1=0,0\r\n", AreaFault::BadArea, "FROM1"},
        AreaCase{"Over32Bits", "FROM1=0,100000000\r\n", AreaFault::BadArea, "FROM1"},
        AreaCase{"BadVerifySize", "FROM1=0,10000\r\nSRAM1=400000,4000,-2\r\n", AreaFault::BadArea,
                 "SRAM1"},
        // The backup reads a whole unit of an area smaller than the unit.
        AreaCase{"UnitWraps", "FROM1=FFFFF000,1000\r\n", AreaFault::Wraps, "FROM1"},
        AreaCase{"EndsAtTheTop", "OFFSET=1000\r\nFROM1=FFFFF000,1000\r\n", AreaFault::None, "", 1,
                 0x1000}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ModelDefs, SignatureWithMissingFieldsNeverFits) {
    SignatureRule rule;
    rule.cond = "EQ";
    EXPECT_FALSE(rule.Fits(1, 0));
    rule.kind = 1;
    EXPECT_FALSE(rule.Fits(1, 0));
    rule.value = 0;
    EXPECT_TRUE(rule.Fits(1, 0));
    EXPECT_FALSE(rule.Fits(2, 0));
    rule.cond = "eq";
    EXPECT_FALSE(rule.Fits(1, 0));
}

}  // namespace
}  // namespace kz

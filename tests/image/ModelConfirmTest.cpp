#include "ops/memory/ModelConfirm.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "config/MessageIds.h"
#include "config/StringTable.h"
#include "support/TempDir.h"
#include "support/TestFolder.h"

namespace kz {
namespace {

using test::IniText;
using test::TempDir;
using Lines = std::vector<std::string>;

// Four models that one panel (core ID 8C93) could be: told apart by signature, by I/O code,
// by memory sizes, and a catch-all.
std::string FourModels() {
    return IniText()
        .Section("CONFIG")
        .Key("BAU", 2)
        .Section("SIG-EQ")
        .Key("ID", "**93")
        .Key("SIGNATURE", "1,1A2B,EQ")
        .Key("ILOADER", "ILSIG.BIN")
        .Key("BAU", 115200)
        .Key("BK_FILE", "SIGEQ")
        .Key("FROM1", "100000,200000")
        .Key("SRAM1", "800000,80000,40000")
        .Key("SRAM2", "900000,A0000,A0000")
        .Key("SRAM3", "A00000,10000,0")
        .Section("IO-3C")
        .Key("ID", "8C93")
        .Key("IOCODE", "3C")
        .Key("ILOADER", "ILIO.BIN")
        .Key("BAU", 57600)
        .Section("MEM")
        .Key("ID", "8C93")
        .Key("CHKMEM", "400000,80000")
        .Key("BAU", 38400)
        .Section("ANY")
        .Key("ID", "")
        .str();
}

class Confirm : public ::testing::Test {
  protected:
    void SetUp() override { SetLanguage(Language::English); }

    const CModelDefs& Defs(const std::string& ini = FourModels()) {
        defs_ = std::make_unique<CModelDefs>(dir_.Write("KZMNT.INI", ini));
        return *defs_;
    }

    ModelInfo Run(const ModelInfoInput& in, const std::string& ini = FourModels()) {
        return ConfirmModel(Defs(ini), in, [this](const char* line) { trace_.push_back(line); });
    }

    static ModelInfoInput Panel() {
        ModelInfoInput in;
        in.coreId = "8C93";
        in.modelName = "OPERATION";
        in.baud = 19200;
        return in;
    }

    TempDir dir_;
    std::unique_ptr<CModelDefs> defs_;
    Lines trace_;
};

struct SearchCase {
    const char* what;
    bool signatureRead;
    std::uint32_t signatureValue;
    std::string ioCode;
    std::uint32_t fromSize, sramSize;
    std::string model;
};

class ConfirmSearch : public Confirm, public ::testing::WithParamInterface<SearchCase> {};

TEST_P(ConfirmSearch, TakesTheFirstModelThatPassesAllTests) {
    const SearchCase& c = GetParam();
    ModelInfoInput in = Panel();
    in.signatureRead = c.signatureRead;
    in.signatureKind = 1;
    in.signatureValue = c.signatureValue;
    in.ioCode = c.ioCode;
    in.fromSize = c.fromSize;
    in.sramSize = c.sramSize;
    const ModelInfo info = Run(in);
    EXPECT_TRUE(info.found) << c.what;
    EXPECT_EQ(info.modelName, c.model) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Tests, ConfirmSearch,
    ::testing::Values(SearchCase{"signature fits", true, 0x1A2B, "", 0, 0, "SIG-EQ"},
                      SearchCase{"signature differs", true, 0x1A2C, "", 0, 0, "IO-3C"},
                      SearchCase{"no signature read", false, 0x1A2B, "", 0, 0, "IO-3C"},
                      SearchCase{"I/O code equal", false, 0, "3C", 0, 0, "IO-3C"},
                      SearchCase{"I/O code differs", false, 0, "3D", 0, 0, "MEM"},
                      SearchCase{"I/O code in other case", false, 0, "3c", 0, 0, "MEM"},
                      SearchCase{"sizes equal", false, 0, "3D", 0x400000, 0x80000, "MEM"},
                      SearchCase{"only FROM known", false, 0, "3D", 0x400000, 0, "MEM"},
                      SearchCase{"only SRAM known", false, 0, "3D", 0, 0x80000, "MEM"},
                      SearchCase{"FROM differs", false, 0, "3D", 0x200000, 0x80000, "ANY"},
                      SearchCase{"SRAM differs", false, 0, "3D", 0x400000, 0x40000, "ANY"}));

TEST_F(Confirm, AMatchGivesLoaderStemAndBaud) {
    ModelInfoInput in = Panel();
    in.signatureRead = true;
    in.signatureKind = 1;
    in.signatureValue = 0x1A2B;
    ModelInfo info = Run(in);
    EXPECT_EQ(info.loaderName, "ILSIG.BIN");
    EXPECT_EQ(info.bkFileStem, "SIGEQ");
    EXPECT_EQ(info.baud, 115200u);

    in.signatureKind = 2;  // the right value of another kind does not fit
    info = Run(in);
    EXPECT_EQ(info.modelName, "IO-3C");
    EXPECT_EQ(info.loaderName, "ILIO.BIN");
    EXPECT_EQ(info.bkFileStem, "");
    EXPECT_EQ(info.baud, 9600u);  // 57600 is not one of the loader rates

    in.ioCode = "00";
    EXPECT_EQ(Run(in).baud, 38400u);
    in.fromSize = 1;
    EXPECT_EQ(Run(in).baud, 9600u);  // ANY has no BAU
}

TEST_F(Confirm, WithoutAMatchTheOperationsModelStays) {
    const std::string ini = IniText()
                                .Section("OTHER")
                                .Key("ID", "0001")
                                .Section("OPERATION")
                                .Key("ID", "FFFF")
                                .Key("ILOADER", "IGNORED.BIN")
                                .Key("FROM1", "0,10000")
                                .str();
    const ModelInfo info = Run(Panel(), ini);
    EXPECT_FALSE(info.found);
    EXPECT_EQ(info.modelName, "OPERATION");
    EXPECT_EQ(info.baud, 19200u);
    EXPECT_EQ(info.loaderName, "");
    EXPECT_EQ(info.bkFileStem, "");
    EXPECT_EQ(info.fepromList, Lines{"Address=0 , Size=10000"});
    EXPECT_EQ(info.message, "In a personal computer \"OPERATION\" Data is backed up.");
}

struct ModeCase {
    DialogMode mode;
    int caption;
    std::string message;
    Lines sram;
};

class ConfirmModes : public Confirm, public ::testing::WithParamInterface<ModeCase> {};

TEST_P(ConfirmModes, CaptionMessageAndLists) {
    ModelInfoInput in = Panel();
    in.mode = GetParam().mode;
    in.signatureRead = true;
    in.signatureKind = 1;
    in.signatureValue = 0x1A2B;
    const ModelInfo info = Run(in);
    EXPECT_EQ(info.captionId, GetParam().caption);
    EXPECT_EQ(info.message, GetParam().message);
    EXPECT_EQ(info.fepromList, Lines{"Address=100000 , Size=200000"});
    EXPECT_EQ(info.sramList, GetParam().sram);
}

// SRAM2's size A0000 reads as 0 taken as a decimal number and is not listed; in verify mode
// the verify sizes are shown, and SRAM3's verify size 0 leaves it out.
INSTANTIATE_TEST_SUITE_P(
    Modes, ConfirmModes,
    ::testing::Values(ModeCase{DialogMode::Backup,
                               msg::kBackupConfirmCaption,
                               "In a personal computer \"SIG-EQ\" Data is backed up.",
                               {"Address=800000 , Size=80000", "Address=A00000 , Size=10000"}},
                      ModeCase{DialogMode::Restore,
                               msg::kRestoreConfirmCaption,
                               "\"SIG-EQ\" Backup data is written in",
                               {"Address=800000 , Size=80000", "Address=A00000 , Size=10000"}},
                      ModeCase{DialogMode::Verify,
                               msg::kVerifyConfirmCaption,
                               "\"SIG-EQ\"  It verifies.",
                               {"Address=800000 , Size=40000"}}));

TEST_F(Confirm, CoreIdIsShownFromItsThirdCharacter) {
    ModelInfoInput in = Panel();
    EXPECT_EQ(Run(in).coreIdDisplay, "93");
    in.coreId = "93";
    EXPECT_EQ(Run(in).coreIdDisplay, "93");
}

TEST_F(Confirm, CheckMemoryTracesTheComparison) {
    ModelInfoInput in = Panel();
    in.ioCode = "3D";
    in.fromSize = 0x200000;
    in.sramSize = 0x80000;
    Run(in);
    Lines memory;
    for (const std::string& line : trace_) {
        if (line.find("CProtocol::CheckCoreID") == std::string::npos &&
            line.rfind("      ", 0) != 0) {
            memory.push_back(line);
        }
    }
    EXPECT_EQ(memory, (Lines{"CConfirmDlg::CheckMemory = [400000,80000]\n",
                             "  m_dwFRomSize = [200000] m_dwSRamSize = [80000]\n",
                             "  dwFRomSize = [400000] dwSRamSize = [80000]\n"}));

    const CModelDefs& defs = Defs();
    const CIniSection* mem = defs.FindByName("MEM");
    Lines lines;
    const auto sink = [&](const char* line) { lines.push_back(line); };
    EXPECT_TRUE(CheckMemory(mem, 0x400000, 0x80000, sink));
    EXPECT_EQ(lines.back(), "  Memory is Match\n");
    EXPECT_TRUE(CheckMemory(defs.FindByName("ANY"), 1, 2, sink));  // no CHKMEM
}

TEST_F(Confirm, PropertiesOfAnImage) {
    const CModelDefs& defs = Defs();
    MemImageFile image;
    image.SetCoreID("8C93");
    image.SetIOCode("3C");
    image.SetComment("line 7");
    image.SetModelName("SIG-EQ");
    ImageProperties props = GetImageProperties(image, defs);
    EXPECT_EQ(props.coreId, "93");
    EXPECT_EQ(props.ioCode, "3C");
    EXPECT_EQ(props.comment, "line 7");
    EXPECT_EQ(props.modelName, "SIG-EQ");
    EXPECT_EQ(props.fepromList, Lines{"Address=100000 , Size=200000"});
    // Every SRAM key, with its size field.
    EXPECT_EQ(props.sramList, (Lines{"Address=800000 , Size=80000", "Address=900000 , Size=A0000",
                                     "Address=A00000 , Size=10000"}));

    image.SetCoreID("5");
    image.SetIOCode("");
    image.SetModelName("UNKNOWN");
    props = GetImageProperties(image, defs);
    EXPECT_EQ(props.coreId, "05");
    EXPECT_EQ(props.ioCode, "00");
    EXPECT_TRUE(props.fepromList.empty());
    EXPECT_TRUE(props.sramList.empty());
}

}  // namespace
}  // namespace kz

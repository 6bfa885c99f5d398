// Backup, verify and restore end to end against the simulated panel on the virtual link:
// the image byte for byte, the compatibility checks and their errors, faults on the line,
// and what happens to files when a run ends early.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>

#include "config/Settings.h"
#include "ops/memory/Backup.h"
#include "ops/memory/Restore.h"
#include "ops/memory/Verify.h"
#include "platform/File.h"
#include "support/PanelFixture.h"
#include "support/PlantedFiles.h"
#include "support/SimBench.h"

namespace kz::test {
namespace {

using namespace std::chrono_literals;

std::uint32_t U32(const std::string& s, std::size_t at) {
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i) {
        v = (v << 8) | static_cast<std::uint8_t>(s[at + static_cast<std::size_t>(i)]);
    }
    return v;
}
void Put16(std::string& s, std::size_t at, std::uint16_t v) {
    s[at] = static_cast<char>(v & 0xFF);
    s[at + 1] = static_cast<char>(v >> 8);
}
void Put32(std::string& s, std::size_t at, std::uint32_t v) {
    for (std::size_t i = 0; i < 4; ++i) {
        s[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
    }
}
// Replaces the first from in text by to.
std::string Replaced(std::string text, const std::string& from, const std::string& to) {
    const auto at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    if (at != std::string::npos) {
        text.replace(at, from.size(), to);
    }
    return text;
}
std::uint16_t U16(const std::string& s, std::size_t at) {
    return static_cast<std::uint16_t>(static_cast<std::uint8_t>(s[at]) |
                                      static_cast<std::uint8_t>(s[at + 1]) << 8);
}

// The test panel's areas (64 KiB FROM, 16 KiB SRAM) are whole multiples of this unit.
ModelChoices Choices() {
    ModelChoices c;
    c.name = "KZ-TEST";
    c.loaderFile = "DEMO.LDR";
    c.offset = 0x4000;
    return c;
}

class MemoryOpsTest : public ::testing::Test {
  protected:
    void Make(const ModelChoices& choices = Choices(), sim::PanelDescription panel = TestPanel(),
              const LinkSettings& link = {}) {
        description = panel;
        bench.reset();
        bench = std::make_unique<SimBench>(link, panel, ModelSection(panel, choices));
    }

    // Starts an operation shown in view; returns the count Finish waits past.
    int Start(CMemoryOperation& op, RecordingView& view, bool confirm = true) {
        op.SetView(&view);
        op.SetPrompt(&view);
        view.onMessage = [&op, confirm](unsigned msg, std::uintptr_t) {
            if (msg == WM_MODEL_INFO_REQUEST) {
                ModelInfoExchange info = op.ModelInfoRequest();
                op.AnswerModelInfo(confirm, info.modelName, info.bkFile, info.baud);
            }
        };
        const int before = view.Count(WM_OPERATION_COMPLETE);
        op.PostEvent(EVENT_NONE);
        return before;
    }

    // Waits for the operation's WM_OPERATION_COMPLETE; returns its final m_nError.
    int Finish(CMemoryOperation& op, RecordingView& view, int before) {
        EXPECT_TRUE(view.WaitMessage(WM_OPERATION_COMPLETE, before + 1, 120s));
        op.WaitIdle();
        return op.m_nError;
    }

    // Runs an operation to WM_OPERATION_COMPLETE; returns its final m_nError.
    int Run(CMemoryOperation& op, bool confirm = true) {
        return Finish(op, bench->view, Start(op, bench->view, confirm));
    }

    int Backup(const std::string& path, const std::string& comment = "first backup") {
        CBackup op;
        op.SetFileName(path);
        op.SetComment(comment);
        return Run(op);
    }

    std::vector<std::uint8_t> PanelBytes(std::uint32_t address, std::size_t size) {
        return bench->panel->ReadMemory(address, size);
    }

    std::string ExpectedData() {
        auto from = ExpectedMemory(description, 0, 0x10000);
        auto sram = ExpectedMemory(description, 0x400000, 0x4000);
        std::string data(from.begin(), from.end());
        data.append(sram.begin(), sram.end());
        return data;
    }

    std::string Image(const std::string& name) { return bench->folder.dir().Read(name); }
    std::string Path(const std::string& name) { return bench->folder.Path(name); }
    int Lines(const std::string& text) { return bench->LineCount(text); }
    std::string LastLine() { return bench->LastLine(); }
    int Count(const std::string& command) { return bench->CommandCount(command); }

    sim::PanelDescription description;
    std::unique_ptr<SimBench> bench;
};

TEST_F(MemoryOpsTest, BackupWritesAByteExactImage) {
    Make();
    ASSERT_EQ(Backup(Path("a.mem")), msg::kCompleted);
    EXPECT_EQ(LastLine(), "Processing was completed.");
    const std::string image = Image("a.mem");
    ASSERT_EQ(image.size(), 1024u + 0x10000 + 0x4000);
    EXPECT_EQ(U16(image, 0), 1);
    EXPECT_EQ(U32(image, 4), 0x10000u);  // the panel's sizes: the model has CHKMEM
    EXPECT_EQ(U32(image, 8), 0x4000u);
    EXPECT_EQ(U16(image, 12), 2);
    EXPECT_EQ(std::string(image.c_str() + 32), "KZ-TEST");
    const std::size_t d = 272;
    EXPECT_EQ(image.substr(d, 2), "10");
    EXPECT_EQ(image.substr(d + 2, 2), "93");
    EXPECT_EQ(image.substr(d + 4, 2), "C3");
    EXPECT_EQ(std::string(image.c_str() + d + 6), "first backup");
    EXPECT_EQ(U32(image, d + 72), 0x4000u);
    EXPECT_EQ(image.substr(d + 76, 2), "8C");
    EXPECT_EQ(U16(image, d + 78), 0x0001);  // signature 8C930001, low 16 bits
    EXPECT_EQ(U16(image, d + 126), 2);
    EXPECT_EQ(U16(image, d + 128), 0);
    EXPECT_EQ(U32(image, d + 130), 0u);
    EXPECT_EQ(U32(image, d + 134), 0x10000u);
    EXPECT_EQ(U32(image, d + 138), 0u);
    EXPECT_EQ(U16(image, d + 144), 1);
    EXPECT_EQ(U32(image, d + 146), 0x400000u);
    EXPECT_EQ(U32(image, d + 150), 0x4000u);
    EXPECT_EQ(U32(image, d + 154), 0x4000u);
    EXPECT_EQ(image.substr(1024), ExpectedData());
    EXPECT_EQ(bench->view.Progress(), 100);
    EXPECT_EQ(bench->view.ModelName(), "KZ-TEST");
    EXPECT_FALSE(std::filesystem::exists(Path("a.mem.partial")));
    for (int unit = 1; unit <= 5; ++unit) {
        EXPECT_EQ(Lines("    Buckup(" + std::to_string(unit) + "/5)..."), 1);
    }
}

TEST_F(MemoryOpsTest, VerifyRestoreRoundTrip) {
    Make();
    ASSERT_EQ(Backup(Path("a.mem")), msg::kCompleted);
    {
        CVerify verify;
        verify.SetFileName(Path("a.mem"));
        EXPECT_EQ(Run(verify), msg::kCompleted);
        EXPECT_EQ(bench->view.Progress(), 100);
    }
    // Clear the panel, restore, and the memory is the image again.
    for (std::uint32_t a = 0; a < 0x10000; a += 7) {
        bench->panel->SetMemoryByte(a, 0);
    }
    {
        CRestore restore;
        restore.SetFileName(Path("a.mem"));
        EXPECT_EQ(Run(restore), msg::kCompleted);
    }
    const std::string data = Image("a.mem").substr(1024);
    EXPECT_TRUE(bench->panel->MemoryEquals(
        0, std::span(reinterpret_cast<const std::uint8_t*>(data.data()), 0x10000)));
    EXPECT_TRUE(bench->panel->MemoryEquals(
        0x400000, std::span(reinterpret_cast<const std::uint8_t*>(data.data()) + 0x10000, 0x4000)));
    EXPECT_EQ(std::count(bench->view.asked.begin(), bench->view.asked.end(), 141), 1);
}

TEST_F(MemoryOpsTest, VerifyStopsRightAfterTheFirstDifferingPacket) {
    Make();
    ASSERT_EQ(Backup(Path("a.mem")), msg::kCompleted);
    bench->panel->SetMemoryByte(0x4000 + 5, 0x77 ^ bench->panel->ReadMemory(0x4005, 1)[0]);
    bench->panel->ClearFrames();
    CVerify verify;
    verify.SetFileName(Path("a.mem"));
    EXPECT_EQ(Run(verify), msg::kVerifyMismatch);
    EXPECT_EQ(LastLine(), "Data which is not in agreement by verification.");
    EXPECT_EQ(Count(">m"), 2);  // the second packet differed; nothing after it was read
}

TEST_F(MemoryOpsTest, CancelledModelConfirmationWritesNoFile) {
    Make();
    CBackup op;
    op.SetFileName(Path("a.mem"));
    EXPECT_EQ(Run(op, false), msg::kAborted);
    EXPECT_EQ(LastLine(), "Processing was aborted by operation.");
    EXPECT_FALSE(std::filesystem::exists(Path("a.mem")));
    EXPECT_FALSE(std::filesystem::exists(Path("a.mem.partial")));
}

TEST_F(MemoryOpsTest, AutomaticFileNameFromTheCoreId) {
    Make();
    bench->WriteIni("AUTOFILENAME=1\r\n", ModelSection(description, Choices()));
    CBackup op;
    op.SetFileName(Path("out"));
    EXPECT_EQ(Run(op), msg::kCompleted);
    EXPECT_TRUE(std::filesystem::exists(Path("out/bk8013.MEM")));
    EXPECT_EQ(op.ImagePath(), Path("out/bk8013.MEM"));
}

TEST_F(MemoryOpsTest, IoCodeReadAsFFIsRetriedWithIO3) {
    Make();
    sim::FaultConfig faults;
    faults.ffIoReads = 2;
    bench->panel->SetFaults(faults);
    ASSERT_EQ(Backup(Path("a.mem")), msg::kCompleted);
    EXPECT_EQ(Lines("    I/O CODE Check"), 3);
    EXPECT_EQ(Count("<i"), 3);
    EXPECT_EQ(Image("a.mem").substr(272 + 4, 2), "C3");
}

TEST_F(MemoryOpsTest, CorruptBlockAndLineErrorsStillGiveAByteExactImage) {
    Make();
    sim::FaultConfig faults;
    faults.corruptReadBlock = 2;
    bench->panel->SetFaults(faults);
    ASSERT_EQ(Backup(Path("a.mem")), msg::kCompleted);
    EXPECT_EQ(Lines("    Data error"), 1);
    EXPECT_EQ(Image("a.mem").substr(1024), ExpectedData());

    // Line errors on every 0x4000 packet: the run steps down to smaller packets and
    // still reads every byte of the unit.
    bench->panel->PowerCycle(10ms);
    sim::FaultConfig lineErrors;
    lineErrors.lineErrorReadBlock = 1;
    lineErrors.lineErrorReadBlockCount = 4;  // the first packet and all its retries
    bench->panel->SetFaults(lineErrors);
    bench->panel->ClearFrames();
    ASSERT_EQ(Backup(Path("b.mem")), msg::kCompleted);
    EXPECT_EQ(Image("b.mem").substr(1024), ExpectedData());
    auto frames = bench->panel->Frames();
    bool smaller = std::any_of(frames.begin(), frames.end(), [](const sim::ReceivedFrame& f) {
        return f.command == ">m" &&
               std::string(f.raw.begin(), f.raw.end()).find("00001000") != std::string::npos;
    });
    EXPECT_TRUE(smaller);
}

TEST_F(MemoryOpsTest, NoSmallerPacketLeftEndsTheRunWithAnError) {
    Make();
    sim::FaultConfig lineErrors;
    lineErrors.lineErrorReadBlock = 1;
    lineErrors.lineErrorReadBlockCount = 1000;
    bench->panel->SetFaults(lineErrors);
    EXPECT_EQ(Backup(Path("a.mem")), msg::kRetryOver);
    EXPECT_FALSE(std::filesystem::exists(Path("a.mem")));
    EXPECT_TRUE(std::filesystem::exists(Path("a.mem.partial")));
}

TEST_F(MemoryOpsTest, EarlyEndKeepsTheOldImageAndNamesThePartialFile) {
    Make();
    ASSERT_EQ(Backup(Path("a.mem"), "old"), msg::kCompleted);
    const std::string old = Image("a.mem");
    bench->panel->PowerCycle(10ms);
    sim::FaultConfig silent;
    silent.silentAfterFrames = 13;  // answers two packets, then goes silent
    bench->panel->SetFaults(silent);
    EXPECT_EQ(Backup(Path("a.mem"), "new"), msg::kRetryOver);
    EXPECT_EQ(Image("a.mem"), old);
    const std::string partial = Image("a.mem.partial");
    ASSERT_GE(partial.size(), 1024u);
    EXPECT_EQ(std::string(partial.c_str() + 272 + 6), "new");
    EXPECT_EQ(Lines("    The data read so far is kept in " + Path("a.mem.partial")), 1);
}

TEST_F(MemoryOpsTest, FullDiskEndsWithFileWriteError) {
    // In a child process whose file size limit stops the image after its first packet. The
    // child builds its own bench: threads do not survive fork().
    const std::optional<int> result = test::RunWithFileSizeLimit(1024 + 0x4000 + 100, [&] {
        Make();
        CBackup op;
        op.SetFileName(Path("full.mem"));
        int error = Run(op);
        bool ok = error == msg::kFileWrite && !std::filesystem::exists(Path("full.mem")) &&
                  LastLine() == "File write error";
        return ok ? 0 : 1;
    });
    if (!result) {
        GTEST_SKIP() << "no file size limit on this system";
    }
    EXPECT_EQ(*result, 0);
}

TEST_F(MemoryOpsTest, TruncatedImageFailsBeforeAnyWrite) {
    Make();
    ASSERT_EQ(Backup(Path("a.mem")), msg::kCompleted);
    std::string image = Image("a.mem");
    bench->folder.dir().Write("short.mem", image.substr(0, image.size() - 1));
    bench->panel->ClearFrames();
    for (bool verify : {false, true}) {
        bench->panel->PowerCycle(10ms);
        std::unique_ptr<CMemoryOperation> op;
        if (verify) {
            op = std::make_unique<CVerify>();
        } else {
            op = std::make_unique<CRestore>();
        }
        op->SetFileName(Path("short.mem"));
        EXPECT_EQ(Run(*op), msg::kImageTooShort);
    }
    EXPECT_EQ(Count("<m"), 0);
    EXPECT_EQ(Count(">m"), 0);
}

struct CheckCase {
    const char* name;
    std::function<void(MemoryOpsTest&, sim::PanelDescription&, ModelChoices&)> change;
    int error;
    // Optional text replaced in the restore's model definitions.
    std::string from = {};
    std::string to = {};
};

class CompatibilityTest : public MemoryOpsTest, public ::testing::WithParamInterface<CheckCase> {};

// A backup made on the test panel, then restored onto a panel or with definitions that
// differ in one respect.
TEST_P(CompatibilityTest, RestoreRefusesAMismatch) {
    Make();
    ASSERT_EQ(Backup(Path("a.mem")), msg::kCompleted);
    std::string image = Image("a.mem");
    sim::PanelDescription panel = TestPanel();
    ModelChoices choices = Choices();
    GetParam().change(*this, panel, choices);
    // The definitions describe the panel the image came from; the panel may differ.
    description = panel;
    bench.reset();
    std::string models = ModelSection(TestPanel(), choices);
    for (auto at = models.find(GetParam().from);
         !GetParam().from.empty() && at != std::string::npos; at = models.find(GetParam().from)) {
        models.replace(at, GetParam().from.size(), GetParam().to);
    }
    bench = std::make_unique<SimBench>(LinkSettings{}, panel, models);
    bench->folder.dir().Write("a.mem", image);
    CRestore restore;
    restore.SetFileName(Path("a.mem"));
    EXPECT_EQ(Run(restore), GetParam().error);
    EXPECT_EQ(Count("<m"), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Checks, CompatibilityTest,
    ::testing::Values(
        CheckCase{"UnknownModel",
                  [](MemoryOpsTest&, sim::PanelDescription&, ModelChoices& c) {
                      c.name = "X";
                      c.ioCode = false;
                  },
                  msg::kNotRegistered},
        CheckCase{
            "CoreId",
            [](MemoryOpsTest&, sim::PanelDescription& p, ModelChoices&) { p.coreId = "8C94"; },
            msg::kNotRegistered},
        // The I/O code register of this panel reads C4 once selected.
        CheckCase{"IoCode", [](MemoryOpsTest&, sim::PanelDescription&, ModelChoices&) {},
                  msg::kIoCodeDiffers, ",1,C3\r", ",1,C4\r"},
        CheckCase{
            "FromSize",
            [](MemoryOpsTest&, sim::PanelDescription& p, ModelChoices&) { p.fromSize = 0x20000; },
            msg::kFepromSize},
        CheckCase{
            "SramSize",
            [](MemoryOpsTest&, sim::PanelDescription& p, ModelChoices&) { p.sramSize = 0x8000; },
            msg::kSramSize},
        CheckCase{"Signature",
                  [](MemoryOpsTest&, sim::PanelDescription& p, ModelChoices& c) {
                      c.signatureKind = 2;  // the model reads kind 2: 1234 instead of 0001
                      (void)p;
                  },
                  msg::kSignatureDiffers}),
    [](const ::testing::TestParamInfo<CheckCase>& info) { return info.param.name; });

TEST_F(MemoryOpsTest, PanelCoreIdThatDoesNotFitTheImageIs4006) {
    // Two models: the image's (ID 8C93) and the panel's (ID 8C9*) with its own loader.
    Make();
    ASSERT_EQ(Backup(Path("a.mem")), msg::kCompleted);
    std::string image = Image("a.mem");
    sim::PanelDescription panel = TestPanel();
    panel.coreId = "7C93";
    ModelChoices imageModel = Choices();
    ModelChoices panelModel = Choices();
    panelModel.name = "KZ-OTHER";
    sim::PanelDescription other = panel;
    std::string models =
        ModelSection(TestPanel(), imageModel) + "\r\n" + ModelSection(other, panelModel);
    description = panel;
    bench.reset();
    bench = std::make_unique<SimBench>(LinkSettings{}, panel, models);
    bench->folder.dir().Write("a.mem", image);
    CRestore restore;
    restore.SetFileName(Path("a.mem"));
    EXPECT_EQ(Run(restore), msg::kCoreIdDiffers);
}

TEST_F(MemoryOpsTest, OldFormatImageIsRestoredThroughItsModelName) {
    // Old images carry no signature, so the model has no SIGNATURE check.
    ModelChoices choices = Choices();
    choices.signatureKind = 0;
    Make(choices);
    ASSERT_EQ(Backup(Path("a.mem")), msg::kCompleted);
    std::string image = Image("a.mem");
    // An old image: header format 1, model name with trailing blanks, no area table.
    image[12] = 1;
    std::memcpy(&image[32], "KZ-TEST   ", 10);
    std::fill(image.begin() + 272, image.begin() + 784, '\0');
    bench->folder.dir().Write("old.mem", image);
    for (std::uint32_t a = 0; a < 0x10000; a += 3) {
        bench->panel->SetMemoryByte(a, 0xEE);
    }
    bench->panel->PowerCycle(10ms);
    CRestore restore;
    restore.SetFileName(Path("old.mem"));
    ASSERT_EQ(Run(restore), msg::kCompleted);
    EXPECT_EQ(bench->panel->ReadMemory(0, 0x10000), ExpectedMemory(description, 0, 0x10000));
}

TEST_F(MemoryOpsTest, SmallUnitImageIsWrittenAndComparedAreaByArea) {
    // Two FROM areas of 0x8000 with OFFSET 8000 and an SRAM verified over half its size.
    sim::PanelDescription panel = TestPanel();
    panel.regions = {{"FROM", 0x0, 0x8000, {sim::MemoryFill::Kind::Pattern, 0xFF, 3}},
                     {"FROM2", 0x10000, 0x8000, {sim::MemoryFill::Kind::Pattern, 0xFF, 4}},
                     {"SRAM", 0x400000, 0x8000, {sim::MemoryFill::Kind::Pattern, 0xFF, 5}},
                     {"FROM3", 0x20000, 0x8000, {sim::MemoryFill::Kind::Pattern, 0xFF, 6}}};
    ModelChoices choices = Choices();
    choices.offset = 0x8000;
    choices.checkMemory = false;
    Make(choices, panel);
    ASSERT_EQ(Backup(Path("a.mem")), msg::kCompleted);
    ASSERT_EQ(Image("a.mem").size(), 1024u + 0x8000 * 4);
    {
        CVerify verify;
        verify.SetFileName(Path("a.mem"));
        EXPECT_EQ(Run(verify), msg::kCompleted);
    }
    for (std::uint32_t a : {0x0u, 0x10000u, 0x20000u, 0x400000u}) {
        for (std::uint32_t i = 0; i < 0x8000; i += 5) {
            bench->panel->SetMemoryByte(a + i, 0);
        }
    }
    bench->panel->ClearFrames();
    CRestore restore;
    restore.SetFileName(Path("a.mem"));
    EXPECT_EQ(Run(restore), msg::kCompleted);
    for (const auto& region : panel.regions) {
        EXPECT_EQ(bench->panel->ReadMemory(region.start, region.size),
                  ExpectedMemory(panel, region.start, region.size))
            << region.name;
    }
    // Every write stayed inside its area.
    int writes = 0;
    for (const auto& f : bench->panel->Frames()) {
        if (f.command != "<m") {
            continue;
        }
        ++writes;
        std::string frame(f.raw.begin(), f.raw.end());
        const std::uint32_t address = std::stoul(frame.substr(3, 8), nullptr, 16);
        const std::uint32_t size = std::stoul(frame.substr(11, 8), nullptr, 16);
        bool inside = std::any_of(panel.regions.begin(), panel.regions.end(), [&](const auto& r) {
            return address >= r.start && address + size <= r.start + r.size;
        });
        EXPECT_TRUE(inside) << frame.substr(3, 16);
    }
    EXPECT_EQ(writes, 4);
}

TEST_F(MemoryOpsTest, SramComparedInPartDoesNotShiftTheAreasAfterIt) {
    // SRAM first (verified over 0x2000 of 0x4000), then FROM: a difference in the FROM area
    // is found at the right image offset.
    sim::PanelDescription panel = TestPanel();
    panel.regions = {{"SRAM", 0x400000, 0x4000, {sim::MemoryFill::Kind::Pattern, 0xFF, 5}},
                     {"SRAM2", 0x500000, 0x4000, {sim::MemoryFill::Kind::Pattern, 0xFF, 6}}};
    panel.sramSize = 0x4000;
    ModelChoices choices = Choices();
    choices.offset = 0x4000;
    choices.checkMemory = false;
    std::string models = ModelSection(panel, choices);
    // Verify only half of the first SRAM area.
    const std::string key = "SRAM1=400000,4000,4000";
    auto at = models.find(key);
    ASSERT_NE(at, std::string::npos) << models;
    models.replace(at, key.size(), "SRAM1=400000,4000,2000");
    description = panel;
    bench.reset();
    bench = std::make_unique<SimBench>(LinkSettings{}, panel, models);
    ASSERT_EQ(Backup(Path("a.mem")), msg::kCompleted);
    {
        CVerify verify;
        verify.SetFileName(Path("a.mem"));
        EXPECT_EQ(Run(verify), msg::kCompleted);
    }
    // A change in the uncompared half is not seen; one in the second area is.
    bench->panel->SetMemoryByte(0x403000, 0x00 ^ 0x5A ^ bench->panel->ReadMemory(0x403000, 1)[0]);
    {
        CVerify verify;
        verify.SetFileName(Path("a.mem"));
        EXPECT_EQ(Run(verify), msg::kCompleted);
    }
    bench->panel->SetMemoryByte(0x500010, 0x5A ^ bench->panel->ReadMemory(0x500010, 1)[0]);
    CVerify verify;
    verify.SetFileName(Path("a.mem"));
    EXPECT_EQ(Run(verify), msg::kVerifyMismatch);
}

// ---- Hostile definitions, images and file names ----------------------------------------------

struct ModelFaultCase {
    const char* name;
    std::string from, to;  // replaced in the model section
    std::string line;      // the status line that explains the refusal
};

class ModelFaultTest : public MemoryOpsTest,
                       public ::testing::WithParamInterface<ModelFaultCase> {};

// A model whose areas cannot be transferred is refused before a file is made or a byte read.
TEST_P(ModelFaultTest, BackupIsRefusedBeforeAnyTransfer) {
    Make();
    std::string models = ModelSection(description, Choices());
    models = Replaced(models, GetParam().from, GetParam().to);
    bench->WriteIni("", models);
    EXPECT_EQ(Backup(Path("a.mem")), msg::kModelAreasInvalid);
    EXPECT_EQ(Lines(GetParam().line), 1);
    EXPECT_EQ(LastLine(), "The memory areas of the model definition are not valid.");
    EXPECT_EQ(Count(">m"), 0);
    EXPECT_FALSE(std::filesystem::exists(Path("a.mem")));
    EXPECT_FALSE(std::filesystem::exists(Path("a.mem.partial")));
}

std::string TwentyFourMore() {
    std::string keys;
    for (int n = 2; n <= 25; ++n) {
        keys += "FROM" + std::to_string(n) + "=0,10000\r\n";
    }
    return keys;
}

INSTANTIATE_TEST_SUITE_P(
    Models, ModelFaultTest,
    ::testing::Values(
        ModelFaultCase{"WrongCase", "FROM1=0,10000\r\nSRAM1=", "from1=0,10000\r\nsram1=",
                       "    No memory area (FROM1, SRAM1) is defined."},
        ModelFaultCase{"Negative", "FROM1=0,10000", "FROM1=0,-1",
                       "    FROM1 is not valid: start and size must be hexadecimal numbers, the "
                       "size above 0."},
        ModelFaultCase{"Wraps", "SRAM1=400000", "SRAM1=FFFFE000",
                       "    SRAM1 goes past the end of the address space."},
        ModelFaultCase{"NegativeOffset", "OFFSET=4000", "OFFSET=-10000",
                       "    OFFSET is not a hexadecimal number."},
        ModelFaultCase{"TooMany", "FROM1=0,10000\r\n", "FROM1=0,10000\r\n" + TwentyFourMore(),
                       "    More than 24 memory areas are defined (FROM25 is one too many)."}),
    [](const auto& info) { return std::string(info.param.name); });

struct ImageFaultCase {
    const char* name;
    std::function<void(std::string&)> change;
    int error;
};

class ImageFaultTest : public MemoryOpsTest,
                       public ::testing::WithParamInterface<ImageFaultCase> {};

// An image whose table is not the model's, or whose data is not what the table promises, is
// neither written to the panel nor compared with it.
TEST_P(ImageFaultTest, RestoreAndVerifyRefuseBeforeAnyTransfer) {
    Make();
    ASSERT_EQ(Backup(Path("a.mem")), msg::kCompleted);
    std::string image = Image("a.mem");
    GetParam().change(image);
    bench->folder.dir().Write("bad.mem", image);
    for (bool verify : {false, true}) {
        bench->panel->PowerCycle(10ms);
        bench->panel->ClearFrames();
        std::unique_ptr<CMemoryOperation> op;
        if (verify) {
            op = std::make_unique<CVerify>();
        } else {
            op = std::make_unique<CRestore>();
        }
        op->SetFileName(Path("bad.mem"));
        EXPECT_EQ(Run(*op), GetParam().error) << (verify ? "verify" : "restore");
        EXPECT_EQ(Count("<m"), 0);
        EXPECT_EQ(Count(">m"), 0);
    }
}

constexpr std::size_t kTable = 272 + 126;  // area count, then the records
constexpr std::size_t kRecord0 = kTable + 2;

INSTANTIATE_TEST_SUITE_P(
    Images, ImageFaultTest,
    ::testing::Values(
        ImageFaultCase{"NoAreas", [](std::string& i) { Put16(i, kTable, 0); },
                       msg::kImageAreasDiffer},
        ImageFaultCase{"NegativeCount", [](std::string& i) { Put16(i, kTable, 0xFFFF); },
                       msg::kImageAreasDiffer},
        ImageFaultCase{"OneAreaLeftOut",
                       [](std::string& i) {
                           Put16(i, kTable, 1);
                           i.resize(1024 + 0x10000);
                       },
                       msg::kImageAreasDiffer},
        ImageFaultCase{"FromTypedSram", [](std::string& i) { Put16(i, kRecord0, 1); },
                       msg::kImageAreasDiffer},
        ImageFaultCase{"StartWraps", [](std::string& i) { Put32(i, kRecord0 + 2, 0xFFFF0000); },
                       msg::kImageAreasDiffer},
        ImageFaultCase{"SizeShrunk", [](std::string& i) { Put32(i, kRecord0 + 6, 0x8000); },
                       msg::kImageAreasDiffer},
        ImageFaultCase{"DataLeftOver", [](std::string& i) { i += "x"; }, msg::kImageTooLong}),
    [](const auto& info) { return std::string(info.param.name); });

// An area whose data lies past 4 GiB in the file is compared with the bytes there, not with
// those at the offset cut to 32 bits. The image is a sparse file.
TEST_F(MemoryOpsTest, VerifyReadsAreasPastFourGiB) {
    ModelChoices choices = Choices();
    choices.checkMemory = false;
    Make(choices);
    ASSERT_EQ(Backup(Path("a.mem")), msg::kCompleted);
    const std::string image = Image("a.mem");
    // Two 2 GiB SRAM areas that verify passes over put the real SRAM area at 4 GiB + 64 KiB.
    const std::string models =
        Replaced(ModelSection(description, choices), "SRAM1=400000,4000,4000",
                 "SRAM1=0,80000000,0\r\nSRAM2=0,80000000,0\r\nSRAM3=400000,4000,4000");
    bench->WriteIni("", models);
    std::string header = image.substr(0, 1024);
    Put16(header, kTable, 4);
    Put16(header, kRecord0 + 16, 1);
    Put32(header, kRecord0 + 16 + 2, 0);
    Put32(header, kRecord0 + 16 + 6, 0x80000000);
    Put32(header, kRecord0 + 16 + 10, 0);
    std::string record2 = header.substr(kRecord0 + 16, 16);
    std::string record3 = image.substr(kRecord0 + 16, 16);  // the real SRAM area
    header.replace(kRecord0 + 32, 16, record2);
    header.replace(kRecord0 + 48, 16, record3);
    const std::string from = image.substr(1024, 0x10000);
    const std::string sram = image.substr(1024 + 0x10000);
    const std::uint64_t sramAt = 1024 + 0x10000 + 0x100000000ull;
    // sramAt holds the SRAM bytes, and its offset cut to 32 bits the bytes at.
    const auto write = [&](const std::string& name, const std::string& real,
                           const std::string& cut) {
        const std::string path = bench->folder.dir().Write(name, header + from + cut);
        platform::File file = platform::File::Open(path, platform::File::Mode::ReadWrite);
        ASSERT_TRUE(file.Valid());
        ASSERT_TRUE(file.WriteAt(sramAt, real.data(), real.size()));
    };
    const std::string zeros(sram.size(), '\0');
    write("far.mem", sram, zeros);
    write("cut.mem", zeros, sram);
    for (const auto& [name, error] :
         {std::pair{"far.mem", msg::kCompleted}, std::pair{"cut.mem", msg::kVerifyMismatch}}) {
        CVerify verify;
        verify.SetFileName(Path(name));
        EXPECT_EQ(Run(verify), error) << name;
    }
    std::filesystem::remove(Path("far.mem"));
    std::filesystem::remove(Path("cut.mem"));
}

TEST_F(MemoryOpsTest, BkFileStemMustBeAPlainFileName) {
    Make();
    bench->WriteIni("AUTOFILENAME=1\r\n",
                    ModelSection(description, Choices()) + "BK_FILE=/../../escaped\r\n");
    CBackup op;
    op.SetFileName(Path("out"));
    EXPECT_EQ(Run(op), msg::kBackupNameInvalid);
    EXPECT_EQ(Lines("    BK_FILE \"/../../escaped\" must be a plain file name."), 1);
    EXPECT_EQ(Count(">m"), 0);
    EXPECT_FALSE(std::filesystem::exists(Path("escaped.MEM")));
    EXPECT_FALSE(std::filesystem::exists(Path("escaped.MEM.partial")));
}

// Two backups of two panels into one target. While the first holds its partial file in the
// data phase, a second run for the same target is refused before it reads any memory and
// touches neither file; the first then stores panel X's image. A leftover of an earlier run
// is replaced, and a partial file swapped under a run is never given the target's name.
TEST_F(MemoryOpsTest, TwoBackupsIntoOneTargetNeverSwapTheirImages) {
    namespace fs = std::filesystem;
    Make();
    sim::PanelDescription panelY = TestPanel();
    panelY.regions[0].fill.seed = 7;
    panelY.regions[1].fill.seed = 8;
    PanelFixture other(panelY);
    const std::string target = Path("t.mem");
    const std::string partial = target + ".partial";
    bench->folder.dir().Write("t.mem.partial", "an earlier run's");
    const std::string held = "    Buckup(2/5)...";  // the first unit is stored

    bench->view.HoldAt(held);
    CBackup first;
    first.SetFileName(target);
    const int started = Start(first, bench->view);
    ASSERT_TRUE(bench->view.WaitHeld());
    const std::string firstPartial = bench->folder.dir().Read("t.mem.partial");
    EXPECT_EQ(firstPartial.size(), 1024u + 0x4000);
    // The second run reaches panel Y on its own link.
    bench->folder.dir().Write(
        "KZMNT.INI", ProgramIni(CSettings::BaudFromIndex(bench->settings.bauIndex), 1, 1, 3, "",
                                "virtual:" + other.linkName(), ModelSection(panelY, Choices())));
    {
        RecordingView view;
        CBackup second;
        second.SetFileName(target);
        EXPECT_EQ(Finish(second, view, Start(second, view)), msg::kFileWrite);
        const auto lines = view.Lines();
        EXPECT_NE(std::find(lines.begin(), lines.end(),
                            "    Another backup is writing " + target +
                                " at this moment; this backup stops and leaves it alone."),
                  lines.end());
    }
    const auto commandsY = other->Commands();
    EXPECT_FALSE(commandsY.empty());  // it did talk to panel Y
    EXPECT_EQ(std::count(commandsY.begin(), commandsY.end(), ">m"), 0);
    EXPECT_TRUE(bench->folder.dir().Read("t.mem.partial") == firstPartial);
    EXPECT_FALSE(fs::exists(target));
    bench->view.Release();
    ASSERT_EQ(Finish(first, bench->view, started), msg::kCompleted);
    EXPECT_TRUE(Image("t.mem").substr(1024) == ExpectedData());  // panel X
    EXPECT_FALSE(fs::exists(partial));

    // The partial file is replaced by a file of the full size while the run is held.
    bench->WriteIni("", ModelSection(description, Choices()));
    bench->panel->PowerCycle(10ms);
    const std::string image = Image("t.mem");
    bench->view.HoldAt(held);
    CBackup third;
    third.SetFileName(target);
    const int thirdStarted = Start(third, bench->view);
    ASSERT_TRUE(bench->view.WaitHeld());
    const std::string stranger(image.size(), 's');
    std::error_code refused;
    fs::rename(bench->folder.dir().Write("stranger", stranger), partial, refused);
    bench->view.Release();
    if (refused) {
        // Windows replaces no file that is open: the run's partial file stays its own and
        // the backup ends as usual.
        EXPECT_EQ(Finish(third, bench->view, thirdStarted), msg::kCompleted);
        EXPECT_TRUE(Image("t.mem").substr(1024) == image.substr(1024));
        return;
    }
    EXPECT_EQ(Finish(third, bench->view, thirdStarted), msg::kFileWrite);
    EXPECT_EQ(Lines("    " + partial +
                    " was replaced by another file during the backup; the image is not stored."),
              1);
    EXPECT_EQ(Lines("    The data read so far is kept in " + partial), 0);
    EXPECT_TRUE(Image("t.mem") == image);
    EXPECT_TRUE(Image("t.mem.partial") == stranger);
}

// Names the backup writes through that are not regular files are never followed or
// replaced; a regular .partial left by an earlier run is.
TEST_F(MemoryOpsTest, BackupNeverWritesThroughALinkOrIntoAFolder) {
    if (!test::SymlinksWork()) {
        GTEST_SKIP() << "symbolic links cannot be made here";
    }

    namespace fs = std::filesystem;
    Make();
    const std::string precious = bench->folder.dir().Write("outside/precious.txt", "keep me");
    fs::create_directories(Path("out"));
    struct Planted {
        const char* name;
        std::function<void()> plant;
        std::string line;
    };
    const std::string partial = Path("out/a.mem.partial");
    const std::string target = Path("out/a.mem");
    const Planted cases[] = {
        {"partial link", [&] { fs::create_symlink("../outside/precious.txt", partial); },
         "    The temporary file " + partial + " could not be created."},
        {"partial folder", [&] { fs::create_directory(partial); },
         "    The temporary file " + partial + " could not be created."},
        {"target link", [&] { fs::create_symlink("../outside/precious.txt", target); },
         "    " + target + " is not a regular file and is not replaced."},
    };
    for (const Planted& c : cases) {
        c.plant();
        bench->panel->PowerCycle(10ms);
        bench->panel->ClearFrames();
        EXPECT_EQ(Backup(target), msg::kFileWrite) << c.name;
        EXPECT_EQ(Lines(c.line), 1) << c.name;
        EXPECT_EQ(LastLine(), "File write error");
        auto lines = bench->view.Lines();
        EXPECT_TRUE(std::none_of(lines.begin(), lines.end(), [](const std::string& l) {
            return l.find("The data read so far") != std::string::npos;
        })) << c.name;
        EXPECT_EQ(Count(">m"), 0) << c.name;
        EXPECT_EQ(bench->folder.dir().Read("outside/precious.txt"), "keep me");
        EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(precious)));
        fs::remove_all(partial);
        fs::remove_all(target);
    }
    bench->folder.dir().Write("out/a.mem.partial", "left by an earlier run");
    bench->panel->PowerCycle(10ms);
    ASSERT_EQ(Backup(target), msg::kCompleted);
    EXPECT_EQ(Image("out/a.mem").substr(1024), ExpectedData());
    EXPECT_FALSE(fs::exists(fs::symlink_status(partial)));
}

}  // namespace
}  // namespace kz::test

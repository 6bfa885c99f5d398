// The operation handle both front-ends drive: the class the factory makes for each command
// and link, the abort rules, and whole runs through the handle on the virtual serial link
// with the requests answered through it (the LAN runs: OperationHandleLanTest.cpp).
#include "ops/OperationHandle.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <typeinfo>

#include "HandleRuns.h"
#include "config/MessageIds.h"
#include "config/StringTable.h"
#include "lan/ProtocolMtoM.h"
#include "ops/History.h"
#include "ops/cf/CfReceive.h"
#include "ops/cf/CfReceiveMtoM.h"
#include "ops/cf/CfSend.h"
#include "ops/cf/CfSendMtoM.h"
#include "ops/memory/Backup.h"
#include "ops/memory/BackupMtoM.h"
#include "ops/memory/ImageDiff.h"
#include "ops/memory/MemImageFile.h"
#include "ops/memory/Restore.h"
#include "ops/memory/RestoreMtoM.h"
#include "ops/memory/Verify.h"
#include "ops/memory/VerifyMtoM.h"
#include "platform/Clock.h"
#include "platform/Format.h"
#include "platform/Sha256.h"
#include "support/SimBench.h"

namespace kz::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// ---- The factory ----------------------------------------------------------------------------

struct FactoryCase {
    const char* name;
    OperationKind kind;
    Link link;
    const std::type_info& type;
};

class FactoryTest : public ::testing::TestWithParam<FactoryCase> {};

TEST_P(FactoryTest, MakesTheCommandsClassOnTheLink) {
    const FactoryCase& c = GetParam();
    TestFolder folder;
    StartPlan plan;
    plan.path = folder.Path("x.mem");
    plan.comment = "comment";
    const auto op = COperationHandle::Create(c.kind, c.link, plan);
    ASSERT_NE(op, nullptr);
    EXPECT_STREQ(op->OperationType().name(), c.type.name());
    EXPECT_EQ(op->GetLink(), c.link);
    const bool memory = IsMemoryKind(c.kind);
    EXPECT_EQ(op->ImagePath(), memory ? plan.path : "");
    // Only the serial memory operations ask for the model information; only the serial
    // link waits for a power reset.
    EXPECT_EQ(op->ModelInfoRequest().has_value(), memory && c.link == Link::Serial);
    EXPECT_EQ(op->CancelPowerReset(), c.link == Link::Serial);
}

INSTANTIATE_TEST_SUITE_P(
    Commands, FactoryTest,
    ::testing::Values(
        FactoryCase{"SerialBackup", OperationKind::Backup, Link::Serial, typeid(CBackup)},
        FactoryCase{"SerialRestore", OperationKind::Restore, Link::Serial, typeid(CRestore)},
        FactoryCase{"SerialVerify", OperationKind::Verify, Link::Serial, typeid(CVerify)},
        FactoryCase{"SerialCfReceive", OperationKind::CfReceive, Link::Serial, typeid(CCfReceive)},
        FactoryCase{"SerialCfSend", OperationKind::CfSend, Link::Serial, typeid(CCfSend)},
        FactoryCase{"LanBackup", OperationKind::Backup, Link::Lan, typeid(CBackupMtoM)},
        FactoryCase{"LanRestore", OperationKind::Restore, Link::Lan, typeid(CRestoreMtoM)},
        FactoryCase{"LanVerify", OperationKind::Verify, Link::Lan, typeid(CVerifyMtoM)},
        FactoryCase{"LanCfReceive", OperationKind::CfReceive, Link::Lan, typeid(CCfReceiveMtoM)},
        FactoryCase{"LanCfSend", OperationKind::CfSend, Link::Lan, typeid(CCfSendMtoM)}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Abort rules ------------------------------------------------------------------------------

// Does nothing but note the events it is given.
class IdleOp : public CProtocol {
  public:
    ~IdleOp() override { Shutdown(); }
    bool Diapatcher(int nEvent) override {
        events.push_back(nEvent);
        return false;
    }
    std::vector<int> events;  // event thread; read after WaitIdle
};

TEST(AbortRuleTest, SerialRunRefusesAbortInItsFirstSecondOnly) {
    platform::ManualClock clock;
    platform::ScopedClock useClock(clock);
    auto owned = std::make_unique<IdleOp>();
    IdleOp* op = owned.get();
    COperationHandle handle(std::move(owned));
    handle.Start(nullptr, nullptr);
    EXPECT_EQ(handle.MayAbort(), AbortRule::FirstSecond);
    clock.Advance(999ms);
    EXPECT_EQ(handle.MayAbort(), AbortRule::FirstSecond);
    EXPECT_EQ(handle.FirstSecondLeft(), 1ms);
    clock.Advance(1ms);
    EXPECT_EQ(handle.MayAbort(), AbortRule::Allowed);
    EXPECT_EQ(handle.FirstSecondLeft(), 0ms);
    handle.Abort();
    handle.WaitIdle();
    EXPECT_EQ(op->events, (std::vector<int>{EVENT_NONE, EVENT_ABORT}));
}

// ---- Runs on the serial link --------------------------------------------------------------

class SerialRunTest : public ::testing::Test {
  protected:
    SerialRunTest() {
        sim::PanelDescription panel = TestPanel();
        panel.password = "secret";
        ModelChoices choices;
        choices.loaderFile = "DEMO.LDR";
        choices.offset = 0x4000;
        bench = std::make_unique<SimBench>(LinkSettings{}, panel, ModelSection(panel, choices));
    }

    // Starts a backup into path; the password and the model information are answered
    // through the handle, as the front-ends do.
    void StartBackup(const std::string& path) { StartRun(OperationKind::Backup, path); }
    // A backup into path aborted as its third unit starts: two units stand in the partial file.
    void CutBackupOffAtTheThirdUnit(const std::string& path) {
        bench->view.HoldAt("    Buckup(3/5)...");
        StartBackup(path);
        ASSERT_TRUE(bench->view.WaitHeld());
        op->Abort();
        bench->view.Release();
        ASSERT_EQ(Finish(), msg::kAborted);
        op.reset();
    }

    void StartRun(OperationKind kind, const std::string& path, bool everyDifference = false,
                  bool resume = false, const std::string& comment = "handle") {
        StartPlan plan;
        plan.path = path;
        plan.comment = comment;
        op = COperationHandle::Create(kind, Link::Serial, plan);
        op->SetEveryDifference(everyDifference);
        if (resume) {
            op->SetResume();
        }
        StartOp();
    }

    // Starts op, answering its requests as the front-ends do.
    void StartOp() {
        bench->view.onMessage = [this](unsigned msg, std::uintptr_t) {
            if (msg == WM_PASSWORD_REQUEST) {
                op->AnswerPassword("secret");
            } else if (msg == WM_MODEL_INFO_REQUEST) {
                const std::optional<ModelInfoExchange> x = op->ModelInfoRequest();
                ASSERT_TRUE(x);
                op->AnswerModelInfo(true, x->modelName, x->bkFile, x->baud);
            }
        };
        op->Start(&bench->view, &bench->view);
    }

    // The end of the view's runs-th run.
    int Finish(int runs = 1) {
        EXPECT_TRUE(bench->view.WaitMessage(WM_OPERATION_COMPLETE, runs, 120s));
        op->WaitIdle();
        return op->Error();
    }

    std::unique_ptr<SimBench> bench;
    std::unique_ptr<COperationHandle> op;  // after the bench: it goes first
};

TEST_F(SerialRunTest, BackupCompletesThroughTheHandle) {
    const std::string path = bench->folder.Path("a.mem");
    StartBackup(path);
    EXPECT_EQ(Finish(), msg::kCompleted);
    // The panel took the password handed over through the handle at the first request.
    EXPECT_EQ(bench->view.Count(WM_PASSWORD_REQUEST), 1);
    EXPECT_EQ(bench->panel->Counters().passwordsRejected, 0u);
    EXPECT_EQ(bench->view.Count(WM_MODEL_INFO_REQUEST), 1);
    EXPECT_EQ(fs::file_size(path), 1024u + 0x10000 + 0x4000);
    EXPECT_EQ(op->ImagePath(), path);
    EXPECT_EQ(op->PortOpenError(), "");
}

TEST_F(SerialRunTest, AbortedBackupNamesItsPartialImage) {
    const std::string path = bench->folder.Path("a.mem");
    bench->view.HoldAt("    Buckup(2/5)...");  // the first unit is stored
    StartBackup(path);
    ASSERT_TRUE(bench->view.WaitHeld());
    op->Abort();
    bench->view.Release();
    EXPECT_EQ(Finish(), msg::kAborted);
    EXPECT_FALSE(fs::exists(path));
    EXPECT_EQ(op->PartialPath(), path + ".partial");
    EXPECT_GE(fs::file_size(op->PartialPath()), 1024u + 0x4000);
    // The file the status list names as holding the data read so far.
    EXPECT_EQ(
        bench->LineCount(Format(GetString(msg::kPartialImage).c_str(), op->PartialPath().c_str())),
        1);
}

// A backup cut off after two of its five units, with part of the third in the partial file,
// goes on from there: it keeps the two whole units, reads the rest (the part of the third
// unit again), and writes the image an uninterrupted backup writes, comment included.
TEST_F(SerialRunTest, ResumedBackupWritesTheUninterruptedImage) {
    const std::string path = bench->folder.Path("a.mem");
    ASSERT_NO_FATAL_FAILURE(CutBackupOffAtTheThirdUnit(path));
    const std::string partial = path + ".partial";
    ASSERT_EQ(fs::file_size(partial), kImageHeaderSize + 0x8000);
    {
        std::ofstream tail(partial, std::ios::binary | std::ios::app);
        tail << std::string(0x100, '\xEE');  // a third unit cut off half-way
    }
    const std::uint32_t readsBefore = bench->panel->Counters().readBlocks;
    StartRun(OperationKind::Backup, path, false, /*resume=*/true, /*comment=*/"");
    ASSERT_EQ(Finish(2), msg::kCompleted);
    const std::uint32_t resumedReads = bench->panel->Counters().readBlocks - readsBefore;
    EXPECT_EQ(bench->LineCount(Format(GetString(msg::kResumeFrom).c_str(), partial.c_str(),
                                      std::to_string(0x8000).c_str())),
              1);
    EXPECT_FALSE(fs::exists(partial));
    op.reset();

    const std::string whole = bench->folder.Path("b.mem");
    StartBackup(whole);
    ASSERT_EQ(Finish(3), msg::kCompleted);
    EXPECT_TRUE(ReadAll(path) == ReadAll(whole));
    const std::uint32_t wholeReads =
        bench->panel->Counters().readBlocks - readsBefore - resumedReads;
    // Three of five units read again.
    EXPECT_EQ(resumedReads * 5, wholeReads * 3);
}

// A partial file whose header is not the one this panel gives (another panel's core ID) is
// not taken over: the run ends, and the file keeps every byte.
TEST_F(SerialRunTest, ResumeRefusesAnotherPanelsPartialImage) {
    const std::string path = bench->folder.Path("a.mem");
    ASSERT_NO_FATAL_FAILURE(CutBackupOffAtTheThirdUnit(path));
    const std::string partial = path + ".partial";
    std::string bytes = ReadAll(partial);
    bytes[kImageDescriptorOffset + 2] ^= 0x01;  // the core ID
    {
        std::ofstream out(partial, std::ios::binary | std::ios::trunc);
        out << bytes;
    }
    StartRun(OperationKind::Backup, path, false, /*resume=*/true);
    EXPECT_EQ(Finish(2), msg::kResumeRefused);
    EXPECT_EQ(bench->LineCount(Format(GetString(msg::kResumeDiffers).c_str(), partial.c_str())), 1);
    EXPECT_TRUE(ReadAll(partial) == bytes);
    EXPECT_FALSE(fs::exists(path));
    op.reset();

    // Nothing to resume from is refused as well.
    fs::remove(partial);
    StartRun(OperationKind::Backup, path, false, /*resume=*/true);
    EXPECT_EQ(Finish(3), msg::kResumeRefused);
    EXPECT_EQ(bench->LineCount(Format(GetString(msg::kResumeNoPartial).c_str(), partial.c_str())),
              1);
    EXPECT_FALSE(fs::exists(path));
}

// The safety backup before a restore: a folder that cannot be made is named with the reason
// and nothing runs; otherwise the panel is backed up into the working file, which is named
// after the panel and the time once complete, never over an earlier one.
TEST_F(SerialRunTest, SafetyBackupIsNamedAfterThePanelOnceComplete) {
    const std::string blocked = bench->folder.Path("blocked");
    std::ofstream(blocked) << "a file where the folder should be";
    CSafetyBackup refused(blocked + "/safety", "20261208-101500");
    EXPECT_FALSE(refused.Prepare());
    EXPECT_EQ(refused.FailureLine().rfind(Format(GetString(msg::kSafetyBackupFolder).c_str(),
                                                 (blocked + "/safety").c_str(), ""),
                                          0),
              0u);

    const std::string folder = bench->folder.Path("safety/new");
    std::vector<std::string> named;
    for (int run = 1; run <= 2; ++run) {
        CSafetyBackup safety(folder, "20261208-101500");
        ASSERT_TRUE(safety.Prepare());
        EXPECT_EQ(fs::path(safety.WorkingPath()), fs::path(folder) / "safety-20261208-101500.mem");
        op = safety.CreateBackup(Link::Serial);
        StartOp();
        ASSERT_EQ(Finish(run), msg::kCompleted);
        named.push_back(safety.Finish(op->ImagePath()));
        op.reset();
        EXPECT_FALSE(fs::exists(safety.WorkingPath()));
        EXPECT_EQ(safety.DoneLine(),
                  Format(GetString(msg::kSafetyBackupDone).c_str(), named.back().c_str()));
    }
    EXPECT_EQ(fs::path(named[0]), fs::path(folder) / "KZ-TEST_8C93_20261208-101500.mem");
    EXPECT_EQ(fs::path(named[1]), fs::path(folder) / "KZ-TEST_8C93_20261208-101500-2.mem");
    EXPECT_EQ(fs::file_size(named[1]), 1024u + 0x10000 + 0x4000);
    MemImageFile image;
    ASSERT_TRUE(image.LoadHeader(named[1]));
    EXPECT_EQ(image.GetImageComment(), GetString(msg::kSafetyBackupComment));
}

// The folder: the option when given, else SAFETYBACKUP, relative to the program folder.
TEST_F(SerialRunTest, SafetyBackupFolderComesFromTheOptionOrTheSetting) {
    EXPECT_EQ(CSafetyBackup::FolderFor(std::nullopt), "");
    ModelChoices choices;
    choices.loaderFile = "DEMO.LDR";
    bench->WriteIni("SAFETYBACKUP=kept\r\n", ModelSection(TestPanel(), choices));
    EXPECT_EQ(CSafetyBackup::FolderFor(std::nullopt), bench->folder.Path("kept"));
    EXPECT_EQ(CSafetyBackup::FolderFor(std::string("/srv/other")), "/srv/other");
}

// Every run the factory made is recorded once it has ended: a completed backup with the
// digest of the image it wrote, a failed verify with its error; the serial device, the
// panel and the bytes moved in both.
TEST_F(SerialRunTest, RunsLeaveTheirServiceRecord) {
    const std::string path = bench->folder.Path("a.mem");
    StartBackup(path);
    ASSERT_EQ(Finish(), msg::kCompleted);
    op.reset();
    const std::string written = platform::FileSha256(path).value_or("none");
    Damage(path, {0x10});
    StartRun(OperationKind::Verify, path);
    ASSERT_EQ(Finish(2), msg::kVerifyMismatch);
    op->Shutdown();
    op.reset();  // recorded once, not again
    const std::vector<HistoryEntry> history = ReadHistory(bench->folder.Path(kHistoryFileName));
    ASSERT_EQ(history.size(), 2u);
    const HistoryEntry& backup = history[0];
    EXPECT_EQ(backup.operation, "backup");
    EXPECT_EQ(backup.link, "serial virtual:" + bench->folder.linkName());
    EXPECT_EQ(backup.coreId, "8C93");
    EXPECT_FALSE(backup.model.empty());
    EXPECT_EQ(backup.file, path);
    EXPECT_EQ(backup.sha256, written);
    EXPECT_EQ(backup.bytes, 0x14000u);
    EXPECT_EQ(backup.result, msg::kCompleted);
    EXPECT_EQ(backup.text, GetString(msg::kCompleted));
    EXPECT_EQ(backup.start.size(), 20u);  // 2026-12-08T10:15:00Z
    const HistoryEntry& verify = history[1];
    EXPECT_EQ(verify.operation, "verify");
    EXPECT_EQ(verify.sha256, platform::FileSha256(path).value_or("none"));  // the image used
    EXPECT_EQ(verify.result, msg::kVerifyMismatch);
    EXPECT_EQ(verify.text, GetString(msg::kVerifyMismatch));
    EXPECT_LT(verify.bytes, 0x14000u);  // ended at the first differing packet
}

// A verify that fails names where: the first differing byte, or with every difference asked
// for, each differing range (two bytes 0x3000 and 0x3001 make one range of 2).
class SerialVerifyTest : public SerialRunTest, public ::testing::WithParamInterface<bool> {};

TEST_P(SerialVerifyTest, NamesWhereThePanelDiffers) {
    const bool every = GetParam();
    const std::string path = bench->folder.Path("a.mem");
    StartBackup(path);
    ASSERT_EQ(Finish(), msg::kCompleted);
    op.reset();
    Damage(path, {0x100, 0x3000, 0x3001, 0x10020});
    const std::vector<std::string> expected = DifferenceLines(every, path, 0x10000);
    StartRun(OperationKind::Verify, path, every);
    EXPECT_EQ(Finish(2), msg::kVerifyMismatch);
    const std::vector<std::string> lines = bench->view.Lines();
    EXPECT_TRUE(HasLines(lines, expected)) << ::testing::PrintToString(lines);
}

INSTANTIATE_TEST_SUITE_P(Verify, SerialVerifyTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Every" : "First"; });

}  // namespace
}  // namespace kz::test

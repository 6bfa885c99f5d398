#include "ops/memory/StartFlow.h"

#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

#include "config/MessageIds.h"
#include "config/Settings.h"
#include "ops/memory/MemImageFile.h"
#include "platform/ProgramFolder.h"
#include "support/PlantedFiles.h"
#include "support/TempDir.h"

namespace kz {
namespace {

using test::TempDir;

// Answers the questions from a script and records everything the start asked or said.
class ScriptedPrompt final : public IStartPrompt {
  public:
    bool AskOkCancel(int textId) override {
        asked.push_back(textId);
        const bool ok = !answers.empty() && answers.front();
        if (!answers.empty()) {
            answers.pop_front();
        }
        return ok;
    }
    void ShowMessage(int textId) override { messages.push_back(textId); }
    void ShowNote(const std::string& text) override { notes.push_back(text); }

    std::deque<bool> answers;
    std::vector<int> asked;
    std::vector<int> messages;
    std::vector<std::string> notes;
};

// A program folder whose KZMNT.INI sets AUTOFILENAME, with an image "old.mem" (comment
// "kept") and a folder "images" beside it.
class StartFlow : public ::testing::Test {
  protected:
    void SetUp() override { UseAutoFileName(false); }
    void TearDown() override { platform::SetProgramFolder(""); }

    void UseAutoFileName(bool on) {
        dir_.Write("KZMNT.INI",
                   std::string("[CONFIG]\r\nAUTOFILENAME=") + (on ? "1" : "0") + "\r\n");
        platform::SetProgramFolder(dir_.str());
        std::filesystem::create_directories(dir_.path() / "images");
        MemImageFile image;
        image.SetModelName("KZ-TEST");
        image.SetDescriptorVersion();
        image.SetCoreID("8C93");
        image.SetComment("kept");
        image.SetFileName(Path("old.mem"));
        ASSERT_TRUE(image.WriteHeader());
    }

    std::string Path(const std::string& name) const { return dir_.str() + name; }

    std::string Recent() {
        std::string recent;
        CSettings().GetRecentFile(1, recent);
        return recent;
    }

    TempDir dir_;
    ScriptedPrompt prompt_;
};

// Each operation, on either link, picks its path in its own mode: restore and verify share
// a rule today, but a rule that tells them apart must not be applied to the other one.
TEST(StartFlowModes, EachOperationSelectsInItsOwnMode) {
    const std::pair<OperationKind, SelectionMode> cases[] = {
        {OperationKind::Backup, SelectionMode::Backup},
        {OperationKind::Restore, SelectionMode::Restore},
        {OperationKind::Verify, SelectionMode::Verify},
        {OperationKind::CfReceive, SelectionMode::CfReceive},
        {OperationKind::CfSend, SelectionMode::CfSend},
        {OperationKind::BackupMtoM, SelectionMode::Backup},
        {OperationKind::RestoreMtoM, SelectionMode::Restore},
        {OperationKind::VerifyMtoM, SelectionMode::Verify},
        {OperationKind::CfReceiveMtoM, SelectionMode::CfReceive},
        {OperationKind::CfSendMtoM, SelectionMode::CfSend},
    };
    for (const auto& [kind, mode] : cases) {
        EXPECT_EQ(SelectionModeFor(kind), mode) << static_cast<int>(kind);
    }
}

TEST_F(StartFlow, ATypedBackupNameOverAnImageAsksAndKeepsItsComment) {
    prompt_.answers = {false};
    StartPlan plan = PrepareStart(OperationKind::Backup, Path("old.mem"), std::nullopt, prompt_);
    EXPECT_EQ(plan.outcome, StartOutcome::Declined);
    EXPECT_EQ(prompt_.asked, std::vector<int>{msg::kAskOverwrite});
    EXPECT_EQ(Recent(), "") << "a declined start leaves the recent list alone";

    prompt_.answers = {true};
    plan = PrepareStart(OperationKind::Backup, Path("old.mem"), std::nullopt, prompt_);
    EXPECT_EQ(plan.outcome, StartOutcome::Ready);
    EXPECT_EQ(plan.path, Path("old.mem"));
    EXPECT_EQ(plan.comment, "kept");
    EXPECT_EQ(Recent(), Path("old.mem"));

    // A new name is not asked about, and a typed comment wins.
    prompt_.asked.clear();
    plan = PrepareStart(OperationKind::Backup, Path("new.MEM"), std::string("typed"), prompt_);
    EXPECT_EQ(plan.outcome, StartOutcome::Ready);
    EXPECT_EQ(plan.comment, "typed");
    EXPECT_TRUE(prompt_.asked.empty());
}

TEST_F(StartFlow, ABackupIntoAFolderAsksNothingAndCutsALongComment) {
    UseAutoFileName(true);
    // 62 ASCII bytes, then a 3-byte character that would end past the limit.
    const std::string comment = std::string(62, 'c') + "\xE3\x81\x82" + "tail";
    const StartPlan plan =
        PrepareStart(OperationKind::BackupMtoM, Path("images"), comment, prompt_);
    EXPECT_EQ(plan.outcome, StartOutcome::Ready);
    EXPECT_EQ(plan.path, Path("images")) << "the operation names the file itself";
    EXPECT_EQ(plan.comment, std::string(62, 'c'));
    EXPECT_TRUE(prompt_.asked.empty());
    ASSERT_EQ(prompt_.notes.size(), 1u);
    EXPECT_NE(prompt_.notes[0].find("64"), std::string::npos) << prompt_.notes[0];
}

TEST_F(StartFlow, RestoreAndVerifyNeedAnImageThatLoads) {
    dir_.Write("broken.mem", "not an image");
    for (OperationKind kind : {OperationKind::Restore, OperationKind::Verify}) {
        prompt_.messages.clear();
        StartPlan plan = PrepareStart(kind, Path("broken.mem"), std::nullopt, prompt_);
        EXPECT_EQ(plan.outcome, StartOutcome::Unreadable);
        EXPECT_EQ(prompt_.messages, std::vector<int>{msg::kFileUnreadable});
        EXPECT_NE(Recent(), Path("broken.mem"));

        plan = PrepareStart(kind, Path("old.mem"), std::string("ignored"), prompt_);
        EXPECT_EQ(plan.outcome, StartOutcome::Ready);
        EXPECT_EQ(plan.comment, "kept") << "the image's comment is the form's";
        EXPECT_EQ(Recent(), Path("old.mem"));
    }
    EXPECT_TRUE(prompt_.asked.empty());
}

TEST_F(StartFlow, ACfTransferOnlyGoesOnTheRecentList) {
    const StartPlan plan =
        PrepareStart(OperationKind::CfSend, Path("images"), std::nullopt, prompt_);
    EXPECT_EQ(plan.outcome, StartOutcome::Ready);
    EXPECT_EQ(plan.path, Path("images"));
    EXPECT_EQ(plan.comment, "");
    EXPECT_EQ(Recent(), Path("images"));
}

TEST_F(StartFlow, CheckSelectedPathRefusesWhatTheOperationCannotUse) {
    if (!test::MakeFifo(Path("fifo.mem"))) {
        GTEST_SKIP() << "no FIFOs in this file system";
    }
    EXPECT_EQ(CheckSelectedPath(SelectionMode::Verify, Path("old.mem")), "");
    EXPECT_EQ(CheckSelectedPath(SelectionMode::Backup, Path("new.mem")), "");
    EXPECT_EQ(CheckSelectedPath(SelectionMode::CfSend, Path("images")), "");
    const std::pair<SelectionMode, std::string> refused[] = {
        {SelectionMode::Restore, "fifo.mem"},  // would block the operation
        {SelectionMode::Backup, "fifo.mem"},   // a backup replaces only a regular file
        {SelectionMode::Restore, "missing.mem"}, {SelectionMode::Backup, "images"},
        {SelectionMode::CfSend, "old.mem"},
    };
    for (const auto& [mode, name] : refused) {
        EXPECT_NE(CheckSelectedPath(mode, Path(name)).find(Path(name)), std::string::npos)
            << static_cast<int>(mode) << " " << name;
    }
    EXPECT_NE(CheckSelectedPath(SelectionMode::Verify, ""), "");
}

// A backup is offered to resume only from a regular partial file beside its exact target:
// not for another kind, not through a link, not with AUTOFILENAME (the run names its file).
TEST_F(StartFlow, OnlyARegularPartialImageOfABackupTargetIsResumable) {
    StartPlan plan;
    plan.path = Path("cut.mem");
    EXPECT_EQ(ResumablePartial(OperationKind::Backup, plan), "");
    dir_.Write("cut.mem.partial", "data read so far");
    EXPECT_EQ(ResumablePartial(OperationKind::Backup, plan), Path("cut.mem.partial"));
    EXPECT_EQ(ResumablePartial(OperationKind::BackupMtoM, plan), Path("cut.mem.partial"));
    EXPECT_EQ(ResumablePartial(OperationKind::Restore, plan), "");
    plan.outcome = StartOutcome::Declined;
    EXPECT_EQ(ResumablePartial(OperationKind::Backup, plan), "");

    if (test::SymlinksWork()) {
        StartPlan linked;
        linked.path = Path("linked.mem");
        std::filesystem::create_symlink(Path("cut.mem.partial"), Path("linked.mem.partial"));
        EXPECT_EQ(ResumablePartial(OperationKind::Backup, linked), "");
    }

    UseAutoFileName(true);
    plan.outcome = StartOutcome::Ready;
    EXPECT_EQ(ResumablePartial(OperationKind::Backup, plan), "");
}

}  // namespace
}  // namespace kz

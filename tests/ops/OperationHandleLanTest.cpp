// Whole runs through the operation handle on the LAN simulator, with the requests answered
// through it.
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
#include "ops/memory/Restore.h"
#include "ops/memory/RestoreMtoM.h"
#include "ops/memory/Verify.h"
#include "ops/memory/VerifyMtoM.h"
#include "platform/Clock.h"
#include "platform/Format.h"
#include "platform/Sha256.h"
#include "support/SimBench.h"
#include "tests/lan/LanFixture.h"

namespace kz::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// ---- Runs on the LAN ------------------------------------------------------------------------

// Picks the first panel the search found and notes that it was asked.
class FirstNode final : public INodeChooser {
  public:
    bool ChooseNode(const std::vector<std::string>& nodes, std::string* address) override {
        asked = nodes;
        if (nodes.empty()) {
            return false;
        }
        *address = nodes.front();
        return true;
    }
    std::vector<std::string> asked;
};

class LanRunTest : public LanTest, public ::testing::WithParamInterface<bool> {};

// A backup through the handle: through the network search and the chooser, or on the named
// node without a search. An abort is refused only while the network is searched.
TEST_P(LanRunTest, BackupCompletesThroughTheHandle) {
    const bool named = GetParam();
    sim::PanelDescription panel = sim::DemoPanel();  // 1 MiB FROM, 128 KiB SRAM
    panel.password = "secret";
    Start(panel);
    program.Write("SLOADER.BIN", std::string("\x00\x10\x00\x00SLDR", 8));
    IniText ini;
    ini.Section("CONFIG").Key("COMMTYPE", 1);
    ini.Section("DEMO").Key("ID", "8C93").Key("SLOADER", "SLOADER.BIN");
    ini.Key("FROM1", "00000000,00100000").Key("SRAM1", "00400000,00020000,20000");
    program.Write("KZMNT.INI", ini.str());
    ASSERT_EQ(SelectedLink(), Link::Lan);

    StartPlan plan;
    plan.path = program.str() + "lan.MEM";
    RecordingView view;
    const auto op = COperationHandle::Create(OperationKind::Backup, SelectedLink(), plan);
    view.onMessage = [&op](unsigned msg, std::uintptr_t) {
        if (msg == WM_PASSWORD_REQUEST) {
            op->AnswerPassword("secret");
        }
    };
    FirstNode chooser;
    if (!named) {
        view.HoldAt(GetString(msg::kSearching));
    }
    op->Start(&view, &view, &chooser, named ? server->Endpoint() : std::string());
    if (named) {
        EXPECT_EQ(op->MayAbort(), AbortRule::Allowed);  // no first second on the LAN
    } else {
        ASSERT_TRUE(view.WaitHeld());
        EXPECT_TRUE(op->Searching());
        EXPECT_EQ(op->MayAbort(), AbortRule::Searching);
        view.Release();
    }
    ASSERT_TRUE(view.WaitComplete());
    op->WaitIdle();
    EXPECT_EQ(op->Error(), msg::kCompleted);
    EXPECT_EQ(op->MayAbort(), AbortRule::Allowed);
    EXPECT_EQ(view.Count(WM_PASSWORD_REQUEST), 1);
    EXPECT_EQ(chooser.asked.size(), named ? 0u : 1u);
    EXPECT_EQ(fs::file_size(plan.path), kImageHeaderSize + 0x100000 + 0x20000);
    EXPECT_EQ(op->ImagePath(), plan.path);
}

INSTANTIATE_TEST_SUITE_P(Nodes, LanRunTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "NamedNode" : "Search"; });

class LanVerifyTest : public LanTest, public ::testing::WithParamInterface<bool> {};

TEST_P(LanVerifyTest, NamesWhereThePanelDiffers) {
    const bool every = GetParam();
    Start(sim::DemoPanel());  // 1 MiB FROM, 128 KiB SRAM
    program.Write("SLOADER.BIN", std::string("\x00\x10\x00\x00SLDR", 8));
    IniText ini;
    ini.Section("CONFIG").Key("COMMTYPE", 1);
    ini.Section("DEMO").Key("ID", "8C93").Key("SLOADER", "SLOADER.BIN");
    ini.Key("FROM1", "00000000,00100000").Key("SRAM1", "00400000,00020000,20000");
    program.Write("KZMNT.INI", ini.str());
    StartPlan plan;
    plan.path = program.str() + "lan.MEM";
    auto run = [&](OperationKind kind, RecordingView& view) {
        const auto op = COperationHandle::Create(kind, Link::Lan, plan);
        op->SetEveryDifference(every);
        op->Start(&view, &view, nullptr, server->Endpoint());
        EXPECT_TRUE(view.WaitComplete());
        op->WaitIdle();
        return op->Error();
    };
    RecordingView backup;
    ASSERT_EQ(run(OperationKind::Backup, backup), msg::kCompleted);
    Damage(plan.path, {0x100, 0x3000, 0x3001, 0x100020});
    const std::vector<std::string> expected = DifferenceLines(every, plan.path, 0x100000);
    RecordingView verify;
    EXPECT_EQ(run(OperationKind::Verify, verify), msg::kVerifyMismatch);
    const std::vector<std::string> lines = verify.Lines();
    EXPECT_TRUE(HasLines(lines, expected)) << ::testing::PrintToString(lines);
}

// On the LAN too, a backup cut off goes on where it ended and writes the image an
// uninterrupted backup writes.
TEST_F(LanTest, ResumedBackupWritesTheUninterruptedImage) {
    Start(sim::DemoPanel());  // 1 MiB FROM, 128 KiB SRAM: 18 units of 64 KiB
    program.Write("SLOADER.BIN", std::string("\x00\x10\x00\x00SLDR", 8));
    IniText ini;
    ini.Section("CONFIG").Key("COMMTYPE", 1);
    ini.Section("DEMO").Key("ID", "8C93").Key("SLOADER", "SLOADER.BIN");
    ini.Key("FROM1", "00000000,00100000").Key("SRAM1", "00400000,00020000,20000");
    program.Write("KZMNT.INI", ini.str());
    auto run = [&](const std::string& path, bool resume, RecordingView& view, bool cut) {
        StartPlan plan;
        plan.path = path;
        const auto op = COperationHandle::Create(OperationKind::Backup, Link::Lan, plan);
        if (resume) {
            op->SetResume();
        }
        if (cut) {
            view.HoldAt("    Buckup(11/18)...");
        }
        op->Start(&view, &view, nullptr, server->Endpoint());
        if (cut) {
            EXPECT_TRUE(view.WaitHeld());
            op->Abort();
            view.Release();
        }
        EXPECT_TRUE(view.WaitComplete());
        op->WaitIdle();
        return op->Error();
    };
    const std::string path = program.str() + "a.MEM";
    RecordingView first;
    ASSERT_EQ(run(path, false, first, true), msg::kAborted);
    ASSERT_EQ(fs::file_size(path + ".partial"), kImageHeaderSize + 10 * 0x10000);
    RecordingView resumed;
    ASSERT_EQ(run(path, true, resumed, false), msg::kCompleted);
    RecordingView whole;
    ASSERT_EQ(run(program.str() + "b.MEM", false, whole, false), msg::kCompleted);
    EXPECT_TRUE(ReadAll(path) == ReadAll(program.str() + "b.MEM"));
}

INSTANTIATE_TEST_SUITE_P(Verify, LanVerifyTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Every" : "First"; });

}  // namespace
}  // namespace kz::test

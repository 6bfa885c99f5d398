// The LAN backup, verify and restore end to end: the operations drive the real library file,
// which talks to the LAN panel simulator over loopback.
#include "ops/memory/BackupMtoM.h"

#include <sys/resource.h>

#include <csignal>
#include <filesystem>
#include <random>
#include <thread>

#include "config/MessageIds.h"
#include "config/StringTable.h"
#include "ops/memory/RestoreMtoM.h"
#include "ops/memory/VerifyMtoM.h"
#include "platform/Clock.h"
#include "platform/Format.h"
#include "support/RecordingView.h"
#include "support/TestFolder.h"
#include "tests/lan/LanFixture.h"

namespace kz::test {
namespace {

namespace fs = std::filesystem;
using sim::LanFault;
using Op = kevrosa::Op;

constexpr std::uint32_t kFrom = 0x20000;
constexpr std::uint32_t kSram = 0x10000;
constexpr std::uint32_t kSramStart = 0x00400000;

// The demo panel with a small memory, filled with the given pattern seeds.
sim::PanelDescription SmallPanel(std::uint32_t seed = 1) {
    sim::PanelDescription d = sim::DemoPanel();
    d.fromSize = kFrom;
    d.sramSize = kSram;
    d.regions[0].size = kFrom;
    d.regions[0].fill.seed = seed;
    d.regions[1].size = kSram;
    d.regions[1].fill.seed = seed + 1;
    return d;
}

class MemoryMtoMTest : public LanTest {
  protected:
    MemoryMtoMTest() {
        program.Write("SLOADER.BIN", std::string("\x00\x10\x00\x00SLDR", 8));
        WriteModels("8C93", false, "8000");
    }

    // timeouts > 0: ReadTimeout and WriteTimeout in seconds; otherwise the defaults.
    void WriteModels(const std::string& id, bool autoName, const std::string& sramVerify,
                     int timeouts = 0) {
        IniText ini;
        ini.Section("CONFIG").Key("AUTOFILENAME", autoName ? 1 : 0);
        if (timeouts > 0) {
            ini.Key("ReadTimeout", timeouts).Key("WriteTimeout", timeouts);
        }
        ini.Section("DEMO")
            .Key("ID", id)
            .Key("SLOADER", "SLOADER.BIN")
            .Key("CHKMEM", "20000,10000")
            .Key("FROM1", "00000000,00020000")
            .Key("SRAM1", "00400000,00010000," + sramVerify);
        program.Write("KZMNT.INI", ini.str());
    }

    // Starts op on file against the panel at node, shown in v.
    template <class Operation>
    static void Begin(Operation& op, RecordingView& v, const std::string& file,
                      const std::string& node) {
        op.SetView(&v);
        op.SetPrompt(&v);
        op.SetNodeAddress(node);
        op.SetFileName(file);
        op.PostEvent(EVENT_NONE);
    }

    // Waits until op has posted WM_OPERATION_COMPLETE to v; its final error.
    template <class Operation>
    static int End(Operation& op, RecordingView& v) {
        EXPECT_TRUE(v.WaitComplete());
        op.WaitIdle();
        return op.m_nError;
    }

    // Runs op against the panel until it has posted WM_OPERATION_COMPLETE; its final error.
    template <class Operation>
    int Run(Operation& op, const std::string& file, std::function<void()> whileRunning = {}) {
        // A fresh view per run: each waits for its own completion.
        view = std::make_unique<RecordingView>();
        op.SetView(view.get());
        op.SetPrompt(view.get());
        if (!throughSearch) {
            op.SetNodeAddress(server->Endpoint());
        }
        op.SetFileName(file);
        op.PostEvent(EVENT_NONE);
        if (whileRunning) {
            whileRunning();
        }
        EXPECT_TRUE(view->WaitComplete());
        op.WaitIdle();
        return op.m_nError;
    }

    // A new panel in place of the running one (the program folder stays).
    void Restart(sim::PanelDescription panel) {
        server->Stop();
        server = std::make_unique<sim::LanServer>(std::move(panel));
        ASSERT_TRUE(server->Start(0));
        program.Write("Kevrosa.conf", server->Endpoint() + "\n");
    }

    std::string PanelBytes() const {
        auto from = server->ReadMemory(0, kFrom);
        auto sram = server->ReadMemory(kSramStart, kSram);
        std::string all(from.begin(), from.end());
        all.append(sram.begin(), sram.end());
        return all;
    }

    platform::ScaledClock clock{20};
    platform::ScopedClock clockGuard{clock};
    std::unique_ptr<RecordingView> view;
    bool throughSearch = false;  // Run() lets the node search pick the panel
};

TEST_F(MemoryMtoMTest, BackupVerifyRestoreRoundTripIsByteExact) {
    Start(SmallPanel(1));
    const std::string image = program.str() + "panel.MEM";
    {
        CBackupMtoM backup;
        ASSERT_EQ(Run(backup, image), msg::kCompleted);
    }
    const std::string stored = program.Read("panel.MEM");
    ASSERT_EQ(stored.size(), kImageHeaderSize + kFrom + kSram);
    EXPECT_TRUE(stored.substr(kImageHeaderSize) == PanelBytes());
    EXPECT_FALSE(fs::exists(image + ".partial"));
    {
        CVerifyMtoM verify;
        EXPECT_EQ(Run(verify, image), msg::kCompleted);
    }

    // Another panel of the same model with other contents: verify finds the difference,
    // restore makes it the image again.
    Restart(SmallPanel(7));
    {
        CVerifyMtoM verify;
        EXPECT_EQ(Run(verify, image), msg::kVerifyMismatch);
    }
    {
        CRestoreMtoM restore;
        EXPECT_EQ(Run(restore, image), msg::kCompleted);
    }
    EXPECT_TRUE(PanelBytes() == stored.substr(kImageHeaderSize));
    EXPECT_EQ(server->Counters().writes, (kFrom + kSram) / 0x8000);
}

TEST_F(MemoryMtoMTest, RunThroughTheSearchReachesThePanelTheSearchFound) {
    // The listed panel serves on a port of its own; another panel listens on the default
    // port of the same address. Everything the run does must reach the listed one.
    std::unique_ptr<sim::LanServer> other;
    std::random_device random;
    for (int attempt = 0; attempt < 20 && !other; ++attempt) {
        const std::uint32_t host = 0x7F000000 | (random() % 254 + 1) << 16 | (random() % 254 + 1);
        auto candidate = std::make_unique<sim::LanServer>(SmallPanel(7));
        std::string error;
        if (candidate->Start(static_cast<std::uint16_t>(lan::kDefaultPort), host, &error)) {
            server = std::make_unique<sim::LanServer>(SmallPanel(1));
            ASSERT_TRUE(server->Start(0, host, &error)) << error;
            other = std::move(candidate);
        }
    }
    ASSERT_TRUE(other) << "no loopback address with a free port " << lan::kDefaultPort;
    Install(KZ_KEVROSA_FILE, server->Endpoint() + "\n");
    const std::string image = program.str() + "panel.MEM";
    {
        CBackupMtoM backup;
        ASSERT_EQ(Run(backup, image), msg::kCompleted);
    }
    throughSearch = true;
    {
        CRestoreMtoM restore;
        EXPECT_EQ(Run(restore, image), msg::kCompleted);
    }
    EXPECT_EQ(server->Counters().writes, (kFrom + kSram) / 0x8000);
    EXPECT_EQ(other->Counters().writes, 0u);
    EXPECT_EQ(other->Counters().connections, 0u);
    other->Stop();
}

TEST_F(MemoryMtoMTest, AutomaticNamePadsTheCoreIdWithBlanks) {
    sim::PanelDescription panel = SmallPanel();
    panel.coreId = "0123";
    WriteModels("*123", true, "8000");
    Start(panel);
    CBackupMtoM backup;
    EXPECT_EQ(Run(backup, program.str() + "images"), msg::kCompleted);
    EXPECT_TRUE(fs::is_regular_file(program.path() / "images" / "bk 123.MEM"));
}

// A run that ends during the transfer keeps the image that was there and leaves its data in
// the partial file.
struct FailedBackupCase {
    const char* name;
    bool abort;  // the user aborts the read; otherwise the panel fails it
    int error;
    // How the panel fails the second read when the user does not abort it.
    LanFault::Kind failure = LanFault::Kind::Fail;
};

class FailedBackupTest : public MemoryMtoMTest,
                         public ::testing::WithParamInterface<FailedBackupCase> {};

TEST_P(FailedBackupTest, KeepsTheOldImage) {
    const FailedBackupCase& c = GetParam();
    Start(SmallPanel());
    LanFault fault;
    fault.op = Op::Read;
    fault.kind = c.abort ? LanFault::Kind::Never : c.failure;
    fault.skip = 1;
    server->AddFault(fault);
    const std::string image = program.Write("old.MEM", "the old image");
    CBackupMtoM backup;
    auto abortDuringRead = [&] {
        if (!c.abort) {
            return;
        }
        // The second read never completes: abort once the first packet is stored (the
        // same dispatcher pass then issues the second read).
        std::error_code ec;
        while (fs::file_size(image + ".partial", ec) != kImageHeaderSize + 0x8000) {
            std::this_thread::yield();
        }
        backup.PostEvent(EVENT_ABORT);
    };
    EXPECT_EQ(Run(backup, image, abortDuringRead), c.error);
    EXPECT_EQ(program.Read("old.MEM"), "the old image");
    EXPECT_EQ(fs::file_size(image + ".partial"), kImageHeaderSize + 0x8000);
    // The status list names the partial file, then ends with the run's error.
    const auto lines = view->Lines();
    const auto named =
        std::find(lines.begin(), lines.end(),
                  Format(GetString(msg::kPartialImage).c_str(), (image + ".partial").c_str()));
    ASSERT_NE(named, lines.end());
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), GetString(c.abort ? msg::kAborted : msg::kCheckPower));
    EXPECT_LT(named - lines.begin(), static_cast<std::ptrdiff_t>(lines.size()) - 1);
}

INSTANTIATE_TEST_SUITE_P(Endings, FailedBackupTest,
                         ::testing::Values(FailedBackupCase{"Abort", true, msg::kAborted},
                                           FailedBackupCase{"PanelFails", false, msg::kCheckPower},
                                           // The packet before a refused read stays stored.
                                           FailedBackupCase{"PanelRefuses", false, msg::kCheckPower,
                                                            LanFault::Kind::Refuse}),
                         [](const auto& info) { return std::string(info.param.name); });

// A panel that stops answering in the middle of the work: the run ends with "Time Out..." after
// its closing restart; a backup keeps the old image and the data read so far.
enum class MemoryOp { Backup, Verify, Restore };

struct SilentCase {
    const char* name;
    MemoryOp op;
    Op request;
    unsigned skip;  // requests of that kind answered first
};

class SilentPanelTest : public MemoryMtoMTest, public ::testing::WithParamInterface<SilentCase> {};

TEST_P(SilentPanelTest, EndsWithTimeOutAfterTheClosingRestart) {
    const SilentCase& c = GetParam();
    Start(SmallPanel());
    const std::string image = program.Write("old.MEM", "the old image");
    if (c.op != MemoryOp::Backup) {
        CBackupMtoM backup;
        ASSERT_EQ(Run(backup, image), msg::kCompleted);
    }
    const std::string before = program.Read("old.MEM");
    WriteModels("8C93", false, "8000", 1);
    LanFault fault;
    fault.op = c.request;
    fault.kind = LanFault::Kind::Never;
    fault.skip = c.skip;
    server->AddFault(fault);
    const unsigned restarts = server->Counters().coldRestarts;
    int error = 0;
    if (c.op == MemoryOp::Backup) {
        CBackupMtoM backup;
        error = Run(backup, image);
    } else if (c.op == MemoryOp::Verify) {
        CVerifyMtoM verify;
        error = Run(verify, image);
    } else {
        CRestoreMtoM restore;
        error = Run(restore, image);
    }
    EXPECT_EQ(error, msg::kTimeOut);
    ASSERT_FALSE(view->Lines().empty());
    EXPECT_EQ(view->Lines().back(), GetString(msg::kTimeOut));
    EXPECT_EQ(server->Counters().coldRestarts, restarts + 1);
    EXPECT_EQ(program.Read("old.MEM"), before);
    if (c.op == MemoryOp::Backup && c.request == Op::Read) {
        EXPECT_EQ(fs::file_size(image + ".partial"), kImageHeaderSize + c.skip * 0x8000);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Requests, SilentPanelTest,
    ::testing::Values(SilentCase{"BackupHardware", MemoryOp::Backup, Op::HardData, 0},
                      SilentCase{"BackupRead", MemoryOp::Backup, Op::Read, 1},
                      SilentCase{"VerifyRead", MemoryOp::Verify, Op::Read, 2},
                      SilentCase{"RestoreWrite", MemoryOp::Restore, Op::Write, 1}),
    [](const auto& info) { return std::string(info.param.name); });

// The abort cuts short the open that waits for the panel: the run ends as aborted, promptly
// and not as a failed connection.
TEST_F(MemoryMtoMTest, AbortWhileTheSessionOpensEndsAsAborted) {
    Start(SmallPanel());
    LanFault fault;
    fault.op = Op::Open;
    fault.kind = LanFault::Kind::Never;
    server->AddFault(fault);
    CBackupMtoM backup;
    const int error = Run(backup, program.str() + "x.MEM", [&] {
        while (server->Counters().requests < 1) {
            std::this_thread::yield();
        }
        backup.PostEvent(EVENT_ABORT);
    });
    EXPECT_EQ(error, msg::kAborted);
    ASSERT_FALSE(view->Lines().empty());
    EXPECT_EQ(view->Lines().back(), GetString(msg::kAborted));
}

// The progress counts every unit once, in order, and reaches 100 only with the last packet
// stored.
TEST_F(MemoryMtoMTest, BackupReportsEachUnitOnceInOrder) {
    Start(SmallPanel());
    CBackupMtoM backup;
    ASSERT_EQ(Run(backup, program.str() + "p.MEM"), msg::kCompleted);
    const std::string progress = GetString(msg::kBackupProgress);
    std::vector<std::string> units;
    for (const std::string& line : view->Lines()) {
        if (line.rfind(progress.substr(0, progress.find('%')), 0) == 0) {
            units.push_back(line);
        }
    }
    // FROM 0x20000 and SRAM 0x10000 in units of 0x10000.
    ASSERT_EQ(units.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(units[static_cast<std::size_t>(i)], Format(progress.c_str(), i + 1, 3));
    }
    const std::vector<int> history = view->ProgressHistory();
    ASSERT_FALSE(history.empty());
    EXPECT_EQ(history.back(), 100);
    EXPECT_EQ(std::count(history.begin(), history.end(), 100), 1);
    EXPECT_TRUE(std::is_sorted(history.begin(), history.end()));
}

// The file refuses a packet in the middle of an area (a full disk): the run closes with 4002
// without reading further, keeps only whole packets in the partial file and reports no unit
// after the refused packet.
TEST_F(MemoryMtoMTest, BackupStopsAtAPacketTheFileRefuses) {
    Start(SmallPanel());
    const std::string image = program.str() + "full.MEM";
    CBackupMtoM backup;
    // The file may not grow past the third packet's first bytes (a full disk in effect).
    const auto limit = static_cast<rlim_t>(kImageHeaderSize + 2 * 0x8000 + 100);
    rlimit old{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    const auto oldSignal = std::signal(SIGXFSZ, SIG_IGN);
    rlimit lowered = old;
    lowered.rlim_cur = limit;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &lowered), 0);
    const int error = Run(backup, image);
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldSignal);

    EXPECT_EQ(error, msg::kFileWrite);
    EXPECT_EQ(fs::file_size(image + ".partial"), kImageHeaderSize + 2 * 0x8000);
    EXPECT_FALSE(fs::exists(image));
    // Packets 1 to 3; the one the file refused is the last read.
    EXPECT_EQ(server->Counters().reads, 3u);
    EXPECT_EQ(server->Counters().coldRestarts, 1u);
    const auto lines = view->Lines();
    const std::string progress = GetString(msg::kBackupProgress);
    EXPECT_NE(std::find(lines.begin(), lines.end(), Format(progress.c_str(), 2, 3)), lines.end());
    EXPECT_EQ(std::find(lines.begin(), lines.end(), Format(progress.c_str(), 3, 3)), lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), GetString(msg::kFileWrite)), lines.end());
}

// Two backups of two panels into one target. While the first holds its partial file in the
// data phase, a second run for the same target is refused before it reads and touches
// neither file; the first then stores panel X's image. A leftover of an earlier run is
// replaced, and a partial file swapped under a run is never given the target's name.
TEST_F(MemoryMtoMTest, TwoBackupsIntoOneTargetNeverSwapTheirImages) {
    Start(SmallPanel(1));
    sim::LanServer panelY(SmallPanel(7));
    ASSERT_TRUE(panelY.Start(0));
    const std::string target = program.str() + "t.MEM";
    const std::string partial = target + ".partial";
    program.Write("t.MEM.partial", "an earlier run's");
    const std::string held = Format(GetString(msg::kBackupProgress).c_str(), 2, 3);
    const auto has = [](RecordingView& v, const std::string& line) {
        const auto lines = v.Lines();
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    };

    RecordingView firstView;
    firstView.HoldAt(held);
    CBackupMtoM first;
    Begin(first, firstView, target, server->Endpoint());
    ASSERT_TRUE(firstView.WaitHeld());
    const std::string firstPartial = program.Read("t.MEM.partial");
    EXPECT_EQ(firstPartial.size(), kImageHeaderSize + 0x10000);
    {
        RecordingView secondView;
        CBackupMtoM second;
        Begin(second, secondView, target, panelY.Endpoint());
        EXPECT_EQ(End(second, secondView), msg::kFileWrite);
        EXPECT_TRUE(has(secondView, Format(GetString(msg::kBackupBusy).c_str(), target.c_str())));
    }
    EXPECT_EQ(panelY.Counters().reads, 0u);
    EXPECT_TRUE(program.Read("t.MEM.partial") == firstPartial);
    EXPECT_FALSE(fs::exists(target));
    firstView.Release();
    ASSERT_EQ(End(first, firstView), msg::kCompleted);
    EXPECT_TRUE(program.Read("t.MEM").substr(kImageHeaderSize) == PanelBytes());  // panel X
    EXPECT_FALSE(fs::exists(partial));

    // The partial file is replaced by a file of the full size while the run is held.
    const std::string image = program.Read("t.MEM");
    RecordingView thirdView;
    thirdView.HoldAt(held);
    CBackupMtoM third;
    Begin(third, thirdView, target, server->Endpoint());
    ASSERT_TRUE(thirdView.WaitHeld());
    const std::string stranger(image.size(), 's');
    fs::rename(program.Write("stranger", stranger), partial);
    thirdView.Release();
    EXPECT_EQ(End(third, thirdView), msg::kFileWrite);
    EXPECT_TRUE(has(thirdView, Format(GetString(msg::kPartialReplaced).c_str(), partial.c_str())));
    EXPECT_TRUE(program.Read("t.MEM") == image);
    EXPECT_TRUE(program.Read("t.MEM.partial") == stranger);
    panelY.Stop();
}

// The SRAM verify size of the model is hex: "8000" compares the first 0x8000 bytes.
struct VerifySizeCase {
    const char* name;
    std::uint32_t changedAt;  // SRAM offset of a byte the second panel has changed
    int error;
};

class VerifySizeTest : public MemoryMtoMTest,
                       public ::testing::WithParamInterface<VerifySizeCase> {};

TEST_P(VerifySizeTest, ComparesSramOverTheHexVerifySize) {
    const VerifySizeCase& c = GetParam();
    Start(SmallPanel());
    const std::string image = program.str() + "v.MEM";
    CBackupMtoM backup;
    ASSERT_EQ(Run(backup, image), msg::kCompleted);
    const std::uint8_t old = server->ReadMemory(kSramStart + c.changedAt, 1)[0];
    sim::PanelDescription changed = SmallPanel();
    changed.patches.push_back({kSramStart + c.changedAt, {static_cast<std::uint8_t>(old ^ 0xFF)}});
    Restart(changed);
    CVerifyMtoM verify;
    EXPECT_EQ(Run(verify, image), c.error);
}

INSTANTIATE_TEST_SUITE_P(Offsets, VerifySizeTest,
                         ::testing::Values(VerifySizeCase{"InsideHexSize", 0x3000,
                                                          msg::kVerifyMismatch},
                                           VerifySizeCase{"PastHexSize", 0x9000, msg::kCompleted}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(MemoryMtoMTest, RestoreRefusesAnImageWhoseAreasAreNotTheModels) {
    Start(SmallPanel());
    const std::string image = program.str() + "r.MEM";
    CBackupMtoM backup;
    ASSERT_EQ(Run(backup, image), msg::kCompleted);
    // The model now places SRAM elsewhere: the image's table no longer fits it.
    IniText ini;
    ini.Section("DEMO")
        .Key("ID", "8C93")
        .Key("SLOADER", "SLOADER.BIN")
        .Key("FROM1", "00000000,00020000")
        .Key("SRAM1", "00500000,00010000,8000");
    program.Write("KZMNT.INI", ini.str());
    CRestoreMtoM restore;
    EXPECT_EQ(Run(restore, image), msg::kImageAreasDiffer);
    EXPECT_EQ(server->Counters().writes, 0u);
}

// An abort that reaches the store step: the step runs again on the next event, and the packet
// it holds must not be appended a second time.
class StoreStepProbe : public CBackupMtoM {
  public:
    using CBackupMtoM::m_dwRecvLength;
    using CBackupMtoM::m_image;
};

TEST(BackupMtoMStoreStep, AbortNeverAppendsThePacketAgain) {
    TempDir dir;
    const std::string partial = dir.Write("x.MEM.partial", "");
    StoreStepProbe op;
    op.m_image.SetFileName(partial);
    op.m_dwRecvLength = 0x100;
    op.m_nPhase = 13;
    op.Diapatcher(EVENT_ABORT);
    op.Diapatcher(EVENT_TIMEOUT);
    EXPECT_EQ(op.m_nError, msg::kAborted);
    EXPECT_EQ(fs::file_size(partial), 0u);
}

}  // namespace
}  // namespace kz::test

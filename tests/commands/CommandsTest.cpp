// The serial commands against the simulated panel on the virtual link: the connection and
// identification commands, memory and I/O transfers, and their failure paths.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "config/StringTable.h"
#include "support/CommandRunner.h"
#include "support/SimBench.h"

namespace kz::test {
namespace {

using namespace std::chrono_literals;
using Cmd = std::function<bool(CommandRunner&, int)>;

#define CMD(name) Cmd([](CommandRunner& r, int ev) { return r.name(ev); })

// Runs commands one after the other; stops at the first error. *stoppedAt tells which.
CommandRunner::Step Sequence(std::vector<Cmd> cmds, std::shared_ptr<std::size_t> at) {
    return [cmds = std::move(cmds), at](CommandRunner& r, int ev) {
        while (*at < cmds.size()) {
            if (!cmds[*at](r, ev)) {
                return false;
            }
            if (r.m_nError != 0) {
                return true;
            }
            ++*at;
            ev = EVENT_NONE;
        }
        return true;
    };
}

Cmd Do(std::function<void(CommandRunner&)> f) {
    return [f](CommandRunner& r, int) {
        f(r);
        return true;
    };
}

Cmd SetLoader(const std::string& name) {
    return Do([name](CommandRunner& r) { r.m_csLoaderName = name; });
}

std::vector<Cmd> Connection() {
    return {CMD(ReadCoreID), SetLoader("DEMO.LDR"), CMD(DownloadILOADER), CMD(ConnectILOADER)};
}

std::vector<Cmd> Join(std::vector<Cmd> a, const std::vector<Cmd>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class CommandsTest : public ::testing::Test {
  protected:
    // Runs the commands to the end; returns m_nError.
    int Run(std::vector<Cmd> cmds, CommandRunner& runner) {
        stoppedAt = std::make_shared<std::size_t>(0);
        runner.SetView(&bench->view);
        runner.Start(Sequence(std::move(cmds), stoppedAt));
        EXPECT_TRUE(runner.WaitDone(60s));
        return runner.m_nError;
    }
    int Count(const std::string& command) { return bench->CommandCount(command); }
    int CountEventually(const std::string& command, int expected) {
        return bench->CommandCountEventually(command, expected);
    }
    int Lines(const std::string& line) { return bench->LineCount(line); }
    std::unique_ptr<SimBench> bench = std::make_unique<SimBench>();
    std::shared_ptr<std::size_t> stoppedAt;
};

TEST_F(CommandsTest, WholeSessionAgainstThePanel) {
    CommandRunner r;
    std::vector<std::uint8_t> block(10000 + 2);
    for (std::size_t i = 0; i < 10000; ++i) {
        block[i] = static_cast<std::uint8_t>(i ^ 0x5A);
    }
    std::vector<std::uint8_t> firstBlock;
    auto cmds = Join({CMD(Password)}, Connection());
    cmds =
        Join(cmds, {
                       CMD(ReadHW),
                       Do([](CommandRunner& r) { r.m_nSignatureKind = 1; }),
                       CMD(ReadSignature),
                       Do([](CommandRunner& r) {
                           EXPECT_EQ(r.m_dwSignature, 0x8C930001u);
                           r.m_nSignatureKind = 2;
                       }),
                       CMD(ReadSignature),
                       Do([](CommandRunner& r) {
                           EXPECT_EQ(r.m_dwSignature, 0x1234u);
                           r.m_dwReadAddress = 0xA00000;
                           r.m_nReadSize = 1;
                       }),
                       CMD(ReadIO),
                       Do([](CommandRunner& r) {
                           EXPECT_EQ(r.m_dwIOValue, 0xC3u);
                           r.m_dwReadAddress = 0;
                           r.m_nReadSize = 0x4000;
                       }),
                       CMD(ReadData),
                       Do([&firstBlock](CommandRunner& r) {
                           firstBlock.assign(r.m_pchRecvBuff.get(), r.m_pchRecvBuff.get() + 0x4000);
                           r.m_pchWriteBuff = nullptr;
                       }),
                       Do([&block](CommandRunner& r) {
                           r.m_pchWriteBuff = block.data();
                           r.m_nWriteDataSize = 10000;
                           r.m_dwWriteAddress = 0x400000;
                       }),
                       CMD(WriteData),
                       CMD(Reset),
                   });
    ASSERT_EQ(Run(cmds, r), 0) << "stopped at " << *stoppedAt;
    EXPECT_EQ(r.CoreIdFromAnswer(), "");  // the receive buffer moved on since
    EXPECT_EQ(r.m_csHW_CoreID, "8C93");
    EXPECT_EQ(r.m_dwFRomSize, 0x100000u);
    EXPECT_EQ(r.m_dwSRamSize, 0x20000u);
    EXPECT_TRUE(bench->panel->MemoryEquals(0, firstBlock));
    EXPECT_TRUE(bench->panel->MemoryEquals(0x400000, std::span(block.data(), 10000)));
    EXPECT_EQ(bench->panel->Mode(), sim::PanelMode::Firmware);  // the reset restarted it
    EXPECT_EQ(Lines("    Change of a baud rate(38400)"), 1);
    EXPECT_EQ(Lines("    Connect Complete"), 1);
    EXPECT_EQ(Lines("    I Connected ILOADER"), 1);
}

TEST_F(CommandsTest, ReadCoreIdLeavesTheCoreIdAnswer) {
    CommandRunner r;
    ASSERT_EQ(Run({CMD(ReadCoreID)}, r), 0);
    EXPECT_EQ(r.CoreIdFromAnswer(), "8C93");
    EXPECT_EQ(Lines("    Establishment of a communication circuit"), 1);
    EXPECT_EQ(Lines("    CORE-ID Check"), 1);
}

TEST_F(CommandsTest, At9600TheRateChangesAreSkipped) {
    LinkSettings slow;
    slow.bauIndex = 0;
    bench.reset();
    bench = std::make_unique<SimBench>(slow, sim::DemoPanel(), DemoModels());
    CommandRunner r;
    ASSERT_EQ(Run(Join(Connection(), {CMD(ChangeSIO)}), r), 0);
    EXPECT_EQ(Count("COM"), 0);
    EXPECT_EQ(Count("<O"), 0);
    EXPECT_EQ(bench->panel->Mode(), sim::PanelMode::Loader);
}

TEST_F(CommandsTest, LoaderFileLimits) {
    // 66541 bytes fill the frame buffer exactly.
    bench->WriteLoader(LoaderFile(0x00021000, 66541 - 4));
    {
        CommandRunner r;
        ASSERT_EQ(Run(Connection(), r), 0);
        EXPECT_EQ(bench->panel->Loader().body.size(), 66541u - 4);
    }
    // One byte more does not fit; neither does a file too short to hold its address.
    for (std::size_t size : {std::size_t{66542}, std::size_t{3}}) {
        auto bytes = LoaderFile(0x00021000, 66542 - 4);
        bytes.resize(size);
        bench->WriteLoader(bytes);
        bench->panel->PowerCycle(10ms);  // back to the firmware
        CommandRunner r;
        EXPECT_EQ(Run(Connection(), r), msg::kIloaderRead) << size;
    }
    // A missing file too.
    bench->panel->PowerCycle(10ms);
    CommandRunner missing;
    EXPECT_EQ(Run({SetLoader("NOPE.LDR"), CMD(DownloadILOADER)}, missing), msg::kIloaderRead);
}

TEST_F(CommandsTest, LoaderAddressBytesAreReordered) {
    std::vector<std::uint8_t> bytes = {0x00, 0x10, 0x02, 0x00, 0xAA, 0xBB};
    bench->WriteLoader(bytes);
    CommandRunner r;
    ASSERT_EQ(Run(Connection(), r), 0);
    auto frames = bench->panel->Frames();
    auto pld = std::find_if(frames.begin(), frames.end(),
                            [](const sim::ReceivedFrame& f) { return f.command == "PLD"; });
    ASSERT_NE(pld, frames.end());
    std::string head(pld->raw.begin(), pld->raw.begin() + 20);
    EXPECT_EQ(head, "\x1BPLD0002100000000002");
    EXPECT_EQ(pld->size, bytes.size() + 19);
}

class PasswordTest : public CommandsTest {
  protected:
    void SetUp() override {
        auto panel = sim::DemoPanel();
        panel.password = "secret";
        bench.reset();
        bench = std::make_unique<SimBench>(LinkSettings{}, panel, DemoModels());
    }
    void Answer(std::vector<std::string> answers, CommandRunner& r) {
        auto queue = std::make_shared<std::vector<std::string>>(std::move(answers));
        bench->view.onMessage = [queue, &r](unsigned msg, std::uintptr_t) {
            if (msg == WM_PASSWORD_REQUEST) {
                r.m_csPassword = queue->empty() ? "" : queue->front();
                if (!queue->empty()) {
                    queue->erase(queue->begin());
                }
            }
        };
    }
};

TEST_F(PasswordTest, RightPasswordIsAccepted) {
    CommandRunner r;
    Answer({"wrong", "secret"}, r);
    ASSERT_EQ(Run({CMD(Password)}, r), 0);
    EXPECT_TRUE(bench->panel->PasswordAccepted());
    EXPECT_EQ(bench->view.Count(WM_PASSWORD_REQUEST), 2);
    // The refusal is said before the dialog asks again.
    EXPECT_EQ(bench->LineCount(GetString(msg::kPasswordWrong)), 1);
}

TEST_F(PasswordTest, RefusedRetryTimesEndsWith4010) {
    CommandRunner r;
    Answer({"a", "b", "c", "d"}, r);
    EXPECT_EQ(Run({CMD(Password)}, r), msg::kPasswordRetry);
    EXPECT_EQ(bench->view.Count(WM_PASSWORD_REQUEST), 3);
    EXPECT_EQ(bench->LineCount(GetString(msg::kPasswordWrong)), 2);
    EXPECT_EQ(CountEventually(">Q", 1), 1);
}

TEST_F(PasswordTest, CancelledDialogEndsWith4001) {
    CommandRunner r;
    Answer({}, r);
    EXPECT_EQ(Run({CMD(Password)}, r), msg::kAborted);
    EXPECT_EQ(CountEventually(">Q", 1), 1);
}

// An answer that belongs to another request never reads as "no password".
TEST_F(PasswordTest, StrayAnswerIsNotTakenForTheProtectionAnswer) {
    CommandRunner r;
    Answer({}, r);
    sim::FaultConfig stray;
    stray.strayProtectionAnswer = "<C00";
    bench->panel->SetFaults(stray);
    EXPECT_EQ(Run({CMD(Password)}, r), msg::kAborted);
    EXPECT_EQ(bench->view.Count(WM_PASSWORD_REQUEST), 1);
}

TEST_F(PasswordTest, LongPasswordIsCutTo24Characters) {
    auto panel = sim::DemoPanel();
    panel.password = "abcdefghijklmnopqrstuvwx";  // 24 characters
    bench.reset();
    bench = std::make_unique<SimBench>(LinkSettings{}, panel, DemoModels());
    CommandRunner r;
    Answer({"abcdefghijklmnopqrstuvwxyz0123"}, r);
    ASSERT_EQ(Run({CMD(Password)}, r), 0);
    auto frames = bench->panel->Frames();
    auto p = std::find_if(frames.begin(), frames.end(),
                          [](const sim::ReceivedFrame& f) { return f.command == ">P"; });
    ASSERT_NE(p, frames.end());
    EXPECT_EQ(p->size, 28u);
}

TEST_F(CommandsTest, PanelWithoutPasswordSkipsTheDialog) {
    CommandRunner r;
    ASSERT_EQ(Run({CMD(Password)}, r), 0);
    EXPECT_EQ(bench->view.Count(WM_PASSWORD_REQUEST), 0);
}

class PowerResetTest : public CommandsTest {
  protected:
    void SetUp() override {
        LinkSettings noRetry;
        noRetry.retry = 0;
        bench.reset();
        bench = std::make_unique<SimBench>(noRetry, sim::DemoPanel(), DemoModels());
        sim::FaultConfig silent;
        silent.silentAfterFrames = 0;
        bench->panel->SetFaults(silent);
    }
};

TEST_F(PowerResetTest, ThirtyProbesThenThePanelIsCycled) {
    std::jthread cycler;  // joined once r has stopped sending messages
    CommandRunner r;
    r.SetView(&bench->view);
    bench->view.onMessage = [this, &cycler](unsigned msg, std::uintptr_t wParam) {
        if (msg == WM_POWER_RESET_DIALOG && wParam == 1) {
            EXPECT_EQ(bench->panel->Counters().enqs, 30u);
            cycler = std::jthread([this] { bench->panel->PowerCycle(200ms); });
        }
    };
    ASSERT_EQ(Run({CMD(ReadCoreID)}, r), 0);
    EXPECT_EQ(r.CoreIdFromAnswer(), "8C93");
    // Shown, then closed (the close request may still be on its way to the view).
    EXPECT_TRUE(bench->view.WaitMessage(WM_POWER_RESET_DIALOG, 2, 5s));
    EXPECT_EQ(bench->view.Count(WM_POWER_RESET_DIALOG), 2);
}

TEST_F(PowerResetTest, BoundedWaitEndsWith4000AndSaysSo) {
    CommandRunner r;
    r.SetPowerResetLimit(2s);
    EXPECT_EQ(Run({CMD(ReadCoreID)}, r), msg::kCheckPower);
    EXPECT_EQ(Lines("    No power reset of the unit was seen within 2 seconds."), 1);
    // Shown, then closed.
    EXPECT_TRUE(bench->view.WaitMessage(WM_POWER_RESET_DIALOG, 2, 5s));
}

TEST_F(PowerResetTest, CancelInTheDialogEndsWith4001) {
    CommandRunner r;
    bench->view.onMessage = [&r](unsigned msg, std::uintptr_t wParam) {
        if (msg == WM_POWER_RESET_DIALOG && wParam == 1) {
            r.CancelPowerReset();
        }
    };
    EXPECT_EQ(Run({CMD(ReadCoreID)}, r), msg::kAborted);
}

TEST_F(CommandsTest, AbortDuringTheLoaderDownloadEndsTheConnectWithoutItsLine) {
    CommandRunner r;
    bench->view.onMessage = nullptr;
    std::atomic<bool> aborted{false};
    std::jthread aborter;  // joined before r and aborted go
    auto cmds = Connection();
    cmds.insert(cmds.begin() + 2, Do([&](CommandRunner& runner) {
                    // Abort while the download is under way.
                    aborter = std::jthread([&runner, &aborted] {
                        std::this_thread::sleep_for(50ms);
                        runner.PostEvent(EVENT_ABORT);
                        aborted = true;
                    });
                }));
    EXPECT_EQ(Run(cmds, r), msg::kAborted);
    EXPECT_TRUE(aborted);
    EXPECT_EQ(*stoppedAt, 4u);  // ConnectILOADER ended the run
    EXPECT_EQ(Lines("    I Connected ILOADER"), 0);
    EXPECT_EQ(Lines("    Discontinuation processing is carried out."), 1);
}

TEST_F(CommandsTest, ReadDataRetriesACorruptBlock) {
    CommandRunner r;
    sim::FaultConfig faults;
    faults.corruptReadBlock = 1;
    auto cmds = Join(Connection(), {Do([&](CommandRunner& runner) {
                                        bench->panel->SetFaults(faults);
                                        runner.m_dwReadAddress = 0x1000;
                                        runner.m_nReadSize = 0x4000;
                                    }),
                                    CMD(ReadData)});
    ASSERT_EQ(Run(cmds, r), 0);
    EXPECT_EQ(Lines("    Data error"), 1);
    EXPECT_EQ(Count(">m"), 2);
    auto expected = bench->panel->ReadMemory(0x1000, 0x4000);
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), r.m_pchRecvBuff.get()));
}

TEST_F(CommandsTest, ReadDataBlockArrivingInSmallPiecesIsCheckedOnce) {
    // Bytes take real wire time here; give the reply time-out room for it.
    LinkSettings wire;
    wire.bauIndex = 3;
    wire.readTimeout = 40;
    bench.reset();
    bench = std::make_unique<SimBench>(wire, sim::DemoPanel(), DemoModels());
    CommandRunner r;
    auto cmds = Join(Connection(), {Do([&](CommandRunner& runner) {
                                        bench->folder.link().SetWireTiming(true);
                                        runner.m_dwReadAddress = 0;
                                        runner.m_nReadSize = 0x4000;
                                    }),
                                    CMD(ReadData)});
    ASSERT_EQ(Run(cmds, r), 0);
    EXPECT_EQ(Lines("    Data error"), 0);
    auto events = r.Events();
    EXPECT_GT(std::count(events.begin(), events.end(), EVENT_RECEIVED), 3);
    auto frames = bench->panel->Frames();
    auto m = std::find_if(frames.begin(), frames.end(),
                          [](const sim::ReceivedFrame& f) { return f.command == ">m"; });
    ASSERT_NE(m, frames.end());
    EXPECT_EQ(std::string(m->raw.begin(), m->raw.end()), "\x10>m0000000000004000\r");
}

TEST_F(CommandsTest, SilenceDuringReadDataResynchronisesThenGivesUp) {
    CommandRunner r;
    auto cmds = Join(Connection(), {Do([&](CommandRunner& runner) {
                                        sim::FaultConfig silent;
                                        silent.silentAfterFrames = 0;
                                        bench->panel->SetFaults(silent);
                                        runner.m_dwReadAddress = 0;
                                        runner.m_nReadSize = 0x4000;
                                    }),
                                    CMD(ReadData)});
    EXPECT_EQ(Run(cmds, r), msg::kRetryOver);
    // Each silent time-out re-synchronises: a break, then the loader's rate change.
    EXPECT_GE(Count("<O"), 2);
    EXPECT_GE(Lines("    Time Out..."), 4);
}

TEST_F(CommandsTest, PersistentLineErrorsAskForSmallerPackets) {
    CommandRunner r;
    r.onChangeReadSize = [] { return false; };
    auto cmds = Join(Connection(), {Do([&](CommandRunner& runner) {
                                        sim::FaultConfig errors;
                                        errors.lineErrorReadBlock = 1;
                                        errors.lineErrorReadBlockCount = 100;
                                        bench->panel->SetFaults(errors);
                                        runner.m_dwReadAddress = 0;
                                        runner.m_nReadSize = 0x4000;
                                    }),
                                    CMD(ReadData)});
    EXPECT_EQ(Run(cmds, r), msg::kRetryOver);
    EXPECT_EQ(r.changeReadSizeCalls.load(), 1);
    EXPECT_EQ(Count("<O"), 1);  // ConnectILOADER's only: line errors resend without resync
}

TEST_F(CommandsTest, ReadIOOfFF) {
    CommandRunner r;
    sim::FaultConfig faults;
    faults.ffIoReads = 1;
    auto cmds = Join(Connection(), {Do([&](CommandRunner& runner) {
                                        bench->panel->SetFaults(faults);
                                        runner.m_dwReadAddress = 0xA00000;
                                        runner.m_nReadSize = 1;
                                    }),
                                    CMD(ReadIO)});
    ASSERT_EQ(Run(cmds, r), 0);
    EXPECT_EQ(r.m_dwIOValue, 0xFFu);
}

TEST_F(CommandsTest, ResetWithoutAnswerFailsAfterOneTimeOut) {
    CommandRunner r;
    auto cmds = Join(Connection(), {Do([&](CommandRunner&) {
                                        sim::FaultConfig silent;
                                        silent.silentAfterFrames = 0;
                                        bench->panel->SetFaults(silent);
                                    }),
                                    CMD(Reset)});
    EXPECT_EQ(Run(cmds, r), msg::kRetryOver);
    EXPECT_EQ(CountEventually(">q", 1), 1);
}

TEST_F(CommandsTest, WriteDataAnswerOtherThanZeroRepeatsTheBlock) {
    bench.reset();
    TestFolder folder;
    int writes = 0;
    ScriptedPeer peer(folder.link(), [&](const std::string& frame) -> std::string {
        if (frame.find("\x10<m") != std::string::npos) {
            return "\x06\x1A";
        }
        return {};
    });
    RecordingView view;
    std::vector<std::uint8_t> block(100 + 2, 0x11);
    CommandRunner r;
    r.SetView(&view);
    r.m_pchWriteBuff = block.data();
    r.m_nWriteDataSize = 100;
    r.Start([&](CommandRunner& runner, int ev) {
        bool done = runner.WriteData(ev);
        if (!done && ev == EVENT_SENT &&
            runner.WriteSizes().size() == static_cast<std::size_t>(2 * (writes + 1))) {
            ++writes;
            peer.Send(writes == 1 ? std::string("\x10<m01\r\x1A") : std::string("\x10<m00\r\x1A"));
        }
        return done;
    });
    ASSERT_TRUE(r.WaitDone());
    EXPECT_EQ(r.m_nError, 0);
    auto frames = peer.Frames();
    EXPECT_EQ(
        std::count_if(frames.begin(), frames.end(),
                      [](const std::string& f) { return f.ends_with("\x10<m0000000000000064\r"); }),
        2);
    auto lines = view.Lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "    Data error"), 1);
}

}  // namespace
}  // namespace kz::test

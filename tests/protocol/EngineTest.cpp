// The protocol engine against scripted peers on the virtual link: checksums, answer
// assembly, time-outs and retries, the abort modes, the send pump, the step engine's
// redirection rules and the serialisation of dispatcher calls.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include <unistd.h>

#include "diag/Trace.h"
#include "diag/TraceViewer.h"
#include "ops/engine/EventLoop.h"
#include "ops/engine/StepEngine.h"
#include "platform/Clock.h"
#include "support/CommandRunner.h"
#include "support/RecordingView.h"
#include "support/TestFolder.h"

namespace kz::test {
namespace {

using namespace std::chrono_literals;

const std::string kDle = "\x10";
const std::string kCrSub = "\r\x1A";

// ---- Checksum -------------------------------------------------------------------------------

struct ChecksumCase {
    std::string data;
    std::string expected;
};

class ChecksumTest : public ::testing::TestWithParam<ChecksumCase> {};

TEST_P(ChecksumTest, IsTheNegatedByteSumInUpperCaseHex) {
    EXPECT_EQ(ChecksumText(GetParam().data), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Frames, ChecksumTest,
                         ::testing::Values(ChecksumCase{"MID", "26"}, ChecksumCase{"", "00"},
                                           ChecksumCase{"00000", "10"}, ChecksumCase{"65280", "FB"},
                                           ChecksumCase{"04720", "03"},
                                           ChecksumCase{std::string("\x01", 1), "FF"},
                                           ChecksumCase{"200000", "DE"}));

// ---- Redirection rules -----------------------------------------------------------------------

struct RedirectCase {
    OperationKind kind;
    int phase;
    int error;
    int next;
};

class RedirectTest : public ::testing::TestWithParam<RedirectCase> {};

TEST_P(RedirectTest, NextStepFollowsTheOperationsRule) {
    const auto& c = GetParam();
    EXPECT_EQ(NextStep(c.kind, c.phase, c.error), c.next)
        << "phase " << c.phase << " error " << c.error;
}

using K = OperationKind;
INSTANTIATE_TEST_SUITE_P(
    AllOperations, RedirectTest,
    ::testing::Values(
        // Backup: early zone < 5 → 23, main zone < 22 → 22 (Reset), cap 24.
        RedirectCase{K::Backup, 3, 4005, 23}, RedirectCase{K::Backup, 4, 4003, 23},
        RedirectCase{K::Backup, 5, 4001, 22}, RedirectCase{K::Backup, 21, 5049, 22},
        RedirectCase{K::Backup, 22, 4002, 23}, RedirectCase{K::Backup, 23, 4002, 24},
        RedirectCase{K::Backup, 24, 0, 24}, RedirectCase{K::Backup, 8, 0, 9},
        RedirectCase{K::Backup, 8, 4005, 22},
        // Restore and verify: < 4 → 22, < 21 → 21, cap 23.
        RedirectCase{K::Restore, 0, 4001, 22}, RedirectCase{K::Restore, 3, 4003, 22},
        RedirectCase{K::Restore, 4, 4001, 21}, RedirectCase{K::Restore, 20, 4004, 21},
        RedirectCase{K::Restore, 21, 4002, 22}, RedirectCase{K::Restore, 23, 0, 23},
        RedirectCase{K::Verify, 2, 4005, 22}, RedirectCase{K::Verify, 19, 4004, 21},
        RedirectCase{K::Verify, 22, 4004, 23},
        // CF receive: < 2 → 39; <= 37 → 38 (Quit), but 39 for 4000; cap 40.
        RedirectCase{K::CfReceive, 0, 4001, 39}, RedirectCase{K::CfReceive, 1, 4017, 39},
        RedirectCase{K::CfReceive, 2, 4002, 38}, RedirectCase{K::CfReceive, 2, 4000, 39},
        RedirectCase{K::CfReceive, 37, 5049, 38}, RedirectCase{K::CfReceive, 38, 4002, 39},
        RedirectCase{K::CfReceive, 40, 0, 40},
        // CF send: <= 2 → 39; <= 37 → 38, 4000 → 39.
        RedirectCase{K::CfSend, 2, 4000, 39}, RedirectCase{K::CfSend, 2, 4002, 39},
        RedirectCase{K::CfSend, 3, 4002, 38}, RedirectCase{K::CfSend, 3, 4000, 39},
        RedirectCase{K::CfSend, 37, 4003, 38},
        // LAN operations.
        RedirectCase{K::BackupMtoM, 4, 4005, 15}, RedirectCase{K::BackupMtoM, 13, 5049, 14},
        RedirectCase{K::BackupMtoM, 16, 0, 16}, RedirectCase{K::RestoreMtoM, 3, 4001, 14},
        RedirectCase{K::RestoreMtoM, 12, 4007, 13}, RedirectCase{K::VerifyMtoM, 12, 4004, 13},
        RedirectCase{K::CfReceiveMtoM, 2, 4001, 41}, RedirectCase{K::CfReceiveMtoM, 10, 5049, 40},
        RedirectCase{K::CfReceiveMtoM, 10, 4000, 41}, RedirectCase{K::CfReceiveMtoM, 10, 4001, 39},
        RedirectCase{K::CfReceiveMtoM, 42, 0, 42}, RedirectCase{K::CfSendMtoM, 2, 4001, 40},
        RedirectCase{K::CfSendMtoM, 38, 4001, 39}, RedirectCase{K::CfSendMtoM, 38, 4000, 40},
        RedirectCase{K::CfSendMtoM, 39, 4002, 40}));

// A miniature backup table: every entry records that it ran; the test scripts which entry
// waits, fails or jumps.
class FakeBackup {
  public:
    std::vector<int> ran;
    std::map<int, std::function<bool(FakeBackup&, int)>> script;
    std::function<void(int phase, int error)> afterStep;  // RunSteps' after-step hook, if set
    int m_nPhase = 0;
    int m_nError = 0;
    bool Step(int nEvent) {
        ran.push_back(m_nPhase);
        auto it = script.find(m_nPhase);
        return it == script.end() ? true : it->second(*this, nEvent);
    }
    bool EndMarker(int) {
        ran.push_back(m_nPhase);
        return false;
    }
    bool Dispatch(int nEvent) {
        static const std::vector<StepFn<FakeBackup>> table = [] {
            std::vector<StepFn<FakeBackup>> t(24, &FakeBackup::Step);
            t.push_back(&FakeBackup::EndMarker);
            return t;
        }();
        return RunSteps<FakeBackup>(*this, table, OperationKind::Backup, m_nPhase, m_nError, nEvent,
                                    NoStepHook{}, [this](int phase, int error) {
                                        if (afterStep) {
                                            afterStep(phase, error);
                                        }
                                    });
    }
};

TEST(StepEngineTest, EarlyErrorSkipsTheResetAndMainErrorRunsIt) {
    FakeBackup early;
    early.script[3] = [](FakeBackup& b, int) {
        b.m_nError = msg::kNotRegistered;
        return true;
    };
    EXPECT_FALSE(early.Dispatch(EVENT_NONE));
    EXPECT_EQ(early.ran, (std::vector<int>{0, 1, 2, 3, 23, 24}));

    FakeBackup main;
    main.script[5] = [](FakeBackup& b, int) {
        b.m_nError = msg::kAborted;
        return true;
    };
    main.Dispatch(EVENT_NONE);
    EXPECT_EQ(main.ran, (std::vector<int>{0, 1, 2, 3, 4, 5, 22, 23, 24}));
}

TEST(StepEngineTest, WaitingStepIsEnteredAgainAndJumpsAreRelative) {
    FakeBackup b;
    int calls = 0;
    b.script[13] = [&calls](FakeBackup& op, int nEvent) {
        if (++calls == 1) {
            return false;  // waits
        }
        if (calls == 2) {
            EXPECT_EQ(nEvent, EVENT_RECEIVED);
            op.m_nPhase -= 5;  // entry 9 next
        }
        return true;
    };
    EXPECT_FALSE(b.Dispatch(EVENT_NONE));
    EXPECT_EQ(b.m_nPhase, 13);
    b.ran.clear();
    b.Dispatch(EVENT_RECEIVED);
    // 13 jumped back to 8, so 9 runs next, 13 runs a third time and the walk goes on.
    EXPECT_EQ(b.ran, (std::vector<int>{13, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22,
                                       23, 24}));
    EXPECT_EQ(b.m_nPhase, 24);
    // After the end marker any further event leaves the walk there.
    EXPECT_FALSE(b.Dispatch(EVENT_TIMEOUT));
    EXPECT_FALSE(b.Dispatch(EVENT_RECEIVED));
    EXPECT_EQ(b.m_nPhase, 24);
}

TEST(StepEngineTest, AfterStepSeesEachFinishedStepAsItLeftTheWalk) {
    FakeBackup b;
    std::vector<std::pair<int, int>> after;
    b.afterStep = [&after](int phase, int error) { after.emplace_back(phase, error); };
    b.script[1] = [](FakeBackup& op, int nEvent) {
        if (nEvent != EVENT_RECEIVED) {
            return false;  // waits: no hook
        }
        op.m_nPhase = 3;  // jumps: entry 4 next
        return true;
    };
    b.script[4] = [](FakeBackup& op, int) {
        op.m_nError = msg::kNotRegistered;
        return true;
    };
    b.Dispatch(EVENT_NONE);
    EXPECT_EQ(after, (std::vector<std::pair<int, int>>{{0, 0}}));
    b.Dispatch(EVENT_RECEIVED);
    // The hook sees the index the jump left (3, not 1) and the early-zone error before the
    // walk goes to terminate (23); the end marker waits and is not reported.
    EXPECT_EQ(after, (std::vector<std::pair<int, int>>{
                         {0, 0}, {3, 0}, {4, msg::kNotRegistered}, {23, msg::kNotRegistered}}));
    EXPECT_EQ(b.ran, (std::vector<int>{0, 1, 1, 4, 23, 24}));
}

// ---- Event loop ---------------------------------------------------------------------------

TEST(EventLoopTest, HandlerCallsNeverOverlapUnderConcurrentPosts) {
    std::atomic<int> inside{0};
    std::atomic<int> overlaps{0};
    std::atomic<int> handled{0};
    EventLoop loop([&](int, std::uint64_t) {
        if (inside.fetch_add(1) != 0) {
            ++overlaps;
        }
        std::this_thread::yield();
        inside.fetch_sub(1);
        ++handled;
    });
    std::vector<std::thread> posters;
    for (int t = 0; t < 4; ++t) {
        posters.emplace_back([&loop, t] {
            for (int i = 0; i < 500; ++i) {
                loop.Post(t == 0 ? EVENT_ABORT : EVENT_TIMEOUT, static_cast<std::uint64_t>(i));
            }
        });
    }
    for (auto& p : posters) {
        p.join();
    }
    loop.WaitIdle();
    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_EQ(handled.load(), 2000);
}

TEST(EventLoopTest, CoalescedEventsAreQueuedOnce) {
    std::mutex gate;
    std::unique_lock hold(gate);
    std::vector<int> seen;
    EventLoop loop([&](int event, std::uint64_t) {
        std::lock_guard wait(gate);
        seen.push_back(event);
    });
    loop.Post(EVENT_NONE);  // blocks the loop on the gate
    std::this_thread::sleep_for(10ms);
    for (int i = 0; i < 10; ++i) {
        loop.Post(EVENT_RECEIVED, 0, true);
        loop.Post(EVENT_SENT, 0, true);
    }
    hold.unlock();
    loop.WaitIdle();
    EXPECT_EQ(seen, (std::vector<int>{EVENT_NONE, EVENT_RECEIVED, EVENT_SENT}));
}

// ---- Engine over the virtual link ---------------------------------------------------------------

class EngineTest : public ::testing::Test {
  protected:
    TestFolder folder;
    RecordingView view;
};

TEST_F(EngineTest, AnswerSplitAcrossReadsIsAssembled) {
    ScriptedPeer* peerPtr = nullptr;
    ScriptedPeer peer(folder.link(), [&](const std::string& frame) -> std::string {
        if (frame == kDle + ">Q\r") {
            // CR at the end of one piece, SUB at the start of the next.
            peerPtr->Send(kDle + "<Q0\r");
            std::this_thread::sleep_for(20ms);
            return "\x1A";
        }
        return {};
    });
    peerPtr = &peer;
    CommandRunner runner;
    runner.SetView(&view);
    runner.Start([](CommandRunner& r, int ev) { return r.Quit(ev); });
    ASSERT_TRUE(runner.WaitDone());
    EXPECT_EQ(runner.m_nError, 0);
    EXPECT_EQ(runner.Answer(), "<Q0");
    EXPECT_EQ(peer.Count(kDle + ">Q\r"), 1);
}

TEST_F(EngineTest, GatedAssemblerDropsNoiseAndAnswersWithoutSubAfterCr) {
    ScriptedPeer peer(folder.link(), [&](const std::string& frame) -> std::string {
        if (frame == kDle + ">Q\r") {
            return "noise" + kDle + "BAD\rX" + kDle + "<Q0" + kCrSub;
        }
        return {};
    });
    CommandRunner runner;
    runner.Start([](CommandRunner& r, int ev) { return r.Quit(ev); });
    ASSERT_TRUE(runner.WaitDone());
    EXPECT_EQ(runner.m_nError, 0);
    EXPECT_EQ(runner.Answer(), "<Q0");
}

TEST_F(EngineTest, BytesAfterACompleteAnswerAreKeptForTheNextAnswer) {
    // Both answers arrive in one piece; the second request gets no answer of its own.
    int asked = 0;
    ScriptedPeer peer(folder.link(), [&](const std::string& frame) -> std::string {
        if (frame == kDle + ">Q\r" && ++asked == 1) {
            return kDle + "<Q0" + kCrSub + kDle + "<Q1" + kCrSub;
        }
        return {};
    });
    CommandRunner runner;
    int quits = 0;
    std::string first;
    runner.Start([&](CommandRunner& r, int ev) {
        for (;;) {
            if (!r.Quit(ev)) {
                return false;
            }
            if (++quits == 2) {
                return true;
            }
            first = std::string(r.Answer());
            ev = EVENT_NONE;
        }
    });
    ASSERT_TRUE(runner.WaitDone());
    EXPECT_EQ(runner.m_nError, 0);
    EXPECT_EQ(first, "<Q0");
    EXPECT_EQ(runner.Answer(), "<Q1");
    // The second request went out before its answer was taken from the kept bytes; the
    // peer's thread may not have read it yet (a safety bound, not a measured time).
    for (int i = 0; i < 5000 && peer.Count(kDle + ">Q\r") < 2; ++i) {
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_EQ(peer.Count(kDle + ">Q\r"), 2);
}

TEST_F(EngineTest, AnswerLongerThanTheBufferRestartsAtPositionZero) {
    ScriptedPeer peer(folder.link(), [&](const std::string& frame) -> std::string {
        if (frame == kDle + ">Q\r") {
            return kDle + std::string(kRecvBufferSize, 'A') + "Z" + kCrSub;
        }
        return {};
    });
    CommandRunner runner;
    runner.Start([](CommandRunner& r, int ev) { return r.Quit(ev); });
    ASSERT_TRUE(runner.WaitDone());
    EXPECT_EQ(runner.m_nError, 0);
    EXPECT_EQ(runner.Answer(), "Z");
}

TEST_F(EngineTest, SilentPeerExhaustsRetriesWithRetryOver) {
    // Every retry is traced where it happens, with its reason.
    SetTraceObjectPrefix("kzengine" + std::to_string(::getpid()));
    std::mutex mutex;
    std::vector<std::string> retries;
    TraceViewer viewer([&](const TraceLine& line) {
        if (line.text.find("Retry") != std::string::npos) {
            std::lock_guard lock(mutex);
            retries.push_back(line.text);
        }
    });
    std::string error;
    ASSERT_TRUE(viewer.Start(&error)) << error;

    ScriptedPeer peer(folder.link(), nullptr);
    CommandRunner runner;
    runner.SetView(&view);
    runner.Start([](CommandRunner& r, int ev) { return r.Quit(ev); });
    ASSERT_TRUE(runner.WaitDone());
    EXPECT_EQ(runner.m_nError, msg::kRetryOver);
    EXPECT_EQ(peer.Count(kDle + ">Q\r"), 4);  // Retry 3: four attempts
    auto lines = view.Lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "    Time Out..."), 4);
    viewer.Stop();
    SetTraceObjectPrefix("Wendix32");
    ASSERT_EQ(retries.size(), 4u);
    for (const std::string& line : retries) {
        EXPECT_NE(line.find("no answer in time"), std::string::npos) << line;
    }
    EXPECT_NE(retries[0].find("(2 left)"), std::string::npos) << retries[0];
    EXPECT_NE(retries[3].find("no attempt left"), std::string::npos) << retries[3];
}

// A started loader that never answers its probe: with a user, only an abort ends the probe;
// without one (the power-reset bound set), it ends as a panel that never answered.
TEST_F(EngineTest, UnattendedLoaderProbeEndsWithCheckPower) {
    ScriptedPeer peer(folder.link(), nullptr);
    CommandRunner runner;
    runner.SetView(&view);
    runner.SetPowerResetLimit(std::chrono::seconds(2));
    runner.Start([](CommandRunner& r, int ev) { return r.ConnectILOADER(ev); });
    ASSERT_TRUE(runner.WaitDone(std::chrono::seconds(20)));
    EXPECT_EQ(runner.m_nError, msg::kCheckPower);
    EXPECT_GT(peer.Count("\x05"), 1);

    // The bound counts from the start of each connect.
    runner.Shutdown();
    CommandRunner again;
    again.SetView(&view);
    again.SetPowerResetLimit(std::chrono::seconds(2));
    again.Start([](CommandRunner& r, int ev) { return r.ConnectILOADER(ev); });
    ASSERT_TRUE(again.WaitDone(std::chrono::seconds(20)));
    EXPECT_EQ(again.m_nError, msg::kCheckPower);
}

TEST_F(EngineTest, FailedWriteEndsWithCheckPowerAndTheCommandStartsAfresh) {
    // COM2 maps to a virtual link that does not exist: the port never opens.
    folder.dir().Write("KZMNT.INI", IniText()
                                        .Section("CONFIG")
                                        .Key("COM", 2)
                                        .Key("Retry", 3)
                                        .Section("PORTS")
                                        .Key("COM2", "virtual:nowhere")
                                        .str());
    CommandRunner runner;
    runner.Start([](CommandRunner& r, int ev) { return r.Quit(ev); });
    ASSERT_TRUE(runner.WaitDone());
    EXPECT_EQ(runner.m_nError, msg::kCheckPower);
    EXPECT_EQ(runner.Countdown(), 0);

    // A second run of the command on a fresh object begins at its first phase again.
    CommandRunner again;
    again.Start([](CommandRunner& r, int ev) { return r.Quit(ev); });
    ASSERT_TRUE(again.WaitDone());
    EXPECT_EQ(again.m_nError, msg::kCheckPower);
}

TEST_F(EngineTest, ImmediateAbortEndsTheWaitingCommandAtOnce) {
    ScriptedPeer peer(folder.link(), nullptr);
    CommandRunner runner;
    runner.SetView(&view);
    runner.Start([](CommandRunner& r, int ev) { return r.Quit(ev); });
    while (peer.Count(kDle + ">Q\r") == 0) {
        std::this_thread::sleep_for(1ms);
    }
    runner.PostEvent(EVENT_ABORT);
    ASSERT_TRUE(runner.WaitDone());
    EXPECT_EQ(runner.m_nError, msg::kAborted);
    EXPECT_EQ(peer.Count(kDle + ">Q\r"), 1);
}

TEST_F(EngineTest, DeferredAbortShowsTwoLinesAndEndsAtTheNextTimeOut) {
    // The firmware answers the probe but never the core ID request.
    ScriptedPeer peer(folder.link(), [](const std::string& frame) -> std::string {
        return frame == "\x05" ? std::string("\x03\x1A") : std::string();
    });
    CommandRunner runner;
    runner.SetView(&view);
    runner.Start([](CommandRunner& r, int ev) { return r.ReadCoreID(ev); });
    while (peer.Frames().size() < 2) {
        std::this_thread::sleep_for(1ms);
    }
    runner.PostEvent(EVENT_ABORT);
    ASSERT_TRUE(runner.WaitDone());
    EXPECT_EQ(runner.m_nError, msg::kAborted);
    auto lines = view.Lines();
    EXPECT_EQ(
        std::count(lines.begin(), lines.end(), "    Discontinuation processing is carried out."),
        1);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "    ... Please wait for a while."), 1);
    // The core ID request went out once: the time-out ended the command instead of a retry.
    std::string mid = "\x1BMID26\r";
    EXPECT_EQ(peer.Count(mid), 1);
}

TEST_F(EngineTest, SendPumpWritesPiecesOf4096AfterTheQueueDrains) {
    std::vector<std::uint8_t> block(10000 + 2);
    for (std::size_t i = 0; i < 10000; ++i) {
        block[i] = static_cast<std::uint8_t>(i * 7);
    }
    std::string received;
    std::mutex m;
    ScriptedPeer* peerPtr = nullptr;
    ScriptedPeer peer(folder.link(), [&](const std::string& frame) -> std::string {
        if (frame.rfind(kDle + "<m", 0) == 0) {
            return "\x06\x1A";
        }
        return {};
    });
    peerPtr = &peer;
    (void)peerPtr;
    CommandRunner runner;
    runner.m_pchWriteBuff = block.data();
    runner.m_nWriteDataSize = 10000;
    runner.m_dwWriteAddress = 0x1000;
    runner.Start([&](CommandRunner& r, int ev) {
        bool done = r.WriteData(ev);
        if (!done && r.WriteSizes().size() == 4) {
            // All three pieces are out: answer the block.
            peer.Send(kDle + "<m00" + kCrSub);
        }
        return done;
    });
    ASSERT_TRUE(runner.WaitDone());
    EXPECT_EQ(runner.m_nError, 0);
    auto sizes = runner.WriteSizes();
    ASSERT_EQ(sizes.size(), 4u);
    EXPECT_EQ(sizes[0], 20u);  // the write-memory frame
    EXPECT_EQ(sizes[1], 4096u);
    EXPECT_EQ(sizes[2], 4096u);
    EXPECT_EQ(sizes[3], 1810u);
    EXPECT_EQ(ChecksumText(std::string_view(reinterpret_cast<char*>(block.data()), 10000)),
              std::string(reinterpret_cast<char*>(block.data()) + 10000, 2));
}

TEST_F(EngineTest, AbortWhilePumpingFinishesTheBlockThenEndsWithAborted) {
    // Wire timing at 115200 bit/s keeps the pump busy for most of a second.
    std::vector<std::uint8_t> block(10000 + 2, 0x42);
    ScriptedPeer peer(folder.link(), [&](const std::string& frame) -> std::string {
        return frame.find("\x10<m") != std::string::npos ? std::string("\x06\x1A") : std::string();
    });
    platform::LineState fast;
    fast.baudRate = 115200;
    peer.device().SetLineState(fast);
    CommandRunner runner;
    runner.SetView(&view);
    runner.m_pchWriteBuff = block.data();
    runner.m_nWriteDataSize = 10000;
    std::atomic<bool> aborted{false};
    runner.Start([&](CommandRunner& r, int ev) {
        if (r.WriteSizes().empty()) {
            r.SetLine(115200, 0, 8, 0);
        }
        if (!aborted && r.WriteSizes().size() == 2) {
            // The first piece is out: the user aborts.
            aborted = true;
            folder.link().SetWireTiming(true);
            r.PostEvent(EVENT_ABORT);
        }
        bool done = r.WriteData(ev);
        if (!done && r.WriteSizes().size() == 4 && ev == EVENT_SENT) {
            peer.Send("\x10<m00\r\x1A");
        }
        return done;
    });
    ASSERT_TRUE(runner.WaitDone());
    EXPECT_EQ(runner.m_nError, msg::kAborted);
    auto sizes = runner.WriteSizes();
    ASSERT_EQ(sizes.size(), 4u);  // the whole block went out before the command ended
    EXPECT_EQ(folder.link().BytesWritten(platform::VirtualSerialLink::End::Pc), 20u + 10002u);
    auto lines = view.Lines();
    EXPECT_EQ(
        std::count(lines.begin(), lines.end(), "    Discontinuation processing is carried out."),
        1);
}

// ---- Timer, with a clock that moves only when the test says -------------------------------------

class TimerTest : public ::testing::Test {
  protected:
    void TearDown() override {
        clock.SetFreeRunning(true);
        runner.reset();
    }
    void Tick() {
        ASSERT_TRUE(clock.WaitForSleepers(1));
        clock.Advance(10ms);
    }
    TestFolder folder;
    platform::ManualClock clock;
    platform::ScopedClock clockGuard{clock};
    // What the steps record. The runner's threads keep calling the step until TearDown has
    // stopped them, after the test body has returned: so nothing a step touches may live
    // on the test body's stack.
    std::atomic<int> timeouts{0};
    std::atomic<bool> armNow{false};
    std::mutex gate;
    std::atomic<int> step{0};
    std::atomic<int> inside{0};
    std::atomic<int> overlaps{0};
    std::atomic<int> calls{0};
    std::unique_ptr<CommandRunner> runner = std::make_unique<CommandRunner>();
};

TEST_F(TimerTest, NoTimeOutWithoutCountdownAndOneTickFiresAtTheNextTick) {
    runner->Start([&](CommandRunner& r, int ev) {
        if (ev == EVENT_TIMEOUT) {
            ++timeouts;
        }
        if (armNow.exchange(false)) {
            r.Arm(1);
        }
        return false;
    });
    for (int i = 0; i < 5; ++i) {
        Tick();
    }
    runner->WaitIdle();
    EXPECT_EQ(timeouts.load(), 0);

    armNow = true;
    runner->PostEvent(EVENT_SENT);  // the step arms one tick
    runner->WaitIdle();
    Tick();
    // Wait for the timer to hand the event over, then for the loop to handle it.
    ASSERT_TRUE(clock.WaitForSleepers(1));
    runner->WaitIdle();
    EXPECT_EQ(timeouts.load(), 1);
    Tick();
    Tick();
    ASSERT_TRUE(clock.WaitForSleepers(1));
    runner->WaitIdle();
    EXPECT_EQ(timeouts.load(), 1);
}

TEST_F(TimerTest, TimeOutRaisedForAnEarlierCountdownNeverReachesTheNextPhase) {
    std::unique_lock hold(gate, std::defer_lock);
    runner->Start([&](CommandRunner& r, int ev) {
        if (ev == EVENT_TIMEOUT) {
            ++timeouts;
            return false;
        }
        if (step == 1) {
            r.Arm(1);
            // While this call is busy, the timer raises the time-out for this countdown...
            std::lock_guard wait(gate);
            // ...and the phase moves on: a later phase re-arms a longer countdown.
            r.Arm(1000);
        }
        return false;
    });
    runner->WaitIdle();
    hold.lock();
    step = 1;
    runner->PostEvent(EVENT_RECEIVED);
    // The step now holds the gate wait; let the timer count the 1-tick countdown down.
    while (runner->Countdown() != 1) {
        std::this_thread::sleep_for(1ms);
    }
    Tick();
    ASSERT_TRUE(clock.WaitForSleepers(1));  // the timer posted its time-out and sleeps again
    hold.unlock();
    runner->WaitIdle();
    EXPECT_EQ(timeouts.load(), 0);
    EXPECT_EQ(runner->Countdown(), 1000);
}

TEST_F(TimerTest, RearmMovesOnlyTheCountdownItWasArmedAs) {
    runner->Start([&](CommandRunner&, int ev) {
        if (ev == EVENT_TIMEOUT) {
            ++timeouts;
        }
        return false;
    });
    runner->WaitIdle();
    const std::uint64_t first = runner->Arm(5);
    Tick();
    Tick();
    ASSERT_TRUE(clock.WaitForSleepers(1));
    EXPECT_EQ(runner->Countdown(), 3);
    // Word that a request is still being worked on starts its countdown again.
    EXPECT_TRUE(runner->Rearm(first, 5));
    EXPECT_EQ(runner->Countdown(), 5);
    // Once another countdown has been armed, the old one's word changes nothing.
    const std::uint64_t second = runner->Arm(7);
    EXPECT_FALSE(runner->Rearm(first, 1));
    EXPECT_EQ(runner->Countdown(), 7);
    // A countdown stopped this way raises nothing.
    EXPECT_TRUE(runner->Rearm(second, 0));
    for (int i = 0; i < 8; ++i) {
        Tick();
    }
    ASSERT_TRUE(clock.WaitForSleepers(1));
    runner->WaitIdle();
    EXPECT_EQ(timeouts.load(), 0);
    // A countdown that has run out has raised its time-out already: it stays out.
    const std::uint64_t third = runner->Arm(1);
    Tick();
    ASSERT_TRUE(clock.WaitForSleepers(1));
    EXPECT_FALSE(runner->Rearm(third, 5));
    EXPECT_EQ(runner->Countdown(), 0);
    runner->WaitIdle();
    EXPECT_EQ(timeouts.load(), 1);
}

TEST_F(TimerTest, DispatcherCallsAreSerialisedAcrossTheEventSources) {
    runner->Start([&](CommandRunner& r, int) {
        if (inside.fetch_add(1) != 0) {
            ++overlaps;
        }
        r.Arm(1);  // keeps the timer raising events
        ++calls;
        inside.fetch_sub(1);
        return false;
    });
    std::thread ui([&] {
        for (int i = 0; i < 300; ++i) {
            runner->PostEvent(EVENT_ABORT);
        }
    });
    ScriptedPeer peer(folder.link(), nullptr);
    for (int i = 0; i < 300; ++i) {
        peer.Send("x");
    }
    for (int i = 0; i < 20; ++i) {
        Tick();
    }
    ui.join();
    runner->WaitIdle();
    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_GT(calls.load(), 300);
}

}  // namespace
}  // namespace kz::test

#include "serial/Comm.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/Clock.h"
#include "platform/ProgramFolder.h"
#include "platform/VirtualSerial.h"
#include "support/TempDir.h"

namespace kz {
namespace {

using platform::VirtualSerialLink;
using End = VirtualSerialLink::End;

// Waits (real time, generous bound) until pred holds; the bound only keeps a broken build
// from hanging the test run.
bool Eventually(const std::function<bool()>& pred) {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > limit) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// A CComm on a named virtual link that records which handlers ran.
class RecordingComm : public CComm {
  public:
    explicit RecordingComm(std::string link) : m_link(std::move(link)) {}
    ~RecordingComm() override { CommEventStop(); }

    std::vector<std::string> Calls() {
        std::lock_guard lock(m_mutex);
        return m_calls;
    }
    bool Saw(const std::string& name) {
        auto calls = Calls();
        return std::find(calls.begin(), calls.end(), name) != calls.end();
    }

    std::string failOn;  // the handler that returns false (set before starting the thread)
    std::function<void()> onRxChar;

    bool OnBreak(std::uint32_t) override { return Record("Break"); }
    bool OnCts(std::uint32_t) override { return Record("Cts"); }
    bool OnDsr(std::uint32_t) override { return Record("Dsr"); }
    bool OnErr(std::uint32_t) override { return Record("Err"); }
    bool OnRing(std::uint32_t) override { return Record("Ring"); }
    bool OnRlsd(std::uint32_t) override { return Record("Rlsd"); }
    bool OnRxChar(std::uint32_t) override {
        if (onRxChar) {
            onRxChar();
        }
        return Record("RxChar");
    }
    bool OnRxFlag(std::uint32_t) override { return Record("RxFlag"); }
    bool OnTxEmpty(std::uint32_t) override { return Record("TxEmpty"); }

  protected:
    std::string DeviceNameForPort(int) override { return "virtual:" + m_link; }

  private:
    bool Record(const std::string& name) {
        std::lock_guard lock(m_mutex);
        m_calls.push_back(name);
        return name != failOn;
    }

    std::string m_link;
    std::mutex m_mutex;
    std::vector<std::string> m_calls;
};

class CommTest : public ::testing::Test {
  protected:
    void SetUp() override {
        name =
            std::string("comm-") + ::testing::UnitTest::GetInstance()->current_test_info()->name();
        link = VirtualSerialLink::Create(name);
        ASSERT_TRUE(link);
        panel = link->OpenEnd(End::Panel);
        comm = std::make_unique<RecordingComm>(name);
    }

    void PanelSends(const std::string& text) {
        ASSERT_TRUE(panel->Write(text.data(), text.size()));
    }

    std::string PanelReceives() {
        std::string out;
        char buf[256];
        while (std::size_t n = panel->Read(buf, sizeof buf)) {
            out.append(buf, n);
        }
        return out;
    }

    std::string name;
    std::shared_ptr<VirtualSerialLink> link;
    std::unique_ptr<platform::ISerialDevice> panel;
    std::unique_ptr<RecordingComm> comm;
};

TEST_F(CommTest, OpenHoldsOnePortAndCloseReleasesIt) {
    EXPECT_FALSE(comm->IsOpen());
    EXPECT_FALSE(comm->Close());
    ASSERT_TRUE(comm->Open(1, 66560, 66560));
    EXPECT_TRUE(comm->IsOpen());
    EXPECT_TRUE(link->IsEndOpen(End::Pc));
    EXPECT_FALSE(comm->Open(1, 66560, 66560));  // already open here

    RecordingComm other(name);
    EXPECT_FALSE(other.Open(1, 66560, 66560));  // in use
    EXPECT_FALSE(other.IsOpen());

    EXPECT_TRUE(comm->Close());
    EXPECT_FALSE(comm->IsOpen());
    EXPECT_FALSE(link->IsEndOpen(End::Pc));
    EXPECT_TRUE(other.Open(1, 66560, 66560));
}

TEST_F(CommTest, OpenKeepsThePortsLineState) {
    platform::LineState st;
    st.baudRate = 38400;
    st.parity = 2;
    auto pcEnd = link->OpenEnd(End::Pc);
    ASSERT_TRUE(pcEnd->SetLineState(st));
    pcEnd.reset();

    ASSERT_TRUE(comm->Open(1, 66560, 66560));
    platform::LineState now;
    ASSERT_TRUE(comm->GetState(now));
    EXPECT_EQ(now.baudRate, 38400u);
    EXPECT_EQ(now.parity, 2);
}

TEST(CommSettings, PortNumberIsMappedThroughSectionPorts) {
    test::TempDir dir;
    dir.Write("KZMNT.INI", "[PORTS]\r\nCOM12=virtual:comm-ini-link\r\n");
    platform::SetProgramFolder(dir.str());
    auto link = VirtualSerialLink::Create("comm-ini-link");
    CComm comm;
    EXPECT_FALSE(comm.Open(11, 66560, 66560));  // COM11 is no virtual link here
    EXPECT_TRUE(comm.Open(12, 66560, 66560));
    EXPECT_TRUE(link->IsEndOpen(End::Pc));
    comm.Close();
    platform::SetProgramFolder("");
}

TEST_F(CommTest, ReadNeverWaitsAndTakesAtMostMax) {
    ASSERT_TRUE(comm->Open(1, 66560, 66560));
    char buf[16] = {};
    EXPECT_EQ(comm->Read(buf, sizeof buf), 0u);

    PanelSends("abcdef");
    EXPECT_EQ(comm->Read(buf, 4), 4u);
    EXPECT_EQ(std::string(buf, 4), "abcd");
    EXPECT_EQ(comm->Read(buf, sizeof buf), 2u);
    EXPECT_EQ(std::string(buf, 2), "ef");
    EXPECT_EQ(comm->Read(buf, sizeof buf), 0u);
    EXPECT_EQ(comm->m_nLineError, 0u);
}

TEST_F(CommTest, LineErrorsAreRecordedByReadAndClearedByPurge) {
    ASSERT_TRUE(comm->Open(1, 66560, 66560));
    PanelSends("xy");
    link->InjectLineError(End::Pc, platform::CE_OVERRUN | platform::CE_RXPARITY);
    char buf[8];
    EXPECT_EQ(comm->Read(buf, sizeof buf), 2u);  // the data still arrives
    EXPECT_EQ(comm->m_nLineError, platform::CE_OVERRUN | platform::CE_RXPARITY);
    // A later clean read keeps the record; only Purge clears it.
    EXPECT_EQ(comm->Read(buf, sizeof buf), 0u);
    EXPECT_EQ(comm->m_nLineError, platform::CE_OVERRUN | platform::CE_RXPARITY);
    EXPECT_TRUE(comm->Purge(15));
    EXPECT_EQ(comm->m_nLineError, 0u);
}

TEST_F(CommTest, BaudMismatchShowsAsFrameErrorOnRead) {
    ASSERT_TRUE(comm->Open(1, 66560, 66560));
    ASSERT_TRUE(comm->SetLine(115200, 0, 8, 0));
    PanelSends(
        "\x10"
        "0\r\x1a");  // the panel is still at 9600
    char buf[8];
    EXPECT_EQ(comm->Read(buf, sizeof buf), 4u);
    EXPECT_EQ(comm->m_nLineError, platform::CE_FRAME);
}

TEST_F(CommTest, WriteReachesThePeerAndPurgeDropsInput) {
    ASSERT_TRUE(comm->Open(1, 66560, 66560));
    ASSERT_TRUE(comm->Write("\x05", 1));
    EXPECT_EQ(PanelReceives(), "\x05");
    EXPECT_TRUE(comm->Write("", 0));

    PanelSends("stale");
    std::uint32_t errors = 0;
    platform::QueueStatus status;
    ASSERT_TRUE(comm->ClearError(errors, status));
    EXPECT_EQ(status.inQueue, 5u);
    ASSERT_TRUE(comm->Purge(platform::PURGE_RXCLEAR));
    ASSERT_TRUE(comm->ClearError(errors, status));
    EXPECT_EQ(status.inQueue, 0u);
}

TEST_F(CommTest, BreakAndModemLinesPassThrough) {
    ASSERT_TRUE(comm->Open(1, 66560, 66560));
    ASSERT_TRUE(panel->SetEventMask(platform::EV_BREAK));
    EXPECT_TRUE(comm->EscapeFunction(8));
    EXPECT_TRUE(comm->EscapeFunction(9));
    std::uint32_t ev = 0;
    ASSERT_TRUE(panel->WaitEvent(ev));
    EXPECT_EQ(ev, platform::EV_BREAK);

    std::uint32_t ms = 0;
    ASSERT_TRUE(comm->GetModemStatus(ms));
    EXPECT_NE(ms & 0x10, 0u);
    ASSERT_TRUE(panel->EscapeFunction(platform::CLRRTS));
    ASSERT_TRUE(comm->GetModemStatus(ms));
    EXPECT_EQ(ms & 0x10, 0u);
    EXPECT_TRUE(comm->HasModemLines());
}

// Every setter and pass-through call fails while no port is held.
struct ClosedCall {
    const char* name;
    std::function<bool(CComm&)> call;
};

class CommClosedTest : public ::testing::TestWithParam<ClosedCall> {};

TEST_P(CommClosedTest, FailsWithoutAPort) {
    CComm comm;
    EXPECT_FALSE(GetParam().call(comm));
}

INSTANTIATE_TEST_SUITE_P(
    AllCalls, CommClosedTest,
    ::testing::Values(
        ClosedCall{"SetLine", [](CComm& c) { return c.SetLine(9600, 0, 8, 0); }},
        ClosedCall{"SetCtsRts", [](CComm& c) { return c.SetCtsRts(0, 2); }},
        ClosedCall{"SetDsrDtr", [](CComm& c) { return c.SetDsrDtr(0, 2); }},
        ClosedCall{"SetXonXoff", [](CComm& c) { return c.SetXonXoff(1, 0x11, 0x13, 10, 10); }},
        ClosedCall{"SetEventChar", [](CComm& c) { return c.SetEventChar('\r'); }},
        ClosedCall{"GetState",
                   [](CComm& c) {
                       platform::LineState s;
                       return c.GetState(s);
                   }},
        ClosedCall{"SetState", [](CComm& c) { return c.SetState(platform::LineState{}); }},
        ClosedCall{"ClearError",
                   [](CComm& c) {
                       std::uint32_t e;
                       platform::QueueStatus s;
                       return c.ClearError(e, s);
                   }},
        ClosedCall{"Purge", [](CComm& c) { return c.Purge(15); }},
        ClosedCall{"EscapeFunction", [](CComm& c) { return c.EscapeFunction(8); }},
        ClosedCall{"GetModemStatus",
                   [](CComm& c) {
                       std::uint32_t s = 0xFF;
                       return c.GetModemStatus(s) || s != 0;
                   }},
        ClosedCall{"Write", [](CComm& c) { return c.Write("x", 1); }},
        ClosedCall{"Read",
                   [](CComm& c) {
                       char b[4];
                       return c.Read(b, sizeof b) != 0;
                   }},
        ClosedCall{"CommEventStart", [](CComm& c) { return c.CommEventStart(0x95); }},
        ClosedCall{"CommEventStop", [](CComm& c) { return c.CommEventStop(); }},
        ClosedCall{"Close", [](CComm& c) { return c.Close(); }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(CommTest, SettersChangeOnlyTheirOwnFields) {
    ASSERT_TRUE(comm->Open(1, 66560, 66560));
    ASSERT_TRUE(comm->SetLine(19200, 1, 7, 2));
    ASSERT_TRUE(comm->SetCtsRts(0, 2));
    ASSERT_TRUE(comm->SetXonXoff(1, 0x11, 0x13, 100, 200));
    ASSERT_TRUE(comm->SetEventChar('\x1a'));

    platform::LineState st;
    ASSERT_TRUE(comm->GetState(st));
    EXPECT_EQ(st.baudRate, 19200u);
    EXPECT_EQ(st.parity, 1);
    EXPECT_EQ(st.byteSize, 7);
    EXPECT_EQ(st.stopBits, 2);
    EXPECT_FALSE(st.outxCtsFlow);
    EXPECT_EQ(st.rtsControl, 2);
    EXPECT_TRUE(st.outX);
    EXPECT_TRUE(st.inX);
    EXPECT_EQ(st.xonLim, 100);
    EXPECT_EQ(st.xoffLim, 200);
    EXPECT_EQ(st.evtChar, '\x1a');

    ASSERT_TRUE(comm->SetCtsRts(1, 7));  // 7 & 3 = toggle
    ASSERT_TRUE(comm->GetState(st));
    EXPECT_TRUE(st.outxCtsFlow);
    EXPECT_EQ(st.rtsControl, 3);
    EXPECT_EQ(st.baudRate, 19200u);
}

TEST_F(CommTest, DsrSensitivityOnlyWithDsrFlowAndDtrHandshake) {
    ASSERT_TRUE(comm->Open(1, 66560, 66560));
    platform::LineState st;

    ASSERT_TRUE(comm->SetDsrDtr(1, 2));
    ASSERT_TRUE(comm->GetState(st));
    EXPECT_TRUE(st.outxDsrFlow);
    EXPECT_TRUE(st.dsrSensitivity);

    ASSERT_TRUE(comm->SetDsrDtr(0, 2));  // what the protocol engine asks for
    ASSERT_TRUE(comm->GetState(st));
    EXPECT_FALSE(st.outxDsrFlow);
    EXPECT_FALSE(st.dsrSensitivity);
    EXPECT_EQ(st.dtrControl, 2);

    ASSERT_TRUE(comm->SetDsrDtr(1, 1));
    ASSERT_TRUE(comm->GetState(st));
    EXPECT_FALSE(st.dsrSensitivity);
}

struct ParseCase {
    const char* text;
    int port;
    std::uint32_t baud;
    int dataBits;
    int parity;
    int stopBits;
};

class ParseSettingsTest : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseSettingsTest, Fields) {
    const ParseCase& c = GetParam();
    CComm comm;
    int port = -1, dataBits = -1, parity = -1, stopBits = -1;
    std::uint32_t baud = 0;
    comm.ParseSettings(c.text, port, baud, dataBits, parity, stopBits);
    EXPECT_EQ(port, c.port);
    EXPECT_EQ(baud, c.baud);
    EXPECT_EQ(dataBits, c.dataBits);
    EXPECT_EQ(parity, c.parity);
    EXPECT_EQ(stopBits, c.stopBits);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ParseSettingsTest,
    ::testing::Values(
        ParseCase{"2,9600,N,8,1", 2, 9600, 8, 0, 0}, ParseCase{"3,19200,E,7,2", 3, 19200, 7, 2, 2},
        ParseCase{"4,4800,o,8,1", 4, 4800, 8, 1, 0}, ParseCase{"1,2400,e,8,3", 1, 2400, 8, 2, 0},
        ParseCase{"5,38400,N,8,1", 5, 9600, 8, 0, 0},   // unknown rate
        ParseCase{"5,115200,X,8,2", 5, 9600, 8, 0, 2},  // unknown parity
        ParseCase{"", 2, 9600, 8, 0, 0},
        ParseCase{"7", 2, 9600, 8, 0, 0},  // no comma after the port
        ParseCase{"7,4800", 7, 9600, 8, 0, 0}, ParseCase{"7,4800,O", 7, 4800, 8, 0, 0},
        ParseCase{"7,4800,O,6", 7, 4800, 8, 1, 0}, ParseCase{"7,4800,O,6,", 7, 4800, 6, 1, 0},
        ParseCase{"12,19200,n,8,2,extra", 12, 19200, 8, 0, 2}));

TEST(ParseSettingsLong, TextIsCutAtTheWorkBuffer) {
    CComm comm;
    std::string text = "9,4800,E,7," + std::string(200, '2');
    int port, dataBits, parity, stopBits;
    std::uint32_t baud;
    comm.ParseSettings(text.c_str(), port, baud, dataBits, parity, stopBits);
    EXPECT_EQ(port, 9);
    EXPECT_EQ(dataBits, 7);
    EXPECT_EQ(stopBits, 0);  // a huge number, not 2
}

TEST_F(CommTest, HandlersRunInFixedOrderTransmitEmptyBeforeReceived) {
    EXPECT_TRUE(comm->OnCommEvent(0x1FF));
    EXPECT_EQ(comm->Calls(), (std::vector<std::string>{"Break", "Cts", "Dsr", "Err", "Ring", "Rlsd",
                                                       "TxEmpty", "RxChar", "RxFlag"}));
}

TEST_F(CommTest, AHandlerReturningFalseEndsTheChain) {
    comm->failOn = "TxEmpty";
    EXPECT_FALSE(comm->OnCommEvent(platform::EV_RXCHAR | platform::EV_TXEMPTY | platform::EV_ERR));
    EXPECT_EQ(comm->Calls(), (std::vector<std::string>{"Err", "TxEmpty"}));
}

TEST_F(CommTest, EventThreadDeliversPortEvents) {
    ASSERT_TRUE(comm->Open(1, 66560, 66560));
    ASSERT_TRUE(comm->CommEventStart(0x95));
    EXPECT_TRUE(comm->EventThreadRunning());
    EXPECT_FALSE(comm->CommEventStart(0x95));  // one thread at a time

    PanelSends("A");
    ASSERT_TRUE(Eventually([&] { return comm->Saw("RxChar"); }));
    ASSERT_TRUE(comm->Write("B", 1));
    ASSERT_TRUE(Eventually([&] { return comm->Saw("TxEmpty"); }));
    link->InjectLineError(End::Pc, platform::CE_FRAME);
    ASSERT_TRUE(Eventually([&] { return comm->Saw("Err"); }));

    EXPECT_TRUE(comm->CommEventStop());
    EXPECT_FALSE(comm->EventThreadRunning());
    EXPECT_FALSE(comm->CommEventStop());  // second stop in a row
    EXPECT_TRUE(comm->Close());
}

TEST_F(CommTest, StopBeforeAnyStartIsRefused) {
    ASSERT_TRUE(comm->Open(1, 66560, 66560));
    EXPECT_FALSE(comm->CommEventStop());
}

TEST_F(CommTest, StopAfterTheThreadEndedOnItsOwnDoesNotWait) {
    ASSERT_TRUE(comm->Open(1, 66560, 66560));
    comm->failOn = "RxChar";
    ASSERT_TRUE(comm->CommEventStart(platform::EV_RXCHAR));
    PanelSends("A");
    ASSERT_TRUE(Eventually([&] { return !comm->EventThreadRunning(); }));

    // Under a manual clock a stop that had to wait would block in Sleep for good.
    {
        platform::ManualClock clock;
        platform::ScopedClock useClock(clock);
        EXPECT_TRUE(comm->CommEventStop());
    }
    EXPECT_FALSE(comm->CommEventStop());

    // The port can run a new event thread afterwards.
    comm->failOn.clear();
    ASSERT_TRUE(comm->CommEventStart(platform::EV_RXCHAR));
    EXPECT_TRUE(comm->CommEventStop());
}

TEST_F(CommTest, StopRightAfterStartEndsTheThread) {
    ASSERT_TRUE(comm->Open(1, 66560, 66560));
    for (int i = 0; i < 50; ++i) {
        ASSERT_TRUE(comm->CommEventStart(0x95));
        ASSERT_TRUE(comm->CommEventStop());
        EXPECT_FALSE(comm->EventThreadRunning());
    }
}

TEST_F(CommTest, CloseStopsARunningEventThread) {
    ASSERT_TRUE(comm->Open(1, 66560, 66560));
    ASSERT_TRUE(comm->CommEventStart(0x95));
    EXPECT_TRUE(comm->Close());
    EXPECT_FALSE(comm->EventThreadRunning());
    EXPECT_FALSE(link->IsEndOpen(End::Pc));
}

TEST_F(CommTest, CloseFromAHandlerEndsTheThread) {
    ASSERT_TRUE(comm->Open(1, 66560, 66560));
    comm->onRxChar = [this] { comm->Close(); };
    ASSERT_TRUE(comm->CommEventStart(platform::EV_RXCHAR));
    PanelSends("A");
    ASSERT_TRUE(Eventually([&] { return !comm->EventThreadRunning(); }));
    EXPECT_FALSE(comm->IsOpen());
    EXPECT_FALSE(link->IsEndOpen(End::Pc));
    // The object can open the port again and run a new thread.
    comm->onRxChar = nullptr;
    ASSERT_TRUE(comm->Open(1, 66560, 66560));
    ASSERT_TRUE(comm->CommEventStart(platform::EV_RXCHAR));
    EXPECT_TRUE(comm->CommEventStop());
}

TEST_F(CommTest, EngineThreadReadsAndWritesWhileTheEventThreadWaits) {
    ASSERT_TRUE(comm->Open(1, 66560, 66560));
    ASSERT_TRUE(comm->CommEventStart(0x95));
    std::string got;
    for (int i = 0; i < 200; ++i) {
        PanelSends("z");
        ASSERT_TRUE(comm->Write("q", 1));
        char buf[8];
        got.append(buf, comm->Read(buf, sizeof buf));
        std::uint32_t errors;
        platform::QueueStatus status;
        comm->ClearError(errors, status);
        if (i % 50 == 0) {
            comm->Purge(15);
        }
    }
    EXPECT_TRUE(comm->CommEventStop());
    EXPECT_EQ(PanelReceives(), std::string(200, 'q'));
}

}  // namespace
}  // namespace kz

#include "platform/VirtualSerial.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace kz::platform {
namespace {

using End = VirtualSerialLink::End;

std::string ReadAll(ISerialDevice& dev) {
    std::string out;
    char buf[256];
    while (std::size_t n = dev.Read(buf, sizeof buf)) {
        out.append(buf, n);
    }
    return out;
}

bool WriteText(ISerialDevice& dev, const std::string& text) {
    return dev.Write(text.data(), text.size());
}

class VirtualLinkTest : public ::testing::Test {
  protected:
    void SetUp() override {
        link = VirtualSerialLink::Create(
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        ASSERT_TRUE(link);
        pc = link->OpenEnd(End::Pc);
        panel = link->OpenEnd(End::Panel);
        ASSERT_TRUE(pc && panel);
    }

    std::shared_ptr<VirtualSerialLink> link;
    std::unique_ptr<ISerialDevice> pc;
    std::unique_ptr<ISerialDevice> panel;
};

TEST_F(VirtualLinkTest, BytesFlowBothWaysAndAreCounted) {
    ASSERT_TRUE(WriteText(*pc, "\x1bMID26\r"));
    ASSERT_TRUE(WriteText(*panel, "\x1bOK\r\x1a"));
    EXPECT_EQ(ReadAll(*panel), "\x1bMID26\r");
    EXPECT_EQ(ReadAll(*pc), "\x1bOK\r\x1a");
    EXPECT_EQ(link->BytesWritten(End::Pc), 7u);
    EXPECT_EQ(link->BytesWritten(End::Panel), 5u);
}

TEST_F(VirtualLinkTest, ReadTakesAtMostMaxAndLeavesTheRest) {
    ASSERT_TRUE(WriteText(*panel, "abcdef"));
    char buf[8] = {};
    EXPECT_EQ(pc->Read(buf, 4), 4u);
    EXPECT_EQ(std::string(buf, 4), "abcd");
    std::uint32_t errors = 0;
    QueueStatus status;
    ASSERT_TRUE(pc->ClearError(errors, status));
    EXPECT_EQ(status.inQueue, 2u);
    EXPECT_EQ(ReadAll(*pc), "ef");
    EXPECT_EQ(pc->Read(buf, sizeof buf), 0u);
}

TEST(VirtualLinkRegistry, NameIsUniqueWhileAliveAndOpensThePcEnd) {
    auto link = VirtualSerialLink::Create("registry-a");
    ASSERT_TRUE(link);
    EXPECT_FALSE(VirtualSerialLink::Create("registry-a"));
    DeviceOpenError error;
    auto pc = OpenSerialDevice("virtual:registry-a", &error);
    ASSERT_TRUE(pc) << error.reason;
    EXPECT_TRUE(link->IsEndOpen(End::Pc));
    EXPECT_FALSE(OpenSerialDevice("virtual:registry-a", &error));
    EXPECT_EQ(error.kind, OpenFailure::Busy);
    EXPECT_FALSE(link->OpenEnd(End::Pc));
    pc.reset();
    EXPECT_TRUE(link->OpenEnd(End::Pc));  // reopen after close

    link.reset();
    EXPECT_FALSE(OpenSerialDevice("virtual:registry-a", &error));
    EXPECT_EQ(error.kind, OpenFailure::NoDevice);
    EXPECT_TRUE(VirtualSerialLink::Create("registry-a"));
}

TEST_F(VirtualLinkTest, EventsAccumulateUntilTheNextWait) {
    ASSERT_TRUE(pc->SetEventMask(EV_RXCHAR | EV_TXEMPTY | EV_ERR));
    ASSERT_TRUE(panel->SetEventMask(EV_RXCHAR));
    ASSERT_TRUE(WriteText(*pc, "x"));
    ASSERT_TRUE(WriteText(*panel, "y"));
    std::uint32_t ev = 0;
    ASSERT_TRUE(pc->WaitEvent(ev));
    EXPECT_EQ(ev, EV_RXCHAR | EV_TXEMPTY);
    ASSERT_TRUE(panel->WaitEvent(ev));
    EXPECT_EQ(ev, EV_RXCHAR);
}

TEST_F(VirtualLinkTest, UnmaskedEventsAreNotReported) {
    ASSERT_TRUE(pc->SetEventMask(EV_ERR));
    ASSERT_TRUE(WriteText(*panel, "y"));  // EV_RXCHAR, not masked
    link->InjectLineError(End::Pc, CE_OVERRUN);
    std::uint32_t ev = 0;
    ASSERT_TRUE(pc->WaitEvent(ev));
    EXPECT_EQ(ev, EV_ERR);
    std::uint32_t errors = 0;
    QueueStatus status;
    ASSERT_TRUE(pc->ClearError(errors, status));
    EXPECT_EQ(errors, CE_OVERRUN);
    ASSERT_TRUE(pc->ClearError(errors, status));
    EXPECT_EQ(errors, 0u);
}

TEST_F(VirtualLinkTest, SetEventMaskReleasesAPendingWaitWithNoEvents) {
    ASSERT_TRUE(pc->SetEventMask(EV_RXCHAR));
    std::uint32_t ev = 0xFFFF;
    bool ok = false;
    std::thread waiter([&] { ok = pc->WaitEvent(ev); });
    ASSERT_TRUE(link->WaitForEventWaiter(End::Pc));
    ASSERT_TRUE(pc->SetEventMask(EV_RXCHAR));
    waiter.join();
    EXPECT_TRUE(ok);
    EXPECT_EQ(ev, 0u);
}

TEST_F(VirtualLinkTest, DestroyingTheDeviceReleasesItsWaiter) {
    ASSERT_TRUE(pc->SetEventMask(EV_RXCHAR));
    bool ok = true;
    std::thread waiter([&, dev = pc.get()] {
        std::uint32_t ev = 0;
        ok = dev->WaitEvent(ev);
    });
    ASSERT_TRUE(link->WaitForEventWaiter(End::Pc));
    pc.reset();
    waiter.join();
    EXPECT_FALSE(ok);
    EXPECT_FALSE(link->IsEndOpen(End::Pc));
}

TEST_F(VirtualLinkTest, ModemLinesCrossOver) {
    std::uint32_t ms = 0;
    ASSERT_TRUE(pc->GetModemStatus(ms));
    EXPECT_EQ(ms & (MS_CTS_ON | MS_DSR_ON), MS_CTS_ON | MS_DSR_ON);  // enable by default

    ASSERT_TRUE(pc->SetEventMask(EV_CTS | EV_DSR));
    ASSERT_TRUE(panel->EscapeFunction(CLRRTS));
    std::uint32_t ev = 0;
    ASSERT_TRUE(pc->WaitEvent(ev));
    EXPECT_EQ(ev, EV_CTS);
    ASSERT_TRUE(pc->GetModemStatus(ms));
    EXPECT_EQ(ms & (MS_CTS_ON | MS_DSR_ON), MS_DSR_ON);

    LineState st;
    ASSERT_TRUE(panel->GetLineState(st));
    st.dtrControl = 0;  // disable
    st.rtsControl = 2;  // handshake: on
    ASSERT_TRUE(panel->SetLineState(st));
    ASSERT_TRUE(pc->WaitEvent(ev));
    EXPECT_EQ(ev, EV_CTS | EV_DSR);
    ASSERT_TRUE(pc->GetModemStatus(ms));
    EXPECT_EQ(ms & (MS_CTS_ON | MS_DSR_ON), MS_CTS_ON);

    // The other direction, and a closed end drops its lines.
    ASSERT_TRUE(pc->EscapeFunction(CLRDTR));
    ASSERT_TRUE(panel->GetModemStatus(ms));
    EXPECT_EQ(ms & (MS_CTS_ON | MS_DSR_ON), MS_CTS_ON);
    panel.reset();
    ASSERT_TRUE(pc->GetModemStatus(ms));
    EXPECT_EQ(ms, 0u);
}

TEST_F(VirtualLinkTest, BreakReachesThePeerAsEventAndError) {
    ASSERT_TRUE(panel->SetEventMask(EV_BREAK | EV_ERR));
    ASSERT_TRUE(pc->EscapeFunction(SETBREAK));
    ASSERT_TRUE(pc->EscapeFunction(CLRBREAK));
    std::uint32_t ev = 0;
    ASSERT_TRUE(panel->WaitEvent(ev));
    EXPECT_EQ(ev, EV_BREAK);
    std::uint32_t errors = 0;
    QueueStatus status;
    ASSERT_TRUE(panel->ClearError(errors, status));
    EXPECT_EQ(errors, CE_BREAK);
    EXPECT_FALSE(pc->EscapeFunction(99));
}

TEST_F(VirtualLinkTest, BaudMismatchGarblesAndFlagsFrameError) {
    LineState st;
    ASSERT_TRUE(pc->GetLineState(st));
    st.baudRate = 115200;
    ASSERT_TRUE(pc->SetLineState(st));
    ASSERT_TRUE(panel->SetEventMask(EV_ERR | EV_RXCHAR));
    ASSERT_TRUE(WriteText(*pc, "AB"));
    std::uint32_t ev = 0;
    ASSERT_TRUE(panel->WaitEvent(ev));
    EXPECT_EQ(ev, EV_ERR | EV_RXCHAR);
    EXPECT_EQ(ReadAll(*panel), std::string(2, '\0'));
    std::uint32_t errors = 0;
    QueueStatus status;
    ASSERT_TRUE(panel->ClearError(errors, status));
    EXPECT_EQ(errors, CE_FRAME);

    // Once both ends agree the bytes pass unharmed.
    ASSERT_TRUE(panel->GetLineState(st));
    st.baudRate = 115200;
    ASSERT_TRUE(panel->SetLineState(st));
    ASSERT_TRUE(WriteText(*pc, "AB"));
    EXPECT_EQ(ReadAll(*panel), "AB");
    ASSERT_TRUE(panel->ClearError(errors, status));
    EXPECT_EQ(errors, 0u);
}

TEST_F(VirtualLinkTest, PurgeDropsInputAndUndeliveredOutput) {
    link->SetWireTiming(true);
    LineState st;
    ASSERT_TRUE(pc->GetLineState(st));
    st.baudRate = 110;  // 91 ms a byte: the output stays queued
    ASSERT_TRUE(pc->SetLineState(st));
    ASSERT_TRUE(panel->SetLineState(st));
    ASSERT_TRUE(WriteText(*panel, "in"));
    ASSERT_TRUE(WriteText(*pc, std::string(200, 'o')));
    std::uint32_t errors = 0;
    QueueStatus status;
    ASSERT_TRUE(pc->ClearError(errors, status));
    EXPECT_GT(status.outQueue, 0u);
    ASSERT_TRUE(pc->Purge(PURGE_TXCLEAR | PURGE_RXCLEAR));
    ASSERT_TRUE(pc->ClearError(errors, status));
    EXPECT_EQ(status.outQueue, 0u);
    EXPECT_EQ(status.inQueue, 0u);
    EXPECT_EQ(pc->Read(&errors, 1), 0u);
    EXPECT_LT(ReadAll(*panel).size(), 200u);
}

TEST_F(VirtualLinkTest, WireTimingDeliversInOrderAndRaisesTxEmptyWhenDrained) {
    link->SetWireTiming(true);
    link->SetOutputQueueLimit(64);
    LineState st;
    ASSERT_TRUE(pc->GetLineState(st));
    st.baudRate = 115200;
    ASSERT_TRUE(pc->SetLineState(st));
    ASSERT_TRUE(panel->SetLineState(st));
    ASSERT_TRUE(pc->SetEventMask(EV_TXEMPTY));
    ASSERT_TRUE(panel->SetEventMask(EV_RXCHAR));

    std::string sent;
    for (int i = 0; i < 1000; ++i) {
        sent.push_back(static_cast<char>(i * 7));
    }
    // Larger than the output queue: Write blocks while it is full and takes it all.
    ASSERT_TRUE(WriteText(*pc, sent));
    std::uint32_t errors = 0;
    QueueStatus status;
    ASSERT_TRUE(pc->ClearError(errors, status));
    EXPECT_LE(status.outQueue, 64u);

    std::string got;
    while (got.size() < sent.size()) {
        std::uint32_t ev = 0;
        ASSERT_TRUE(panel->WaitEvent(ev));
        got += ReadAll(*panel);
    }
    EXPECT_EQ(got, sent);
    std::uint32_t ev = 0;
    ASSERT_TRUE(pc->WaitEvent(ev));
    EXPECT_EQ(ev, EV_TXEMPTY);
    ASSERT_TRUE(pc->ClearError(errors, status));
    EXPECT_EQ(status.outQueue, 0u);
}

}  // namespace
}  // namespace kz::platform

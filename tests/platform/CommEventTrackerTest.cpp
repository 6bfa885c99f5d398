// The events a looking serial backend makes from successive looks at a port.
#include "platform/CommEventTracker.h"

#include <gtest/gtest.h>

#include "platform/SerialDevice.h"

namespace kz::platform {
namespace {

constexpr std::uint32_t kAll =
    EV_RXCHAR | EV_TXEMPTY | EV_CTS | EV_DSR | EV_RLSD | EV_BREAK | EV_ERR | EV_RING;

CommEventTracker::Observation Queues(std::uint32_t in, std::uint32_t out = 0) {
    CommEventTracker::Observation o;
    o.inQueue = in;
    o.outQueue = out;
    return o;
}

CommEventTracker::Observation Lines(std::uint32_t modem) {
    CommEventTracker::Observation o;
    o.modemValid = true;
    o.modem = modem;
    return o;
}

TEST(CommEventTrackerTest, InputIsReportedOnceUntilMoreArrives) {
    CommEventTracker t;
    t.SetMask(kAll);
    t.Observe(Queues(0));
    EXPECT_EQ(t.TakeEvents(), 0u);
    t.Observe(Queues(5));
    EXPECT_EQ(t.TakeEvents(), EV_RXCHAR);
    // Nothing new while the same bytes wait unread.
    t.Observe(Queues(5));
    EXPECT_EQ(t.TakeEvents(), 0u);
    t.Observe(Queues(7));
    EXPECT_EQ(t.TakeEvents(), EV_RXCHAR);
}

TEST(CommEventTrackerTest, InputArrivingAfterAPartialReadIsReported) {
    CommEventTracker t;
    t.SetMask(EV_RXCHAR);
    t.Observe(Queues(10));
    ASSERT_EQ(t.TakeEvents(), EV_RXCHAR);
    t.Consumed(4);
    // Six were left, two came: the count looks smaller than what was seen before.
    t.Observe(Queues(8));
    EXPECT_EQ(t.TakeEvents(), EV_RXCHAR);
    t.Consumed(100);  // more than was reported never wraps
    t.Observe(Queues(0));
    EXPECT_EQ(t.TakeEvents(), 0u);
}

TEST(CommEventTrackerTest, PurgedInputIsNewWhenItComesAgain) {
    CommEventTracker t;
    t.SetMask(EV_RXCHAR);
    t.Observe(Queues(3));
    ASSERT_EQ(t.TakeEvents(), EV_RXCHAR);
    t.InputPurged();
    t.Observe(Queues(3));
    EXPECT_EQ(t.TakeEvents(), EV_RXCHAR);
}

TEST(CommEventTrackerTest, TxEmptyOnlyAfterAWriteAndOnlyOnce) {
    CommEventTracker t;
    t.SetMask(kAll);
    t.Observe(Queues(0, 0));
    EXPECT_EQ(t.TakeEvents(), 0u) << "no write, no EV_TXEMPTY";
    t.Written();
    t.Observe(Queues(0, 12));
    EXPECT_EQ(t.TakeEvents(), 0u);
    t.Observe(Queues(0, 0));
    EXPECT_EQ(t.TakeEvents(), EV_TXEMPTY);
    t.Observe(Queues(0, 0));
    EXPECT_EQ(t.TakeEvents(), 0u);
}

TEST(CommEventTrackerTest, LineErrorsRaiseEventsAndStayPendingForTheCaller) {
    CommEventTracker t;
    t.SetMask(kAll);
    CommEventTracker::Observation o;
    o.errors = CE_FRAME;
    t.Observe(o);
    EXPECT_EQ(t.TakeEvents(), EV_ERR);
    o.errors = CE_BREAK;
    t.Observe(o);
    EXPECT_EQ(t.TakeEvents(), EV_BREAK);
    // The driver cleared its bits at each look; both still reach ClearError once.
    t.Observe(Queues(0));
    EXPECT_EQ(t.TakeErrors(), CE_FRAME | CE_BREAK);
    EXPECT_EQ(t.TakeErrors(), 0u);
}

TEST(CommEventTrackerTest, ErrorsAreKeptEvenWhenTheirEventIsMasked) {
    CommEventTracker t;
    t.SetMask(EV_RXCHAR);
    CommEventTracker::Observation o;
    o.errors = CE_OVERRUN | CE_RXPARITY;
    t.Observe(o);
    EXPECT_EQ(t.TakeEvents(), 0u);
    EXPECT_EQ(t.TakeErrors(), CE_OVERRUN | CE_RXPARITY);
}

struct LineCase {
    const char* name;
    std::uint32_t before;
    std::uint32_t after;
    std::uint32_t events;
};

class CommEventTrackerLineTest : public ::testing::TestWithParam<LineCase> {};

TEST_P(CommEventTrackerLineTest, ChangeOfALineRaisesItsEvent) {
    const LineCase& c = GetParam();
    CommEventTracker t;
    t.SetMask(kAll);
    t.Observe(Lines(c.before));
    EXPECT_EQ(t.TakeEvents(), 0u) << "the first look only learns the lines";
    t.Observe(Lines(c.after));
    EXPECT_EQ(t.TakeEvents(), c.events);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, CommEventTrackerLineTest,
    ::testing::Values(LineCase{"CtsOff", MS_CTS_ON, 0, EV_CTS},
                      LineCase{"CtsOn", 0, MS_CTS_ON, EV_CTS},
                      LineCase{"DsrOn", 0, MS_DSR_ON, EV_DSR},
                      LineCase{"RlsdOff", MS_RLSD_ON | MS_CTS_ON, MS_CTS_ON, EV_RLSD},
                      LineCase{"RingStarts", 0, MS_RING_ON, 0},
                      LineCase{"RingEnds", MS_RING_ON, 0, EV_RING},
                      LineCase{"Unchanged", MS_CTS_ON | MS_DSR_ON, MS_CTS_ON | MS_DSR_ON, 0}),
    [](const ::testing::TestParamInfo<LineCase>& info) { return info.param.name; });

TEST(CommEventTrackerTest, LinesThatCannotBeReadRaiseNothing) {
    CommEventTracker t;
    t.SetMask(kAll);
    t.Observe(Lines(MS_CTS_ON));
    t.Observe(Queues(0));  // modemValid false: not a change to "all off"
    EXPECT_EQ(t.TakeEvents(), 0u);
    t.Observe(Lines(MS_CTS_ON));
    EXPECT_EQ(t.TakeEvents(), 0u);
}

TEST(CommEventTrackerTest, MaskFiltersAndANewMaskDropsUnreportedEvents) {
    CommEventTracker t;
    t.SetMask(EV_TXEMPTY);
    t.Observe(Queues(4));
    EXPECT_EQ(t.TakeEvents(), 0u) << "EV_RXCHAR is not in the mask";
    t.SetMask(kAll);
    t.Written();
    t.Observe(Queues(4, 0));
    ASSERT_EQ(t.Mask(), kAll);
    // The bytes already seen under the old mask are not news.
    EXPECT_EQ(t.TakeEvents(), EV_TXEMPTY);
    t.Observe(Queues(6));
    t.SetMask(kAll);
    EXPECT_EQ(t.TakeEvents(), 0u) << "a mask change reports no events";
}

}  // namespace
}  // namespace kz::platform

// What our LAN library takes from the operating system (sim/kevrosa/KevrosaSystem.h): the
// address parser that both its POSIX and its Winsock side provide, and the waker that a
// cancel uses to end a wait on a socket.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <string>
#include <thread>

#include "sim/kevrosa/KevrosaCard.h"
#include "sim/kevrosa/KevrosaSystem.h"

namespace kz::test {
namespace {

using namespace kevrosa::library;

TEST(KevrosaCardExtension, OnlyTheFileNamesDotCounts) {
    EXPECT_EQ(CardExtensionOf("/data/zi00001.bin"), ".BIN");
    EXPECT_EQ(CardExtensionOf("/data.old/ZI00001"), "");
    EXPECT_EQ(CardExtensionOf("C:\\dir.x\\ZI00001"), "");
    EXPECT_EQ(CardExtensionOf("C:\\dir.x\\ZI00001.Dat"), ".DAT");
}

struct AddressCase {
    const char* name;
    std::string text;
    std::optional<std::uint32_t> address;
};

class KevrosaAddressTest : public ::testing::TestWithParam<AddressCase> {};

TEST_P(KevrosaAddressTest, ReadsOnlyTheDottedForm) {
    EXPECT_EQ(ParseIPv4(GetParam().text), GetParam().address);
}

INSTANTIATE_TEST_SUITE_P(Texts, KevrosaAddressTest,
                         ::testing::Values(AddressCase{"Loopback", "127.0.0.1", 0x7F000001},
                                           AddressCase{"Lowest", "0.0.0.0", 0x00000000},
                                           AddressCase{"Highest", "255.255.255.255", 0xFFFFFFFF},
                                           AddressCase{"OctetOrder", "10.20.30.40", 0x0A141E28},
                                           AddressCase{"Empty", "", std::nullopt},
                                           AddressCase{"PartAbove255", "256.0.0.1", std::nullopt},
                                           AddressCase{"FourDigits", "1000.0.0.1", std::nullopt},
                                           AddressCase{"ThreeParts", "127.0.1", std::nullopt},
                                           AddressCase{"FiveParts", "1.2.3.4.5", std::nullopt},
                                           AddressCase{"EmptyPart", "1..2.3", std::nullopt},
                                           AddressCase{"TrailingDot", "1.2.3.4.", std::nullopt},
                                           AddressCase{"LeadingZero", "127.0.0.01", std::nullopt},
                                           AddressCase{"Sign", "1.2.3.-4", std::nullopt},
                                           AddressCase{"Blank", " 1.2.3.4", std::nullopt},
                                           AddressCase{"TrailingText", "1.2.3.4x", std::nullopt},
                                           AddressCase{"Name", "localhost", std::nullopt},
                                           AddressCase{"Hex", "0x7f.0.0.1", std::nullopt}),
                         [](const auto& info) { return std::string(info.param.name); });

// A socket that never becomes ready: the reading end of a connection to nowhere is not
// at hand here, so the waker's own end (nothing sent to it yet) stands in for it.
class KevrosaWakerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(StartSockets());
        started = true;
    }
    void TearDown() override {
        if (started) {
            StopSockets();
        }
    }
    bool started = false;
};

TEST_F(KevrosaWakerTest, WakeEndsAWaitThatIsInterrupted) {
    Waker quiet;
    Waker waker;
    ASSERT_NE(quiet.Watched(), kNoSocket);
    ASSERT_NE(waker.Watched(), kNoSocket);
    std::atomic<bool> cancelled{false};
    std::thread canceller([&] {
        cancelled = true;
        waker.Wake();
    });
    // Without the wake-up this waits out the hour and the test program's own limit.
    const int result =
        WaitReady(quiet.Watched(), Readiness::Read, SystemClock::now() + std::chrono::hours(1),
                  &waker, [&] { return cancelled.load(); });
    canceller.join();
    EXPECT_EQ(result, -1);
}

TEST_F(KevrosaWakerTest, AStaleWakeUpIsDrainedAndWaitedPast) {
    Waker quiet;
    Waker waker;
    ASSERT_NE(waker.Watched(), kNoSocket);
    waker.Wake();
    // Nothing is interrupted: the wait ends at its deadline, not at the wake-up.
    EXPECT_EQ(
        WaitReady(quiet.Watched(), Readiness::Read,
                  SystemClock::now() + std::chrono::milliseconds(50), &waker, [] { return false; }),
        0);
    // The wake-up was taken: the waker's end has nothing more to read.
    EXPECT_EQ(WaitReadable(waker.Watched(), 0), 0);
}

TEST_F(KevrosaWakerTest, ASentWakeUpMakesTheWatchedEndReadable) {
    Waker waker;
    ASSERT_NE(waker.Watched(), kNoSocket);
    EXPECT_EQ(WaitReadable(waker.Watched(), 0), 0);
    waker.Wake();
    EXPECT_EQ(WaitReadable(waker.Watched(), -1), 1);
    waker.Drain();
    EXPECT_EQ(WaitReadable(waker.Watched(), 0), 0);
}

}  // namespace
}  // namespace kz::test

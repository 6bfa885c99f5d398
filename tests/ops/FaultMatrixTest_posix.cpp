// The fault matrix's verdicts, and a small fixed-seed slice of the matrix itself: one run
// of each fault class, none of which may end wrongly.
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "FaultMatrix.h"
#include "config/MessageIds.h"

namespace kz::fm {
namespace {

struct VerdictCase {
    const char* name;
    Observed seen;
    Outcome outcome;
};

Observed Seen(bool finished, bool completed, bool exact, bool intact, bool mustFail, int error) {
    Observed seen;
    seen.finished = finished;
    seen.completed = completed;
    seen.resultExact = exact;
    seen.intact = intact;
    seen.mustFail = mustFail;
    seen.error = error;
    return seen;
}

Observed Crashed() {
    Observed seen;
    seen.crashed = true;
    return seen;
}

class VerdictTest : public ::testing::TestWithParam<VerdictCase> {};

TEST_P(VerdictTest, ClassifiesTheRun) {
    const Verdict verdict = Classify(GetParam().seen);
    EXPECT_EQ(verdict.outcome, GetParam().outcome) << verdict.reason;
    EXPECT_EQ(verdict.reason.empty(), GetParam().outcome != Outcome::Wrong);
}

constexpr int kDone = msg::kCompleted;
constexpr int kRetry = msg::kRetryOver;

INSTANTIATE_TEST_SUITE_P(
    Runs, VerdictTest,
    ::testing::Values(
        VerdictCase{"CompletedExact", Seen(true, true, true, true, false, kDone), Outcome::Exact},
        VerdictCase{"FailedWithError", Seen(true, false, false, true, false, kRetry),
                    Outcome::RightError},
        // A failed run need not leave an exact result, only its old files.
        VerdictCase{"FailedMustFail", Seen(true, false, false, true, true, kRetry),
                    Outcome::RightError},
        VerdictCase{"CompletedNotExact", Seen(true, true, false, true, false, kDone),
                    Outcome::Wrong},
        VerdictCase{"SuccessForAFailure", Seen(true, true, true, true, true, kDone),
                    Outcome::Wrong},
        VerdictCase{"ExistingFileDamaged", Seen(true, false, false, false, false, kRetry),
                    Outcome::Wrong},
        VerdictCase{"CompletedButFileDamaged", Seen(true, true, true, false, false, kDone),
                    Outcome::Wrong},
        VerdictCase{"Hang", Seen(false, false, false, true, false, 0), Outcome::Wrong},
        VerdictCase{"EndedWithoutError", Seen(true, false, false, true, false, 0), Outcome::Wrong},
        VerdictCase{"Crash", Crashed(), Outcome::Wrong}),
    [](const auto& info) { return std::string(info.param.name); });

// One run of each fault class: the cheapest operation the class has (CF transfers and LAN
// runs are short, serial memory operations longer).
std::vector<Case> Slice() {
    std::map<std::string, Case> first;
    auto cost = [](const Case& c) {
        return (c.lan ? 0 : 10) + (IsMemoryOp(c.op) ? 5 : 0) + static_cast<int>(c.op);
    };
    for (Case& c : BuildMatrix(/*quick=*/true, 2026)) {
        const auto it = first.find(c.fault);
        if (it == first.end() || cost(c) < cost(it->second)) {
            first[c.fault] = std::move(c);
        }
    }
    std::vector<Case> slice;
    for (auto& [fault, c] : first) {
        slice.push_back(std::move(c));
    }
    return slice;
}

TEST(FaultMatrixSlice, NoRunEndsWrongly) {
    const std::vector<Case> slice = Slice();
    ASSERT_GE(slice.size(), 20u);
    int completed = 0;
    for (const Case& c : slice) {
        const Verdict verdict = Classify(RunCase(c, std::chrono::seconds(120)));
        EXPECT_NE(verdict.outcome, Outcome::Wrong) << c.label << ": " << verdict.reason;
        completed += verdict.outcome == Outcome::Exact ? 1 : 0;
    }
    // The baseline runs at least complete.
    EXPECT_GE(completed, 1);
}

// The runner itself sees what it must: a completion where none is possible, a run past its
// bound, the requests a clean LAN run makes.
TEST(FaultMatrixRunner, FlagsASuccessWhereNoneIsPossible) {
    Case c;
    c.fault = "none";
    c.op = Op::CfSend;
    c.lan = true;
    c.mustFail = true;
    const Observed seen = RunCase(c);
    EXPECT_TRUE(seen.finished);
    EXPECT_TRUE(seen.completed);
    EXPECT_TRUE(seen.resultExact);
    EXPECT_EQ(Classify(seen).outcome, Outcome::Wrong);
}

TEST(FaultMatrixRunner, EndsARunPastItsBoundAsAHang) {
    Case c;
    c.fault = "slow";
    c.op = Op::CfSend;
    c.setFaults = true;
    c.faults.answerDelay = std::chrono::seconds(30);  // on the protocol clock
    const Observed seen = RunCase(c, std::chrono::seconds(1));
    EXPECT_FALSE(seen.finished);
    EXPECT_FALSE(seen.crashed);
    EXPECT_EQ(Classify(seen).reason, "hang past the bound");
}

TEST(FaultMatrixRunner, FindsTheRequestsOfACleanLanRun) {
    const std::vector<unsigned> backup = LanOpsMet(Op::Backup);
    const std::vector<unsigned> send = LanOpsMet(Op::CfSend);
    ASSERT_GT(backup.size(), static_cast<std::size_t>(kevrosa::Op::CfWrite));
    ASSERT_GT(send.size(), static_cast<std::size_t>(kevrosa::Op::CfWrite));
    // 80 KiB in reads of at most 0x8000 bytes.
    EXPECT_GE(backup[static_cast<std::size_t>(kevrosa::Op::Read)], 3u);
    EXPECT_EQ(backup[static_cast<std::size_t>(kevrosa::Op::CfWrite)], 0u);
    EXPECT_GE(send[static_cast<std::size_t>(kevrosa::Op::CfWrite)], 2u);
    EXPECT_EQ(send[static_cast<std::size_t>(kevrosa::Op::Read)], 0u);
}

// The full matrix has at least 1000 runs and meets every LAN fault kind and every class.
TEST(FaultMatrixCases, CoverEveryFaultKind) {
    const std::vector<Case> cases = BuildMatrix(/*quick=*/false, 2026);
    EXPECT_GE(cases.size(), 1000u);
    std::set<sim::LanFault::Kind> kinds;
    std::set<std::string> labels;
    for (const Case& c : cases) {
        if (c.lanFault) {
            kinds.insert(c.lanFault->kind);
        }
        EXPECT_TRUE(labels.insert(c.label).second) << "twice: " << c.label;
    }
    EXPECT_EQ(kinds.size(), 7u);  // all but the hostile file name
}

}  // namespace
}  // namespace kz::fm

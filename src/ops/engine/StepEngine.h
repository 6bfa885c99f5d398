// The step engine shared by every operation: an operation is a fixed table of steps,
// walked by a dispatcher that is re-entered whenever an event arrives. A step returns true
// when it is finished (successfully, or with m_nError set) and false while it waits for
// another event. After a finished step the next index follows from the operation's
// redirection rule: errors in the early zone go straight to the terminate step, errors in
// the main zone go to the step that closes the link first, and otherwise the walk moves on
// by one, never past the end marker.
//
//   start ──► step[m_nPhase](event) ──false──► return (wait for the next event)
//                    │true
//                    ▼
//          m_nPhase = NextStep(kind, m_nPhase, m_nError); event = EVENT_NONE; repeat
#pragma once

#include <array>
#include <cstddef>
#include <span>

#include "config/MessageIds.h"

namespace kz {

// Operation events.
inline constexpr int EVENT_NONE = 0;
inline constexpr int EVENT_TIMEOUT = 1;
inline constexpr int EVENT_RECEIVED = 2;
inline constexpr int EVENT_SENT = 3;
inline constexpr int EVENT_LINE_ERROR = 5;
inline constexpr int EVENT_ABORT = 6;

// The ten operation classes; each has its own table length and redirection rule.
enum class OperationKind {
    Backup,
    Restore,
    Verify,
    CfReceive,
    CfSend,
    BackupMtoM,
    RestoreMtoM,
    VerifyMtoM,
    CfReceiveMtoM,
    CfSendMtoM,
};

// One operation's redirection rule: an error at a phase below earlyEnd goes to terminate; an
// error at a phase below mainEnd goes to close (the step that ends the link first), except
// that a CF operation sends msg::kCheckPower (the link is gone, nothing to close) straight
// to terminate, and the LAN CF receive sends msg::kFileWrite to its own closing step; any
// other finished step moves on by one, never past the end marker at count - 1.
struct StepRule {
    int count;                // table length
    int earlyEnd;             // first phase outside the early zone
    int terminate;            // target of early-zone errors
    int mainEnd;              // first phase outside the main zone
    int close;                // target of main-zone errors (Reset or Quit)
    bool linkLostSkipsClose;  // kCheckPower in the main zone goes to terminate
    int fileWriteClose;       // kNoStep: none; otherwise the target of kFileWrite in the main zone
};

inline constexpr int kNoStep = -1;

constexpr StepRule RuleOf(OperationKind kind) {
    switch (kind) {
        case OperationKind::Backup:
            return {25, 5, 23, 22, 22, false, kNoStep};
        case OperationKind::Restore:
            return {24, 4, 22, 21, 21, false, kNoStep};
        case OperationKind::Verify:
            return {24, 4, 22, 21, 21, false, kNoStep};
        case OperationKind::CfReceive:
            return {41, 2, 39, 38, 38, true, kNoStep};
        case OperationKind::CfSend:
            return {41, 3, 39, 38, 38, true, kNoStep};
        case OperationKind::BackupMtoM:
            return {17, 5, 15, 14, 14, false, kNoStep};
        case OperationKind::RestoreMtoM:
            return {16, 4, 14, 13, 13, false, kNoStep};
        case OperationKind::VerifyMtoM:
            return {16, 4, 14, 13, 13, false, kNoStep};
        case OperationKind::CfReceiveMtoM:
            return {43, 3, 41, 38, 39, true, 40};
        case OperationKind::CfSendMtoM:
            return {42, 3, 40, 39, 39, true, kNoStep};
    }
    return {1, 0, 0, 0, 0, false, kNoStep};
}

// Number of entries in the step table of kind (the last one is the end marker).
constexpr int StepCount(OperationKind kind) {
    return RuleOf(kind).count;
}

// Where a step table puts the entries its rule names. Every table is checked against its
// rule where it is defined: static_assert(TableFitsRule(kind, {...})).
struct TableLayout {
    std::size_t size;   // entries in the table
    int firstMainStep;  // the first step whose errors close the link first
    int closeStep;      // the step that closes the link (Reset or Quit)
    int afterMainZone;  // the first step whose errors no longer close the link
    int terminateStep;  // the step that ends the run
};

constexpr bool TableFitsRule(OperationKind kind, const TableLayout& table) {
    const StepRule rule = RuleOf(kind);
    return table.size == static_cast<std::size_t>(rule.count) &&
           table.firstMainStep == rule.earlyEnd && table.closeStep == rule.close &&
           table.afterMainZone == rule.mainEnd && table.terminateStep == rule.terminate;
}

template <class Op>
using StepFn = bool (Op::*)(int nEvent);

// A step table built entry by entry by index; Complete() is false while an entry has not
// been put (a step forgotten where the table is built). Checked with static_assert.
template <class Op, std::size_t N>
struct StepTableBuilder {
    std::array<StepFn<Op>, N> steps{};
    std::array<bool, N> put{};

    // Step: a step of Op or of a class Op derives from (the protocol commands).
    template <auto Step>
    constexpr void Put(int index) {
        steps[static_cast<std::size_t>(index)] = Step;
        put[static_cast<std::size_t>(index)] = true;
    }
    constexpr bool Complete() const {
        for (bool done : put) {
            if (!done) {
                return false;
            }
        }
        return true;
    }
};

// The phase a step leaves behind so that the walk runs entry step next (the walk moves on
// from m_nPhase by one). Steps jump by naming their target: m_nPhase = PhaseBefore(step).
constexpr int PhaseBefore(int step) {
    return step - 1;
}

// The index that follows a finished step: phase is m_nPhase as the step left it (a step
// may have jumped), error is m_nError.
int NextStep(OperationKind kind, int phase, int error);

// True when NextStep() leaves the early zone for the terminate step (the LAN backup traces
// this redirection).
bool IsEarlyZoneError(OperationKind kind, int phase, int error);

// A hook of RunSteps that does nothing.
struct NoStepHook {
    void operator()(int, int) const {}
};

// Runs the step program of op from phase as far as it can go and returns the last step's
// result. An index outside the table is treated as the end marker. Hooks, for dispatchers
// that trace the walk: beforeStep(phase, event) runs before each step; afterStep(phase,
// error) after each finished step, with the index the step left behind (it may have
// jumped) and m_nError, before the walk picks the next step.
template <class Op, class BeforeStep = NoStepHook, class AfterStep = NoStepHook>
bool RunSteps(Op& op, std::span<const StepFn<Op>> table, OperationKind kind, int& phase,
              const int& error, int nEvent, BeforeStep beforeStep = {}, AfterStep afterStep = {}) {
    const int last = static_cast<int>(table.size()) - 1;
    for (;;) {
        if (phase < 0 || phase > last) {
            phase = last;
        }
        beforeStep(phase, nEvent);
        if (!(op.*table[static_cast<std::size_t>(phase)])(nEvent)) {
            return false;
        }
        afterStep(phase, error);
        phase = NextStep(kind, phase, error);
        nEvent = EVENT_NONE;
    }
}

}  // namespace kz

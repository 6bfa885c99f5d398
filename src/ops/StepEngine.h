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

#include <span>

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

// Number of entries in the step table of kind (the last one is the end marker).
int StepCount(OperationKind kind);

// The index that follows a finished step: phase is m_nPhase as the step left it (a step
// may have jumped), error is m_nError.
int NextStep(OperationKind kind, int phase, int error);

// True when NextStep() leaves the early zone for the terminate step (the LAN backup traces
// this redirection).
bool IsEarlyZoneError(OperationKind kind, int phase, int error);

template <class Op>
using StepFn = bool (Op::*)(int nEvent);

// Runs the step program of op from phase as far as it can go and returns the last step's
// result. beforeStep(phase, event) runs before each step (for dispatchers that trace every
// pass). An index outside the table is treated as the end marker.
template <class Op, class BeforeStep>
bool RunSteps(Op& op, std::span<const StepFn<Op>> table, OperationKind kind, int& phase,
              const int& error, int nEvent, BeforeStep beforeStep) {
    const int last = static_cast<int>(table.size()) - 1;
    for (;;) {
        if (phase < 0 || phase > last) {
            phase = last;
        }
        beforeStep(phase, nEvent);
        if (!(op.*table[static_cast<std::size_t>(phase)])(nEvent)) {
            return false;
        }
        phase = NextStep(kind, phase, error);
        nEvent = EVENT_NONE;
    }
}

template <class Op>
bool RunSteps(Op& op, std::span<const StepFn<Op>> table, OperationKind kind, int& phase,
              const int& error, int nEvent) {
    return RunSteps(op, table, kind, phase, error, nEvent, [](int, int) {});
}

}  // namespace kz

#include "ops/StepEngine.h"

#include <algorithm>

namespace kz {

namespace {

// One operation's rule: an error at phase < earlyEnd (or <= for the CF classes, folded
// into earlyEnd here) goes to terminate; an error at phase < mainEnd goes to the closing
// step (with the 4000 and 5049 exceptions of the CF operations); otherwise phase + 1,
// capped at the end marker.
struct Rule {
    int count;      // table length
    int earlyEnd;   // first phase outside the early zone
    int terminate;  // target of early-zone errors
    int mainEnd;    // first phase outside the main zone
    int close;      // target of main-zone errors (Reset or Quit)
    bool skipCloseOn4000;
    int closeOn5049;  // -1: none; otherwise the target for 5049 in the main zone
};

constexpr int kNoTarget = -1;

Rule RuleFor(OperationKind kind) {
    switch (kind) {
        case OperationKind::Backup:
            return {25, 5, 23, 22, 22, false, kNoTarget};
        case OperationKind::Restore:
            return {24, 4, 22, 21, 21, false, kNoTarget};
        case OperationKind::Verify:
            return {24, 4, 22, 21, 21, false, kNoTarget};
        case OperationKind::CfReceive:
            return {41, 2, 39, 38, 38, true, kNoTarget};
        case OperationKind::CfSend:
            return {41, 3, 39, 38, 38, true, kNoTarget};
        case OperationKind::BackupMtoM:
            return {17, 5, 15, 14, 14, false, kNoTarget};
        case OperationKind::RestoreMtoM:
            return {16, 4, 14, 13, 13, false, kNoTarget};
        case OperationKind::VerifyMtoM:
            return {16, 4, 14, 13, 13, false, kNoTarget};
        case OperationKind::CfReceiveMtoM:
            return {43, 3, 41, 38, 39, true, 40};
        case OperationKind::CfSendMtoM:
            return {42, 3, 40, 39, 39, true, kNoTarget};
    }
    return {1, 0, 0, 0, 0, false, kNoTarget};
}

}  // namespace

int StepCount(OperationKind kind) {
    return RuleFor(kind).count;
}

bool IsEarlyZoneError(OperationKind kind, int phase, int error) {
    return error != 0 && phase < RuleFor(kind).earlyEnd;
}

int NextStep(OperationKind kind, int phase, int error) {
    const Rule rule = RuleFor(kind);
    if (error != 0) {
        if (phase < rule.earlyEnd) {
            return rule.terminate;
        }
        if (phase < rule.mainEnd) {
            if (rule.skipCloseOn4000 && error == 4000) {
                return rule.terminate;
            }
            if (rule.closeOn5049 != kNoTarget && error == 5049) {
                return rule.closeOn5049;
            }
            return rule.close;
        }
    }
    return std::min(phase + 1, rule.count - 1);
}

}  // namespace kz

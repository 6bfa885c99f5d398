#include "ops/engine/StepEngine.h"

#include <algorithm>

namespace kz {

bool IsEarlyZoneError(OperationKind kind, int phase, int error) {
    return error != 0 && phase < RuleOf(kind).earlyEnd;
}

int NextStep(OperationKind kind, int phase, int error) {
    const StepRule rule = RuleOf(kind);
    if (error != 0) {
        if (phase < rule.earlyEnd) {
            return rule.terminate;
        }
        if (phase < rule.mainEnd) {
            if (rule.linkLostSkipsClose && error == msg::kCheckPower) {
                return rule.terminate;
            }
            if (rule.fileWriteClose != kNoStep && error == msg::kFileWrite) {
                return rule.fileWriteClose;
            }
            return rule.close;
        }
    }
    return std::min(phase + 1, rule.count - 1);
}

}  // namespace kz

// Step table of the LAN verify (16 entries; errors at 0-3 go to terminate, at 4-12 to the
// Reset entry first):
//
//   0 NodeSearch      1 Initialize      2 ReadID          3 CheckCORE_ID    4 DownloadSLOADER
//   5 hardware check  6 ReadHW_Entry    7 hardware known  8 Confirmation    9 PrepareVerify
//  10 ReadMemory     11 ReadData_Entry 12 VerifyData     13 Reset_Entry    14 Terminate
//  15 end marker
#include "ops/memory/VerifyMtoM.h"

#include <array>

#include "config/MessageIds.h"
#include "diag/Trace.h"

namespace kz {

namespace {
constexpr std::uint32_t kVerifyUnit = 0x10000;

using Step = StepFn<CVerifyMtoM>;
const std::array<Step, 16> kSteps = {
    &CVerifyMtoM::NodeSearch,    &CVerifyMtoM::Initialize,      &CVerifyMtoM::ReadID,
    &CVerifyMtoM::CheckCORE_ID,  &CVerifyMtoM::DownloadSLOADER, &CVerifyMtoM::HardwareCheck,
    &CVerifyMtoM::ReadHW_Entry,  &CVerifyMtoM::HardwareKnown,   &CVerifyMtoM::Confirmation,
    &CVerifyMtoM::PrepareVerify, &CVerifyMtoM::ReadMemory,      &CVerifyMtoM::ReadData_Entry,
    &CVerifyMtoM::VerifyData,    &CVerifyMtoM::Reset_Entry,     &CVerifyMtoM::Terminate,
    &CVerifyMtoM::EndMarker,
};
}  // namespace

CVerifyMtoM::CVerifyMtoM() {
    m_dwBlockSize = kLanBlockSize;
}

CVerifyMtoM::~CVerifyMtoM() {
    Shutdown();
}

bool CVerifyMtoM::Diapatcher(int nEvent) {
    return RunSteps<CVerifyMtoM>(*this, kSteps, OperationKind::VerifyMtoM, m_nPhase, m_nError,
                                 nEvent);
}

bool CVerifyMtoM::Initialize(int) {
    m_nError = 0;
    m_bStoreAborted = false;
    ClearStatusList();
    ResetProgress();
    ShowPowerWarning(true);
    AddStatusLine(msg::kVerifyStart);
    IdentifyImageModel();
    return true;
}

bool CVerifyMtoM::CheckCORE_ID(int) {
    return CheckPanelCoreId();
}

bool CVerifyMtoM::Confirmation(int) {
    CheckPanelFitsImage(nullptr);
    return true;
}

bool CVerifyMtoM::PrepareVerify(int) {
    m_nError = PlanVerify(kVerifyUnit, OldImageAreas::ModelFrom, lan::kAdapterBufferSize);
    return true;
}

bool CVerifyMtoM::Terminate(int nEvent) {
    if (nEvent == EVENT_NONE) {
        FinishRun();
    }
    return true;
}

}  // namespace kz

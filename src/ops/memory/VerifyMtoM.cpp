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

// Indices into the step table.
namespace step {
enum : int {
    kNodeSearch,
    kInitialize,
    kReadID,
    kCheckCoreID,
    kDownloadSLoader,
    kHardwareCheck,
    kReadHW,
    kHardwareKnown,
    kConfirmation,
    kPrepareVerify,
    kReadMemory,
    kReadData,
    kVerifyData,
    kReset,
    kTerminate,
    kEndMarker,
    kCount
};
}  // namespace step

using Step = StepFn<CVerifyMtoM>;

constexpr StepTableBuilder<CVerifyMtoM, step::kCount> MakeSteps() {
    StepTableBuilder<CVerifyMtoM, step::kCount> table;
    table.Put<&CVerifyMtoM::NodeSearch>(step::kNodeSearch);
    table.Put<&CVerifyMtoM::Initialize>(step::kInitialize);
    table.Put<&CVerifyMtoM::ReadID>(step::kReadID);
    table.Put<&CVerifyMtoM::CheckCORE_ID>(step::kCheckCoreID);
    table.Put<&CVerifyMtoM::DownloadSLOADER>(step::kDownloadSLoader);
    table.Put<&CVerifyMtoM::HardwareCheck>(step::kHardwareCheck);
    table.Put<&CVerifyMtoM::ReadHW_Entry>(step::kReadHW);
    table.Put<&CVerifyMtoM::HardwareKnown>(step::kHardwareKnown);
    table.Put<&CVerifyMtoM::Confirmation>(step::kConfirmation);
    table.Put<&CVerifyMtoM::PrepareVerify>(step::kPrepareVerify);
    table.Put<&CVerifyMtoM::ReadMemory>(step::kReadMemory);
    table.Put<&CVerifyMtoM::ReadData_Entry>(step::kReadData);
    table.Put<&CVerifyMtoM::VerifyData>(step::kVerifyData);
    table.Put<&CVerifyMtoM::Reset_Entry>(step::kReset);
    table.Put<&CVerifyMtoM::Terminate>(step::kTerminate);
    table.Put<&CVerifyMtoM::EndMarker>(step::kEndMarker);
    return table;
}

static_assert(MakeSteps().Complete());
constexpr std::array<Step, step::kCount> kSteps = MakeSteps().steps;
static_assert(TableFitsRule(OperationKind::VerifyMtoM,
                            {kSteps.size(), step::kDownloadSLoader, step::kReset, step::kReset,
                             step::kTerminate}));
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

}  // namespace kz

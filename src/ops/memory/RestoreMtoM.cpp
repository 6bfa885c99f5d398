// Step table of the LAN restore (16 entries; errors at 0-3 go to terminate, at 4-12 to the
// Reset entry first):
//
//   0 NodeSearch      1 Initialize      2 ReadID          3 CheckCORE_ID    4 DownloadSLOADER
//   5 hardware check  6 ReadHW_Entry    7 hardware known  8 ConfirmMachine  9 PrepareRestore
//  10 NextArea       11 WriteData      12 RestoreData    13 Reset_Entry    14 Terminate
//  15 end marker
//
// The data phase: 10 loads an area's first unit; 11 writes it; 12 loads the next unit and
// jumps back to 11 (-2), or to 10 (-3) when the area is done.
#include "ops/memory/RestoreMtoM.h"

#include <array>

#include "config/MessageIds.h"
#include "diag/Trace.h"

namespace kz {

namespace {
constexpr std::uint32_t kRestoreUnit = 0x8000;

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
    kConfirmMachine,
    kPrepareRestore,
    kNextArea,
    kWriteData,
    kRestoreData,
    kReset,
    kTerminate,
    kEndMarker,
    kCount
};
}  // namespace step

using Step = StepFn<CRestoreMtoM>;

constexpr StepTableBuilder<CRestoreMtoM, step::kCount> MakeSteps() {
    StepTableBuilder<CRestoreMtoM, step::kCount> table;
    table.Put<&CRestoreMtoM::NodeSearch>(step::kNodeSearch);
    table.Put<&CRestoreMtoM::Initialize>(step::kInitialize);
    table.Put<&CRestoreMtoM::ReadID>(step::kReadID);
    table.Put<&CRestoreMtoM::CheckCORE_ID>(step::kCheckCoreID);
    table.Put<&CRestoreMtoM::DownloadSLOADER>(step::kDownloadSLoader);
    table.Put<&CRestoreMtoM::HardwareCheck>(step::kHardwareCheck);
    table.Put<&CRestoreMtoM::ReadHW_Entry>(step::kReadHW);
    table.Put<&CRestoreMtoM::HardwareKnown>(step::kHardwareKnown);
    table.Put<&CRestoreMtoM::ConfirmMachine>(step::kConfirmMachine);
    table.Put<&CRestoreMtoM::PrepareRestore>(step::kPrepareRestore);
    table.Put<&CRestoreMtoM::NextArea>(step::kNextArea);
    table.Put<&CRestoreMtoM::WriteData>(step::kWriteData);
    table.Put<&CRestoreMtoM::RestoreData>(step::kRestoreData);
    table.Put<&CRestoreMtoM::Reset_Entry>(step::kReset);
    table.Put<&CRestoreMtoM::Terminate>(step::kTerminate);
    table.Put<&CRestoreMtoM::EndMarker>(step::kEndMarker);
    return table;
}

static_assert(MakeSteps().Complete());
constexpr std::array<Step, step::kCount> kSteps = MakeSteps().steps;
static_assert(TableFitsRule(OperationKind::RestoreMtoM,
                            {kSteps.size(), step::kDownloadSLoader, step::kReset, step::kReset,
                             step::kTerminate}));
}  // namespace

CRestoreMtoM::CRestoreMtoM() = default;

CRestoreMtoM::~CRestoreMtoM() {
    Shutdown();
}

bool CRestoreMtoM::Diapatcher(int nEvent) {
    return RunSteps<CRestoreMtoM>(*this, kSteps, OperationKind::RestoreMtoM, m_nPhase, m_nError,
                                  nEvent);
}

bool CRestoreMtoM::Initialize(int) {
    m_nError = 0;
    m_bStoreAborted = false;
    if (Prompt() && !Prompt()->ConfirmRestore()) {
        m_nError = msg::kAborted;
        return true;
    }
    ClearStatusList();
    ResetProgress();
    ShowPowerWarning(true);
    AddStatusLine(msg::kRestoreStart);
    IdentifyImageModel();
    return true;
}

bool CRestoreMtoM::CheckCORE_ID(int) {
    return CheckPanelCoreId();
}

bool CRestoreMtoM::ConfirmMachine(int) {
    if (CheckPanelFitsImage("CRestoreMtoM::ConfirmMachine\n")) {
        m_csLoaderName = CModelDefs::Text(Section(), "SLOADER");
    }
    return true;
}

bool CRestoreMtoM::PrepareRestore(int) {
    m_nError = PlanRestore(kRestoreUnit, OldImageAreas::Model, lan::kAdapterBufferSize);
    m_pchWriteSource = DataBuffer();
    return true;
}

void CRestoreMtoM::SetupRequest(RequestStart start) {
    CMemoryMtoM::SetupRequest(start);
    TraceMessage("KZmnt",
                 start == RequestStart::Area
                     ? "Restore Start : address = [%x] size = [%x] seek = [%llx]\n"
                     : "Restore next : address = [%x] size = [%x] seek = [%llx]\n",
                 m_dwWriteAddress, m_dwWriteSize, static_cast<unsigned long long>(FileOffset()));
}

}  // namespace kz

// Step table of the serial restore (24 entries; errors at 0-3 go to Terminate, at 4-20 to
// Reset first):
//
//   0 Initialize      1 ReadCoreID      2 CheckCORE_ID    3 DownloadILOADER 4 ConnectILOADER
//   5 signature prep  6 ReadSignature   7 identify        8 CheckMachineType 9 WriteIO
//  10 I/O read setup 11 ReadIO         12 I/O code check 13 hardware check 14 ReadHW
//  15 hardware known 16 compatibility  17 prepare        18 next area      19 WriteData
//  20 advance        21 Reset          22 Terminate      23 end marker
//
// Jumps (each names its target):
//   signature prep, no SIGNATURE     ─► CheckMachineType
//   CheckMachineType, no I/O code    ─► hardware check    (also I/O read setup without IO2)
//   I/O code check, "FF"             ─► CheckMachineType  (selects again, with IO3)
//   hardware check, no CHKMEM        ─► compatibility
//   next area, none left             ─► Reset
//   advance                          ─► WriteData (next unit) or next area
//
// Every unit is the smaller of 0x10000 and what is left of the area, so an image written
// with a smaller unit is written area by area, never past an area's end.
#include "ops/memory/Restore.h"

#include <array>

#include "diag/Trace.h"

namespace kz {

namespace {

// Indices into the step table.
namespace step {
enum : int {
    kInitialize,
    kReadCoreID,
    kCheckCoreID,
    kDownloadILoader,
    kConnectILoader,
    kSignaturePrep,
    kReadSignature,
    kIdentify,
    kCheckMachineType,
    kWriteIO,
    kIoReadSetup,
    kReadIO,
    kIoCodeCheck,
    kHardwareCheck,
    kReadHW,
    kHardwareKnown,
    kCompatibility,
    kPrepareTransfer,
    kNextArea,
    kWriteData,
    kAdvance,
    kReset,
    kTerminate,
    kEndMarker,
    kCount
};
}  // namespace step

using Step = StepFn<CRestore>;

constexpr StepTableBuilder<CRestore, step::kCount> MakeSteps() {
    StepTableBuilder<CRestore, step::kCount> table;
    table.Put<&CRestore::Initialize>(step::kInitialize);
    table.Put<&CRestore::ReadCoreID>(step::kReadCoreID);
    table.Put<&CRestore::CheckCORE_ID>(step::kCheckCoreID);
    table.Put<&CRestore::DownloadILOADER>(step::kDownloadILoader);
    table.Put<&CRestore::ConnectILOADER>(step::kConnectILoader);
    table.Put<&CRestore::SignaturePrepStep>(step::kSignaturePrep);
    table.Put<&CRestore::ReadSignature>(step::kReadSignature);
    table.Put<&CRestore::IdentifyStep>(step::kIdentify);
    table.Put<&CRestore::CheckMachineTypeStep>(step::kCheckMachineType);
    table.Put<&CRestore::WriteIO>(step::kWriteIO);
    table.Put<&CRestore::IoReadSetupStep>(step::kIoReadSetup);
    table.Put<&CRestore::ReadIO>(step::kReadIO);
    table.Put<&CRestore::IoCodeCheck>(step::kIoCodeCheck);
    table.Put<&CRestore::HardwareCheckStep>(step::kHardwareCheck);
    table.Put<&CRestore::ReadHW>(step::kReadHW);
    table.Put<&CRestore::HardwareKnownStep>(step::kHardwareKnown);
    table.Put<&CRestore::Compatibility>(step::kCompatibility);
    table.Put<&CRestore::PrepareTransfer>(step::kPrepareTransfer);
    table.Put<&CRestore::NextArea>(step::kNextArea);
    table.Put<&CRestore::WriteData>(step::kWriteData);
    table.Put<&CRestore::Advance>(step::kAdvance);
    table.Put<&CRestore::ResetStep>(step::kReset);
    table.Put<&CRestore::Terminate>(step::kTerminate);
    table.Put<&CRestore::EndMarker>(step::kEndMarker);
    return table;
}

static_assert(MakeSteps().Complete());
constexpr std::array<Step, step::kCount> kSteps = MakeSteps().steps;
static_assert(TableFitsRule(OperationKind::Restore,
                            {kSteps.size(), step::kConnectILoader, step::kReset, step::kReset,
                             step::kTerminate}));

constexpr MemorySteps kSharedSteps = {step::kCheckMachineType, step::kHardwareCheck,
                                      step::kCompatibility,    step::kNextArea,
                                      step::kWriteData,        step::kReset};

}  // namespace

CRestore::CRestore() : CMemoryOperation(kSharedSteps) {}

CRestore::~CRestore() {
    Shutdown();
}

bool CRestore::Diapatcher(int nEvent) {
    return RunSteps<CRestore>(*this, kSteps, OperationKind::Restore, m_nPhase, m_nError, nEvent);
}

bool CRestore::EndMarker(int) {
    return false;
}

bool CRestore::Initialize(int) {
    TraceMessage("KZmntTimeCheck", "CRestore::Initialize %x\n", TickCount());
    if (Prompt() && !Prompt()->ConfirmRestore()) {
        m_nError = msg::kAborted;
        return true;
    }
    ClearStatusList();
    ResetProgress();
    ShowPowerWarning(true);
    AddStatusLine(msg::kRestoreStart);
    if (Open()) {
        IdentifyImageModel();
    }
    return true;
}

bool CRestore::CheckCORE_ID(int) {
    return CheckPanelCoreId("CRestore::CheckCORE_ID\n");
}

bool CRestore::CheckMachineTypeStep(int) {
    return CheckMachineType("CRestore::CheckMachineType\n");
}

bool CRestore::IoCodeCheck(int) {
    return CompareIoCode();
}

bool CRestore::Compatibility(int) {
    return CheckCompatibility(DialogMode::Restore);
}

bool CRestore::PrepareTransfer(int) {
    m_nError = PlanRestore(kUnit, OldImageAreas::Model, kRecvBufferSize);
    m_pchWriteBuff = DataBuffer();
    return true;
}

}  // namespace kz

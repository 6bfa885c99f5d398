// Step table of the serial verify (24 entries; errors at 0-3 go to Terminate, at 4-20 to
// Reset first):
//
//   0 Initialize      1 ReadCoreID      2 CheckCORE_ID    3 DownloadILOADER 4 ConnectILOADER
//   5 signature prep  6 ReadSignature   7 identify        8 CheckMachineType 9 WriteIO
//  10 ReadMachineType 11 ReadIO        12 I/O code check 13 CheckHW        14 ReadHW
//  15 hardware known 16 compatibility  17 PrepareVerify  18 ReadMemory     19 ReadData
//  20 VerifyData     21 Reset          22 Terminate      23 WaitUntilDestroy
//
// Jumps (each names its target):
//   signature prep, no SIGNATURE     ─► CheckMachineType
//   CheckMachineType, no I/O code    ─► CheckHW           (also ReadMachineType without IO2)
//   I/O code check, "FF"             ─► CheckMachineType  (selects again, with IO3)
//   CheckHW, no CHKMEM               ─► compatibility
//   ReadMemory, no area left         ─► Reset
//   VerifyData                       ─► ReadData (next packet or unit) or ReadMemory
//
// FROM areas are compared over their size, SRAM areas over the verify size of the model's
// SRAM key; the image offset of every area follows the image's own layout, so an SRAM area
// compared only in part, or one passed over, never shifts the areas after it.
#include "ops/memory/Verify.h"

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
    kReadMachineType,
    kReadIO,
    kIoCodeCheck,
    kCheckHW,
    kReadHW,
    kHardwareKnown,
    kCompatibility,
    kPrepareVerify,
    kReadMemory,
    kReadData,
    kVerifyData,
    kReset,
    kTerminate,
    kWaitUntilDestroy,
    kCount
};
}  // namespace step

using Step = StepFn<CVerify>;

constexpr StepTableBuilder<CVerify, step::kCount> MakeSteps() {
    StepTableBuilder<CVerify, step::kCount> table;
    table.Put<&CVerify::Initialize>(step::kInitialize);
    table.Put<&CVerify::ReadCoreID>(step::kReadCoreID);
    table.Put<&CVerify::CheckCORE_ID>(step::kCheckCoreID);
    table.Put<&CVerify::DownloadILOADER>(step::kDownloadILoader);
    table.Put<&CVerify::ConnectILOADER>(step::kConnectILoader);
    table.Put<&CVerify::SignaturePrepStep>(step::kSignaturePrep);
    table.Put<&CVerify::ReadSignature>(step::kReadSignature);
    table.Put<&CVerify::IdentifyStep>(step::kIdentify);
    table.Put<&CVerify::CheckMachineTypeStep>(step::kCheckMachineType);
    table.Put<&CVerify::WriteIO>(step::kWriteIO);
    table.Put<&CVerify::ReadMachineType>(step::kReadMachineType);
    table.Put<&CVerify::ReadIO>(step::kReadIO);
    table.Put<&CVerify::IoCodeCheck>(step::kIoCodeCheck);
    table.Put<&CVerify::CheckHW>(step::kCheckHW);
    table.Put<&CVerify::ReadHW>(step::kReadHW);
    table.Put<&CVerify::HardwareKnownStep>(step::kHardwareKnown);
    table.Put<&CVerify::Compatibility>(step::kCompatibility);
    table.Put<&CVerify::PrepareVerify>(step::kPrepareVerify);
    table.Put<&CVerify::ReadMemory>(step::kReadMemory);
    table.Put<&CVerify::ReadData>(step::kReadData);
    table.Put<&CVerify::VerifyData>(step::kVerifyData);
    table.Put<&CVerify::ResetStep>(step::kReset);
    table.Put<&CVerify::Terminate>(step::kTerminate);
    table.Put<&CVerify::WaitUntilDestroy>(step::kWaitUntilDestroy);
    return table;
}

static_assert(MakeSteps().Complete());
constexpr std::array<Step, step::kCount> kSteps = MakeSteps().steps;
static_assert(TableFitsRule(OperationKind::Verify, {kSteps.size(), step::kConnectILoader,
                                                    step::kReset, step::kReset, step::kTerminate}));

constexpr MemorySteps kSharedSteps = {step::kCheckMachineType, step::kCheckHW,
                                      step::kCompatibility,    step::kReadMemory,
                                      step::kReadData,         step::kReset};

}  // namespace

CVerify::CVerify() : CMemoryOperation(kSharedSteps) {
    m_nMaxReadSize = 0x4000;
}

CVerify::~CVerify() {
    Shutdown();
}

bool CVerify::Diapatcher(int nEvent) {
    return RunSteps<CVerify>(*this, kSteps, OperationKind::Verify, m_nPhase, m_nError, nEvent);
}

bool CVerify::ChangeReadSize() {
    return LowerReadSize("CVerify::ChangeReadSize\n");
}

bool CVerify::WaitUntilDestroy(int) {
    TraceMessage("KZmnt", "CVerify::WaitUntilDestroy\n");
    return false;
}

bool CVerify::Initialize(int) {
    TraceMessage("KZmnt", "CVerify::Initialize\n");
    ClearStatusList();
    ResetProgress();
    ShowPowerWarning(true);
    AddStatusLine(msg::kVerifyStart);
    if (Open()) {
        IdentifyImageModel();
    }
    return true;
}

bool CVerify::CheckCORE_ID(int) {
    return CheckPanelCoreId("CVerify::CheckCORE_ID\n");
}

bool CVerify::CheckMachineTypeStep(int) {
    return CheckMachineType("CVerify::CheckMachineType\n");
}

bool CVerify::ReadMachineType(int nEvent) {
    TraceMessage("KZmnt", "CVerify::ReadMachineType\n");
    TraceMessage("KZmnt", "CVerify::WaitIO\n");
    return IoReadSetup(nEvent);
}

bool CVerify::IoCodeCheck(int) {
    return CompareIoCode();
}

bool CVerify::CheckHW(int nEvent) {
    TraceMessage("KZmnt", "CVerify::CheckHW\n");
    return HardwareCheck(nEvent);
}

bool CVerify::HardwareKnownStep(int nEvent) {
    TraceMessage("KZmnt", "CVerify::ReadHW\n");
    return HardwareKnown(nEvent);
}

bool CVerify::Compatibility(int) {
    return CheckCompatibility(DialogMode::Verify);
}

bool CVerify::PrepareVerify(int) {
    TraceMessage("KZmnt", "CVerify::PrepareVerify\n");
    m_nError = PlanVerify(kUnit, OldImageAreas::RecordedFrom, kRecvBufferSize);
    return true;
}

bool CVerify::ReadMemory(int nEvent) {
    TraceMessage("KZmnt", "CVerify::ReadMemory\n");
    return NextArea(nEvent);
}

bool CVerify::VerifyData(int nEvent) {
    TraceMessage("KZmnt", "CVerify::VerifyData\n");
    return TransferStep(nEvent);
}

}  // namespace kz

// Step table of the serial backup (25 entries; errors at 0-4 go to Terminate, at 5-21 to
// Reset first):
//
//   0 Initialize      1 Password        2 ReadCoreID     3 CheckCORE_ID   4 DownloadILOADER
//   5 ConnectILOADER  6 signature prep  7 ReadSignature  8 identify       9 I/O code select
//  10 WriteIO        11 I/O read setup 12 ReadIO        13 I/O code check 14 hardware check
//  15 ReadHW         16 hardware known 17 model confirm 18 CreateHeader  19 next area
//  20 ReadData       21 store packet   22 Reset         23 Terminate     24 end marker
//
// Jumps (each names its target):
//   signature prep, no SIGNATURE  ─► I/O code select
//   I/O code select, no IOCODE    ─► hardware check     (also I/O read setup without IO2)
//   I/O code check, "FF"          ─► I/O code select    (again, with IO3)
//   hardware check, no CHKMEM     ─► model confirm
//   next area, none left          ─► Reset
//   store packet                  ─► ReadData (next packet or unit) or next area
#include "ops/memory/Backup.h"

#include <array>

#include "diag/Trace.h"
#include "ops/memory/FileSelection.h"
#include "platform/Format.h"

namespace kz {

namespace {

// Indices into the step table.
namespace step {
enum : int {
    kInitialize,
    kPassword,
    kReadCoreID,
    kCheckCoreID,
    kDownloadILoader,
    kConnectILoader,
    kSignaturePrep,
    kReadSignature,
    kIdentify,
    kIoCodeSelect,
    kWriteIO,
    kIoReadSetup,
    kReadIO,
    kIoCodeCheck,
    kHardwareCheck,
    kReadHW,
    kHardwareKnown,
    kModelConfirm,
    kCreateHeader,
    kNextArea,
    kReadData,
    kStorePacket,
    kReset,
    kTerminate,
    kEndMarker,
    kCount
};
}  // namespace step

using Step = StepFn<CBackup>;

constexpr StepTableBuilder<CBackup, step::kCount> MakeSteps() {
    StepTableBuilder<CBackup, step::kCount> table;
    table.Put<&CBackup::Initialize>(step::kInitialize);
    table.Put<&CBackup::Password>(step::kPassword);
    table.Put<&CBackup::ReadCoreID>(step::kReadCoreID);
    table.Put<&CBackup::CheckCORE_ID>(step::kCheckCoreID);
    table.Put<&CBackup::DownloadILOADER>(step::kDownloadILoader);
    table.Put<&CBackup::ConnectILOADER>(step::kConnectILoader);
    table.Put<&CBackup::SignaturePrepStep>(step::kSignaturePrep);
    table.Put<&CBackup::ReadSignature>(step::kReadSignature);
    table.Put<&CBackup::IdentifyStep>(step::kIdentify);
    table.Put<&CBackup::SelectIoCodeStep>(step::kIoCodeSelect);
    table.Put<&CBackup::WriteIO>(step::kWriteIO);
    table.Put<&CBackup::IoReadSetupStep>(step::kIoReadSetup);
    table.Put<&CBackup::ReadIO>(step::kReadIO);
    table.Put<&CBackup::IoCodeCheck>(step::kIoCodeCheck);
    table.Put<&CBackup::HardwareCheckStep>(step::kHardwareCheck);
    table.Put<&CBackup::ReadHW>(step::kReadHW);
    table.Put<&CBackup::HardwareKnownStep>(step::kHardwareKnown);
    table.Put<&CBackup::ModelConfirmation>(step::kModelConfirm);
    table.Put<&CBackup::CreateHeader>(step::kCreateHeader);
    table.Put<&CBackup::NextArea>(step::kNextArea);
    table.Put<&CBackup::ReadData>(step::kReadData);
    table.Put<&CBackup::StorePacket>(step::kStorePacket);
    table.Put<&CBackup::ResetStep>(step::kReset);
    table.Put<&CBackup::Terminate>(step::kTerminate);
    table.Put<&CBackup::EndMarker>(step::kEndMarker);
    return table;
}

static_assert(MakeSteps().Complete());
constexpr std::array<Step, step::kCount> kSteps = MakeSteps().steps;
static_assert(TableFitsRule(OperationKind::Backup, {kSteps.size(), step::kConnectILoader,
                                                    step::kReset, step::kReset, step::kTerminate}));

constexpr MemorySteps kSharedSteps = {step::kIoCodeSelect, step::kHardwareCheck,
                                      step::kModelConfirm, step::kNextArea,
                                      step::kReadData,     step::kReset};

}  // namespace

CBackup::CBackup() : CMemoryOperation(kSharedSteps) {
    m_nMaxReadSize = 0x4000;
}

CBackup::~CBackup() {
    Shutdown();
}

bool CBackup::Diapatcher(int nEvent) {
    return RunSteps<CBackup>(*this, kSteps, OperationKind::Backup, m_nPhase, m_nError, nEvent);
}

bool CBackup::ChangeReadSize() {
    return LowerReadSize(nullptr);
}

bool CBackup::EndMarker(int) {
    return false;
}

bool CBackup::Initialize(int) {
    TraceMessage("KZmntTimeCheck", "CBackup::Initialize %x\n", TickCount());
    ClearStatusList();
    ResetProgress();
    AddStatusLine(msg::kBackupStart);
    ShowPowerWarning(true);
    if (Open()) {
        m_bIoRetry = false;
        m_dwSignature = 0;
    }
    return true;
}

bool CBackup::CheckCORE_ID(int) {
    TraceMessage("KZmnt", "CBackup::CheckCORE_ID %x\n", TickCount());
    m_csCoreID = CoreIdFromAnswer();
    m_dwAutoName = AutoNameNumber(m_csCoreID);
    m_csMachineName.clear();
    const CIniSection* section = m_defs.FindByCoreID(m_csCoreID);
    if (!section) {
        m_nError = msg::kNotRegistered;
        return true;
    }
    UseModel(*section);
    return true;
}

bool CBackup::SelectIoCodeStep(int) {
    return SelectIoCode(true);
}

bool CBackup::IoCodeCheck(int) {
    m_csIOCode = IoCodeRead();
    return true;
}

bool CBackup::ModelConfirmation(int) {
    if (!ConfirmModel(DialogMode::Backup)) {
        return true;
    }
    m_csBkFile.clear();
    const CIniSection* section = Section();
    m_csLoaderName = CModelDefs::Text(section, "ILOADER");
    m_csBkFile = CModelDefs::Text(section, "BK_FILE");
    return true;
}

bool CBackup::CreateHeader(int) {
    TraceMessage("KZmnt", "CBackup::CreateHeader()\n");
    // The model must describe areas that can be read before a file is made.
    m_nError = PlanBackupAreas();
    if (m_nError == 0) {
        m_nError = NameAutoBackup(m_csBkFile, Format("%04X", m_dwAutoName));
    }
    if (m_nError == 0) {
        m_nError =
            StartBackupImage({.modelName = m_csMachineName,
                              .coreId = m_csCoreID,
                              .ioCode = m_csIOCode,
                              .signature = static_cast<std::uint16_t>(m_dwSignature & 0xFFFF),
                              .hardwareKnown = m_bHardwareKnown,
                              .fromSize = m_dwFRomSize,
                              .sramSize = m_dwSRamSize});
    }
    return true;
}

}  // namespace kz

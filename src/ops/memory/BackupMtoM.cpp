// Step table of the LAN backup (17 entries; errors at 0-4 go to terminate, at 5-13 to the
// Reset entry first):
//
//   0 NodeSearch      1 Initialize      2 Password        3 ReadID          4 CheckCORE_ID
//   5 DownloadSLOADER 6 hardware check  7 ReadHW_Entry    8 hardware known  9 ConfirmMachine
//  10 CreateHeader   11 NextArea       12 ReadData_Entry 13 WriteBackupData
//  14 Reset_Entry    15 Terminate      16 end marker
//
// The data phase: 11 takes an area and its first unit; 12 reads a packet of at most the LAN
// block size; 13 appends it and jumps back to 12 (-2) or to 11 (-3) for the next area.
#include "ops/memory/BackupMtoM.h"

#include <array>

#include "config/MessageIds.h"
#include "diag/Trace.h"

namespace kz {

namespace {
using Step = StepFn<CBackupMtoM>;
const std::array<Step, 17> kSteps = {
    &CBackupMtoM::NodeSearch,     &CBackupMtoM::Initialize,      &CBackupMtoM::Password,
    &CBackupMtoM::ReadID,         &CBackupMtoM::CheckCORE_ID,    &CBackupMtoM::DownloadSLOADER,
    &CBackupMtoM::HardwareCheck,  &CBackupMtoM::ReadHW_Entry,    &CBackupMtoM::HardwareKnown,
    &CBackupMtoM::ConfirmMachine, &CBackupMtoM::CreateHeader,    &CBackupMtoM::NextArea,
    &CBackupMtoM::ReadData_Entry, &CBackupMtoM::WriteBackupData, &CBackupMtoM::Reset_Entry,
    &CBackupMtoM::Terminate,      &CBackupMtoM::Complete,
};
}  // namespace

CBackupMtoM::CBackupMtoM() {
    m_dwBlockSize = kLanBlockSize;
}

CBackupMtoM::~CBackupMtoM() {
    Shutdown();
}

bool CBackupMtoM::Diapatcher(int nEvent) {
    const int last = static_cast<int>(kSteps.size()) - 1;
    for (;;) {
        if (m_nPhase < 0 || m_nPhase > last) {
            m_nPhase = last;
        }
        const Step step = kSteps[static_cast<std::size_t>(m_nPhase)];
        if (step == &CBackupMtoM::ReadData_Entry) {
            BeforeTransferEntry(nEvent);
        }
        if (!(this->*step)(nEvent)) {
            return false;
        }
        if (IsEarlyZoneError(OperationKind::BackupMtoM, m_nPhase, m_nError)) {
            TraceMessage("KZmnt", "Phase Error =[%d] , [%d]\n", m_nPhase, m_nError);
        }
        m_nPhase = NextStep(OperationKind::BackupMtoM, m_nPhase, m_nError);
        nEvent = EVENT_NONE;
    }
}

bool CBackupMtoM::Initialize(int) {
    TraceMessage("KZmnt", "CBackupMtoM::Initialize\n");
    ClearStatusList();
    ResetProgress();
    AddStatusLine(msg::kBackupStart);
    ShowPowerWarning(true);
    m_nError = 0;
    m_bStoreAborted = false;
    return true;
}

bool CBackupMtoM::CheckCORE_ID(int) {
    TraceMessage("KZmnt", "CBackupMtoM::CheckCORE_ID\n");
    TraceMessage("KZmnt", "  m_csCoreID = [%s]\n", m_csCoreID.c_str());
    m_csMachineName.clear();
    const CIniSection* section = m_defs.FindByCoreID(m_csCoreID);
    if (!section) {
        m_nError = msg::kNotRegistered;
        return true;
    }
    m_csMachineName = section->Name();
    m_csLoaderName = CModelDefs::Text(section, "SLOADER");
    m_csBkFile = CModelDefs::Text(section, "BK_FILE");
    m_nError = NameAutoBackup(m_csBkFile, m_csAutoName);
    return true;
}

bool CBackupMtoM::ConfirmMachine(int) {
    TraceMessage("KZmnt", "CBackupMtoM::ConfirmMachine\n");
    if (m_csFileName.empty()) {
        m_nError = msg::kAborted;
        return true;
    }
    SetModelName();
    m_csLoaderName = CModelDefs::Text(Section(), "SLOADER");
    return true;
}

bool CBackupMtoM::CreateHeader(int) {
    m_nError = PlanBackupAreas();
    if (m_nError == 0) {
        m_nError = StartBackupImage({.modelName = m_csMachineName,
                                     .coreId = m_csCoreID,
                                     .ioCode = m_csIOCode,
                                     .signature = std::nullopt,
                                     .hardwareKnown = m_bHardwareKnown,
                                     .fromSize = m_dwFRomSize,
                                     .sramSize = m_dwSRamSize});
    }
    return true;
}

void CBackupMtoM::SetupRequest(RequestStart start) {
    CMemoryMtoM::SetupRequest(start);
    switch (start) {
        case RequestStart::Area:
            TraceMessage("KZmnt", "Backup Start Address = [%x] Size = [%x]\n", m_dwRequestAddress,
                         m_dwRequestSize);
            break;
        case RequestStart::Packet:
            TraceMessage("KZmnt", "Backup Address = [%x] Size = [%x]\n", m_dwRequestAddress,
                         m_dwRequestSize);
            break;
        case RequestStart::Unit:
            TraceMessage("KZmnt",
                         "Backup(Block End) Address = [%x] Size = [%x] ReadSize = [%x] Phase = "
                         "[%d]\n",
                         m_dwRequestAddress, static_cast<unsigned>(BytesLeft()), m_dwRequestSize,
                         m_nPhase);
            break;
    }
}

bool CBackupMtoM::Terminate(int nEvent) {
    if (nEvent == EVENT_NONE) {
        FinishRun();
        TraceMessage("KZmnt", "TERMINATE(BackupMtoM)\n");
    }
    return true;
}

bool CBackupMtoM::Complete(int) {
    TraceMessage("KZmnt", "Backup Complete\n");
    return false;
}

}  // namespace kz

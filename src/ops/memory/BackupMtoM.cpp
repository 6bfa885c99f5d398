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
// Indices into the step table.
namespace step {
enum : int {
    kNodeSearch,
    kInitialize,
    kPassword,
    kReadID,
    kCheckCoreID,
    kDownloadSLoader,
    kHardwareCheck,
    kReadHW,
    kHardwareKnown,
    kConfirmMachine,
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

using Step = StepFn<CBackupMtoM>;

constexpr StepTableBuilder<CBackupMtoM, step::kCount> MakeSteps() {
    StepTableBuilder<CBackupMtoM, step::kCount> table;
    table.Put<&CBackupMtoM::NodeSearch>(step::kNodeSearch);
    table.Put<&CBackupMtoM::Initialize>(step::kInitialize);
    table.Put<&CBackupMtoM::Password>(step::kPassword);
    table.Put<&CBackupMtoM::ReadID>(step::kReadID);
    table.Put<&CBackupMtoM::CheckCORE_ID>(step::kCheckCoreID);
    table.Put<&CBackupMtoM::DownloadSLOADER>(step::kDownloadSLoader);
    table.Put<&CBackupMtoM::HardwareCheck>(step::kHardwareCheck);
    table.Put<&CBackupMtoM::ReadHW_Entry>(step::kReadHW);
    table.Put<&CBackupMtoM::HardwareKnown>(step::kHardwareKnown);
    table.Put<&CBackupMtoM::ConfirmMachine>(step::kConfirmMachine);
    table.Put<&CBackupMtoM::CreateHeader>(step::kCreateHeader);
    table.Put<&CBackupMtoM::NextArea>(step::kNextArea);
    table.Put<&CBackupMtoM::ReadData_Entry>(step::kReadData);
    table.Put<&CBackupMtoM::WriteBackupData>(step::kStorePacket);
    table.Put<&CBackupMtoM::Reset_Entry>(step::kReset);
    table.Put<&CBackupMtoM::Terminate>(step::kTerminate);
    table.Put<&CBackupMtoM::Complete>(step::kEndMarker);
    return table;
}

static_assert(MakeSteps().Complete());
constexpr std::array<Step, step::kCount> kSteps = MakeSteps().steps;
static_assert(TableFitsRule(OperationKind::BackupMtoM,
                            {kSteps.size(), step::kDownloadSLoader, step::kReset, step::kReset,
                             step::kTerminate}));
}  // namespace

CBackupMtoM::CBackupMtoM() {
    m_dwBlockSize = kLanBlockSize;
}

CBackupMtoM::~CBackupMtoM() {
    Shutdown();
}

bool CBackupMtoM::Diapatcher(int nEvent) {
    return RunSteps<CBackupMtoM>(
        *this, kSteps, OperationKind::BackupMtoM, m_nPhase, m_nError, nEvent,
        [this](int phase, int event) {
            // A failed read may end the run inside the entry: the image is settled first.
            if (phase == step::kReadData) {
                BeforeTransferEntry(event);
            }
        },
        [](int phase, int error) {
            // The early zone's errors skip the closing steps: the trace says where it ended.
            if (IsEarlyZoneError(OperationKind::BackupMtoM, phase, error)) {
                TraceMessage("KZmnt", "Phase Error =[%d] , [%d]\n", phase, error);
            }
        });
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

bool CBackupMtoM::Complete(int) {
    TraceMessage("KZmnt", "Backup Complete\n");
    return false;
}

}  // namespace kz

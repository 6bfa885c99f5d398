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
#include <cstdio>

#include "config/MessageIds.h"
#include "config/Settings.h"
#include "config/StringTable.h"
#include "diag/Trace.h"
#include "ops/memory/BackupImage.h"
#include "ops/memory/FileSelection.h"
#include "platform/Format.h"
#include "platform/Printable.h"

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
        *this, kSteps, OperationKind::BackupMtoM, m_nPhase, m_nError, nEvent, NoStepHook{},
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
    if (CSettings().GetAutoFileName()) {
        // The stem names a file in the chosen folder and nothing else.
        if (!m_csBkFile.empty() && !IsPlainFileName(m_csBkFile)) {
            AddStatusLine(
                Format(GetString(msg::kBkFileNotPlain).c_str(), Printable(m_csBkFile).c_str()));
            m_nError = msg::kBackupNameInvalid;
            return true;
        }
        if (!m_csFileName.empty() && m_csFileName.back() != '/') {
            m_csFileName += '/';
        }
        m_csFileName += "bk" + (m_csBkFile.empty() ? m_csAutoName : m_csBkFile) + ".MEM";
    }
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
    std::vector<MemArea> areas;
    AreaPlan model = ModelAreaPlan(Section());
    for (const std::string& line : model.lines) {
        AddStatusLine(line);
    }
    if (model.error != 0) {
        m_nError = model.error;
        return true;
    }
    areas = std::move(model.areas);
    m_dwUnit = model.imageUnit;
    TraceMessage("KZmnt", "  BackupFile = [%s]\n", m_csFileName.c_str());
    m_image = MemImageFile();
    m_image.StartBackupHeader(m_csFileName, m_csMachineName);
    m_image.SetHeaderFormat(kImageHeaderFormat);
    m_image.SetDescriptorVersion();
    m_image.SetCoreID(m_csCoreID);
    m_image.SetIOCode(m_csIOCode);
    m_image.SetComment(m_csComment);
    m_image.SetUnit(m_dwUnit);
    m_image.SetAreas(areas);
    std::uint32_t firstFrom = 0;
    std::uint32_t firstSram = 0;
    m_nTotalUnits = 0;
    m_nExpectedBytes = 0;
    for (const MemArea& area : areas) {
        m_nTotalUnits += static_cast<int>(area.size / m_dwUnit);
        m_nExpectedBytes += StoredAreaLength(area.size, m_dwUnit);
        if (area.type == kAreaFrom && firstFrom == 0) {
            firstFrom = area.size;
        } else if (area.type == kAreaSram && firstSram == 0) {
            firstSram = area.size;
        }
    }
    m_image.SetFromSize(m_bHardwareKnown ? m_dwFRomSize : firstFrom);
    m_image.SetSramSize(m_bHardwareKnown ? m_dwSRamSize : firstSram);

    // The data goes to "<name>.partial", made afresh by this run and held by it until the
    // end; the target stays untouched until the image is complete.
    const BackupFileStep begin = BeginBackupImage(m_image, m_csFileName);
    for (const std::string& line : begin.lines) {
        AddStatusLine(line);
    }
    if (begin.error != 0) {
        m_nError = begin.error;
        return true;
    }
    m_nAreaIndex = 0;
    m_nUnitsDone = 0;
    if (m_nTotalUnits == 0) {
        m_nTotalUnits = 1;
    }
    return true;
}

bool CBackupMtoM::NextArea(int) {
    if (m_nAreaIndex >= m_image.AreaCount()) {
        Skip(2);
        return true;
    }
    const MemArea area = m_image.Area(static_cast<std::size_t>(m_nAreaIndex));
    m_dwRequestAddress = area.start;
    m_nBytesLeft = area.size;
    ++m_nAreaIndex;
    // The first unit of an area is always a whole unit.
    StartUnit(m_dwUnit);
    TraceMessage("KZmnt", "Backup Start Address = [%x] Size = [%x]\n", m_dwRequestAddress,
                 m_dwRequestSize);
    AddStatusLineF(msg::kBackupProgress, m_nUnitsDone + 1, m_nTotalUnits);
    return true;
}

bool CBackupMtoM::WriteBackupData(int nEvent) {
    if (nEvent == EVENT_ABORT) {
        m_nError = msg::kAborted;
        m_bStoreAborted = true;
        Arm(lan::kRefusedTicks);
        TraceMessage("Cancel", "WriteBackupData\n");
        return false;
    }
    // After an abort the packet held here was stored already: the run only moves on to
    // the closing steps.
    if (m_bStoreAborted || m_nError != 0) {
        Disarm();
        return true;
    }
    const std::uint32_t bytes = m_dwRecvLength;
    if (!m_image.AppendImageData(m_pchBuff.get(), bytes)) {
        m_nError = msg::kFileWrite;
        return true;
    }
    switch (PacketDone(bytes)) {
        case PacketResult::NextPacket:
            TraceMessage("KZmnt", "Backup Address = [%x] Size = [%x]\n", m_dwRequestAddress,
                         m_dwRequestSize);
            Skip(-2);
            break;
        case PacketResult::NextUnit:
            TraceMessage("KZmnt",
                         "Backup(Block End) Address = [%x] Size = [%x] ReadSize = [%x] Phase = "
                         "[%d]\n",
                         m_dwRequestAddress, static_cast<unsigned>(m_nBytesLeft), m_dwRequestSize,
                         m_nPhase);
            Skip(-2);
            AddStatusLineF(msg::kBackupProgress, m_nUnitsDone + 1, m_nTotalUnits);
            break;
        case PacketResult::AreaDone:
            Skip(-3);
            break;
    }
    return true;
}

bool CBackupMtoM::Terminate(int nEvent) {
    if (nEvent != EVENT_NONE) {
        return true;
    }
    if (m_image.PartialOpen()) {
        const BackupFileStep end =
            EndBackupImage(m_image, m_csFileName, m_nError, m_nExpectedBytes);
        for (const std::string& line : end.lines) {
            AddStatusLine(line);
        }
        m_nError = end.error;
    }
    FinishRun();
    TraceMessage("KZmnt", "TERMINATE(BackupMtoM)\n");
    return true;
}

bool CBackupMtoM::Complete(int) {
    TraceMessage("KZmnt", "Backup Complete\n");
    return false;
}

}  // namespace kz

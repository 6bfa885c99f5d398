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

#include <algorithm>
#include <array>
#include <new>

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
    if (!PrepareImageAreas(OldImageAreas::Model)) {
        return true;
    }
    m_nTotalUnits = 0;
    for (const MemArea& area : m_areas) {
        m_nTotalUnits +=
            static_cast<int>((std::uint64_t{area.size} + kRestoreUnit - 1) / kRestoreUnit);
    }
    m_nTotalUnits = std::max(m_nTotalUnits, 1);
    m_nAreaIndex = 0;
    m_nUnitsDone = 0;
    m_dwFileOffset = 0;
    m_pchData.reset(new (std::nothrow) std::uint8_t[lan::kAdapterBufferSize]);
    if (!m_pchData) {
        m_nError = msg::kNoMemory;
        return true;
    }
    m_pchWriteSource = m_pchData.get();
    return true;
}

bool CRestoreMtoM::LoadUnit() {
    if (!m_image.ReadImageData(m_dwFileOffset, m_pchData.get(), m_dwWriteSize)) {
        // Never write what was not read from the image.
        m_nError = msg::kImageTooShort;
        return false;
    }
    AddStatusLineF(msg::kRestoreProgress, m_nUnitsDone + 1, m_nTotalUnits);
    return true;
}

bool CRestoreMtoM::NextArea(int) {
    for (;;) {
        if (m_nAreaIndex >= static_cast<int>(m_areas.size())) {
            Skip(2);
            return true;
        }
        const MemArea& area = m_areas[static_cast<std::size_t>(m_nAreaIndex)];
        m_dwFileOffset = ImageOffsetOfArea(m_nAreaIndex);
        ++m_nAreaIndex;
        if (area.size == 0) {
            continue;
        }
        m_dwWriteAddress = area.start;
        m_nBytesLeft = area.size;
        m_dwWriteSize =
            static_cast<std::uint32_t>(std::min<std::int64_t>(m_nBytesLeft, kRestoreUnit));
        TraceMessage("KZmnt", "Restore Start : address = [%x] size = [%x] seek = [%llx]\n",
                     m_dwWriteAddress, m_dwWriteSize,
                     static_cast<unsigned long long>(m_dwFileOffset));
        LoadUnit();
        return true;
    }
}

bool CRestoreMtoM::RestoreData(int nEvent) {
    if (nEvent == EVENT_ABORT) {
        m_nError = msg::kAborted;
        m_bStoreAborted = true;
        Arm(lan::kRefusedTicks);
        TraceMessage("Cancel", "RestoreData\n");
        return false;
    }
    if (m_bStoreAborted || m_nError != 0) {
        Disarm();
        return true;
    }
    ++m_nUnitsDone;
    SetProgress(m_nUnitsDone * 100 / m_nTotalUnits);
    m_dwFileOffset += m_dwWriteSize;
    m_nBytesLeft -= m_dwWriteSize;
    if (m_nBytesLeft < 1) {
        Skip(-3);
        return true;
    }
    m_dwWriteAddress += m_dwWriteSize;
    m_dwWriteSize = static_cast<std::uint32_t>(std::min<std::int64_t>(m_nBytesLeft, kRestoreUnit));
    TraceMessage("KZmnt", "Restore next : address = [%x] size = [%x] seek = [%llx]\n",
                 m_dwWriteAddress, m_dwWriteSize, static_cast<unsigned long long>(m_dwFileOffset));
    if (LoadUnit()) {
        Skip(-2);
    }
    return true;
}

bool CRestoreMtoM::Terminate(int nEvent) {
    if (nEvent == EVENT_NONE) {
        FinishRun();
    }
    return true;
}

}  // namespace kz

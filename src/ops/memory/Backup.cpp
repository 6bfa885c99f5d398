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
#include <cstdio>

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
                                      step::kModelConfirm, step::kNextArea, step::kReadData};

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
    m_csMachineName = section->Name();
    m_csLoaderName = CModelDefs::Text(section, "ILOADER");
    m_nBaudRate = CModelDefs::SelectBaud(section, m_nBaudRate);
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
    std::vector<MemArea> areas;
    if (!ModelAreas(areas, m_dwUnit)) {
        return true;
    }
    if (CSettings().GetAutoFileName()) {
        // The stem comes from the definitions or the dialog: it names a file in the chosen
        // folder and nothing else.
        if (!m_csBkFile.empty() && !IsPlainFileName(m_csBkFile)) {
            AddStatusLine(
                Format(GetString(msg::kBkFileNotPlain).c_str(), Printable(m_csBkFile).c_str()));
            m_nError = msg::kBackupNameInvalid;
            return true;
        }
        m_csFileName = AutoBackupFileName(m_csFileName, m_csBkFile, m_dwAutoName);
    }
    TraceMessage("KZmnt", "  BackupFile = [%s]\n", m_csFileName.c_str());

    // An existing image keeps its header kind and model name; everything the backup writes
    // is replaced. The old file itself stays untouched until the new one is complete.
    m_image = MemImageFile();
    m_image.StartBackupHeader(m_csFileName, m_csMachineName);
    m_image.SetHeaderFormat(2);
    m_image.SetDescriptorVersion();
    m_image.SetCoreID(m_csCoreID);
    m_image.SetSignature(static_cast<std::uint16_t>(m_dwSignature & 0xFFFF));
    m_image.SetIOCode(m_csIOCode);
    m_image.SetComment(m_csComment);
    m_image.SetUnit(m_dwUnit);
    m_image.SetAreas(areas);
    std::uint32_t firstFrom = 0;
    std::uint32_t firstSram = 0;
    bool haveFrom = false;
    bool haveSram = false;
    m_nTotalUnits = 0;
    m_nExpectedBytes = 0;
    for (const MemArea& area : areas) {
        m_nTotalUnits += static_cast<int>(area.size / m_dwUnit);
        m_nExpectedBytes += StoredLength(area.size, m_dwUnit);
        if (area.type == kAreaFrom && !haveFrom) {
            firstFrom = area.size;
            haveFrom = true;
        } else if (area.type == kAreaSram && !haveSram) {
            firstSram = area.size;
            haveSram = true;
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

bool CBackup::NextArea(int) {
    if (m_nAreaIndex >= m_image.AreaCount()) {
        GoTo(step::kReset);
        return true;
    }
    const MemArea area = m_image.Area(static_cast<std::size_t>(m_nAreaIndex));
    ++m_nAreaIndex;
    // The first unit of an area is always a whole unit.
    StartAreaRead(area.start, area.size, m_dwUnit, msg::kBackupProgress);
    return true;
}

bool CBackup::StorePacket(int nEvent) {
    if (nEvent == EVENT_ABORT) {
        m_nError = msg::kAborted;
        return true;
    }
    const std::uint32_t bytes = static_cast<std::uint32_t>(m_nReadSize);
    if (!m_image.AppendImageData(m_pchRecvBuff.get(), bytes)) {
        m_nError = msg::kFileWrite;
        return true;
    }
    ReadPacketDone(bytes, msg::kBackupProgress);
    return true;
}

bool CBackup::Terminate(int nEvent) {
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
    FinishRun("in CBackup::Terminate(%d)\n", "out CBackup::Terminate\n");
    return true;
}

}  // namespace kz

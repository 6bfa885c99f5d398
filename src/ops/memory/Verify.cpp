// Step table of the serial verify (24 entries; errors at 0-3 go to Terminate, at 4-20 to
// Reset first):
//
//   0 Initialize      1 ReadCoreID      2 CheckCORE_ID    3 DownloadILOADER 4 ConnectILOADER
//   5 signature prep  6 ReadSignature   7 identify        8 CheckMachineType 9 WriteIO
//  10 ReadMachineType 11 ReadIO        12 I/O code check 13 CheckHW        14 ReadHW
//  15 hardware known 16 compatibility  17 PrepareVerify  18 ReadMemory     19 ReadData
//  20 VerifyData     21 Reset          22 Terminate      23 WaitUntilDestroy
//
// FROM areas are compared over their size, SRAM areas over the verify size of the model's
// SRAM key; the image offset of every area follows the image's own layout, so an SRAM area
// compared only in part, or one passed over, never shifts the areas after it.
#include "ops/memory/Verify.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <new>

#include "diag/Trace.h"

namespace kz {

namespace {
using Step = StepFn<CVerify>;
const std::array<Step, 24> kSteps = {
    &CVerify::Initialize,        &CVerify::ReadCoreID,      &CVerify::CheckCORE_ID,
    &CVerify::DownloadILOADER,   &CVerify::ConnectILOADER,  &CVerify::SignaturePrepStep,
    &CVerify::ReadSignature,     &CVerify::IdentifyStep,    &CVerify::CheckMachineTypeStep,
    &CVerify::WriteIO,           &CVerify::ReadMachineType, &CVerify::ReadIO,
    &CVerify::IoCodeCheck,       &CVerify::CheckHW,         &CVerify::ReadHW,
    &CVerify::HardwareKnownStep, &CVerify::Compatibility,   &CVerify::PrepareVerify,
    &CVerify::ReadMemory,        &CVerify::ReadData,        &CVerify::VerifyData,
    &CVerify::ResetStep,         &CVerify::Terminate,       &CVerify::WaitUntilDestroy,
};
}  // namespace

CVerify::CVerify() {
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
    if (!PrepareImageAreas(true)) {
        return true;
    }
    // SRAM areas are compared over the verify size of the model's SRAM key.
    const CIniSection* section = Section();
    int sramIndex = 0;
    m_nTotalUnits = 0;
    for (MemArea& area : m_areas) {
        std::uint32_t compared = area.size;
        if (area.type == kAreaSram) {
            ++sramIndex;
            std::uint32_t verifySize = 0;
            CModelDefs::HexField(section, "SRAM" + std::to_string(sramIndex), 2, verifySize,
                                 kAreaFieldBufferSize);
            area.verifySize = std::min(verifySize, area.size);
            compared = area.verifySize;
        }
        m_nTotalUnits += static_cast<int>((std::uint64_t{compared} + kUnit - 1) / kUnit);
    }
    if (m_nTotalUnits == 0) {
        m_nTotalUnits = 1;
    }
    m_nAreaIndex = 0;
    m_nUnitsDone = 0;
    m_dwFileOffset = 0;
    m_dwUnit = kUnit;
    m_pchCompare.reset(new (std::nothrow) std::uint8_t[kRecvBufferSize]);
    if (!m_pchCompare) {
        m_nError = msg::kNoMemory;
    }
    return true;
}

bool CVerify::ReadMemory(int) {
    TraceMessage("KZmnt", "CVerify::ReadMemory\n");
    for (;;) {
        if (m_nAreaIndex >= static_cast<int>(m_areas.size())) {
            Skip(2);
            return true;
        }
        const MemArea& area = m_areas[static_cast<std::size_t>(m_nAreaIndex)];
        m_dwFileOffset = ImageOffsetOfArea(m_nAreaIndex);
        ++m_nAreaIndex;
        const std::uint32_t compared = area.type == kAreaSram ? area.verifySize : area.size;
        if (compared < 1) {
            continue;
        }
        m_dwReadAddress = area.start;
        m_nBytesLeft = compared;
        StartUnit(std::min(compared, kUnit));
        AddStatusLineF(msg::kVerifyProgress, m_nUnitsDone + 1, m_nTotalUnits);
        return true;
    }
}

bool CVerify::VerifyData(int nEvent) {
    TraceMessage("KZmnt", "CVerify::VerifyData\n");
    if (nEvent == EVENT_ABORT) {
        m_nError = msg::kAborted;
        return true;
    }
    const std::uint32_t length = static_cast<std::uint32_t>(m_nReadSize);
    if (!m_image.ReadImageData(m_dwFileOffset, m_pchCompare.get(), length) ||
        std::memcmp(m_pchCompare.get(), m_pchRecvBuff.get(), length) != 0) {
        m_nError = msg::kVerifyMismatch;
        return true;
    }
    m_dwFileOffset += length;
    switch (PacketDone(length)) {
        case PacketResult::NextPacket:
            Skip(-2);
            break;
        case PacketResult::NextUnit:
            Skip(-2);
            AddStatusLineF(msg::kVerifyProgress, m_nUnitsDone + 1, m_nTotalUnits);
            break;
        case PacketResult::AreaDone:
            Skip(-3);
            break;
    }
    return true;
}

bool CVerify::Terminate(int nEvent) {
    TraceMessage("KZmnt", "CVerify::Terminate\n");
    if (nEvent != EVENT_NONE) {
        return true;
    }
    FinishRun("in CVerify::Terminate(%d)\n", "out CVerify::Terminate\n");
    return true;
}

}  // namespace kz

#include "ops/memory/MemoryMtoM.h"

#include <algorithm>

#include "config/MessageIds.h"
#include "diag/Trace.h"

namespace kz {

namespace {
constexpr std::uint32_t kSmallPacket = 1024;
}  // namespace

bool CMemoryMtoM::HardwareCheck(int) {
    m_bHardwareKnown = false;
    if (!NeedsHardwareRead()) {
        Skip(2);
    }
    return true;
}

bool CMemoryMtoM::HardwareKnown(int) {
    m_bHardwareKnown = true;
    TraceMessage("KZmnt", "CBackupMtoM::ReadHW\n");
    TraceMessage("KZmnt", "  m_csHW_CoreID = [%s]\n", m_csHardware.c_str());
    TraceMessage("KZmnt", "  m_dwFRomSize = [%X]\n", m_dwFRomSize);
    TraceMessage("KZmnt", "  m_dwDRamSize = [%X]\n", m_dwDRamSize);
    TraceMessage("KZmnt", "  m_dwSRamSize = [%X]\n", m_dwSRamSize);
    return true;
}

bool CMemoryMtoM::IdentifyImageModel() {
    m_csMachineName.clear();
    const CIniSection* section = LoadImageModel(ImageModelRule::StoredCoreId);
    if (!section) {
        m_nError = msg::kNotRegistered;
        return false;
    }
    m_csMachineName = section->Name();
    m_csLoaderName = CModelDefs::Text(section, "SLOADER");
    return true;
}

bool CMemoryMtoM::CheckPanelCoreId() {
    m_csLoaderName.clear();
    if (m_image.HasAreaTable()) {
        m_csPanelPattern.clear();
        if (const CIniSection* section = m_defs.FindByCoreID(m_csCoreID)) {
            m_csPanelPattern = CModelDefs::Text(section, "ID");
            m_csLoaderName = CModelDefs::Text(section, "SLOADER");
        }
    } else {
        m_csLoaderName = CModelDefs::Text(Section(), "SLOADER");
    }
    if (m_csLoaderName.empty()) {
        m_nError = msg::kNotRegistered;
    }
    return true;
}

bool CMemoryMtoM::CheckPanelFitsImage(const char* trace) {
    if (!PanelFitsImageCoreId(trace)) {
        m_nError = msg::kCoreIdDiffers;
        return false;
    }
    m_nError = CompareImageSizes(m_bHardwareKnown, m_dwFRomSize, m_dwSRamSize);
    if (m_nError != 0) {
        return false;
    }
    if (m_csFileName.empty()) {
        m_nError = msg::kAborted;
        return false;
    }
    SetModelName();
    return true;
}

void CMemoryMtoM::GoToDataStep(DataStep step) {
    switch (step) {
        case DataStep::Transfer:
            Skip(-2);
            break;
        case DataStep::NextArea:
            Skip(-3);
            break;
        case DataStep::Close:
            Skip(2);
            break;
    }
}

void CMemoryMtoM::SetupRequest(RequestStart) {
    if (Job() == MemoryJob::Restore) {
        m_dwWriteAddress = Address();
        m_dwWriteSize = UnitLeft();
        return;
    }
    const std::uint32_t packet = m_bLargePacket ? m_dwBlockSize : kSmallPacket;
    m_dwRequestAddress = Address();
    m_dwRequestSize = std::min(UnitLeft(), packet);
}

bool CMemoryMtoM::NextArea(int) {
    m_nError = EnterNextArea();
    return true;
}

bool CMemoryMtoM::TransferStep(int nEvent, const char* cancelTrace) {
    if (nEvent == EVENT_ABORT) {
        m_nError = msg::kAborted;
        m_bStoreAborted = true;
        Arm(lan::kRefusedTicks);
        TraceMessage("Cancel", "%s", cancelTrace);
        return false;
    }
    // After an abort the packet held here was booked already or is not wanted: the run only
    // moves on to the closing steps.
    if (m_bStoreAborted || m_nError != 0) {
        Disarm();
        return true;
    }
    const std::uint32_t bytes = Job() == MemoryJob::Restore ? m_dwWriteSize : m_dwRecvLength;
    m_nError = TransferDone(m_pchBuff.get(), bytes);
    return true;
}

void CMemoryMtoM::BeforeTransferEntry(int nEvent) {
    if (nEvent == EVENT_TIMEOUT && m_nError != 0) {
        OnTerminate();
    }
}

}  // namespace kz

#include "ops/memory/MemoryMtoM.h"

#include <algorithm>

#include "config/MessageIds.h"
#include "config/StringTable.h"
#include "diag/Trace.h"
#include "platform/Format.h"

namespace kz {

namespace {
constexpr std::uint32_t kSmallPacket = 1024;
}  // namespace

CMemoryMtoM::CMemoryMtoM() {
    m_defs.SetTracer([](const char* line) { TraceMessage("KZmnt", "%s", line); });
}

void CMemoryMtoM::AddStatusLineF(int stringId, int a, int b) {
    AddStatusLine(Format(GetString(stringId).c_str(), a, b));
}

bool CMemoryMtoM::HardwareCheck(int) {
    m_bHardwareKnown = false;
    const CIniSection* section = Section();
    if (!section || CModelDefs::Has(section, "CHKMEM")) {
        AddStatusLine(msg::kHardwareCheck);
        return true;
    }
    Skip(2);
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
    m_image = MemImageFile();
    m_image.LoadHeader(m_csFileName);
    m_csMachineName.clear();
    m_csImageCoreID.clear();
    const CIniSection* section = nullptr;
    if (m_image.HasAreaTable()) {
        m_csImageCoreID = m_image.GetImageCoreIDText();
        section = m_defs.FindByCoreID(m_csImageCoreID);
    } else {
        std::string name = m_image.GetImageModelName();
        const auto first = name.find_first_not_of(" \t\r\n");
        const auto last = name.find_last_not_of(" \t\r\n");
        name = first == std::string::npos ? std::string() : name.substr(first, last - first + 1);
        section = m_defs.FindByName(name);
        if (section) {
            m_csImageCoreID = CModelDefs::Text(section, "ID");
        }
    }
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
    if (trace != nullptr) {
        TraceMessage("KZmnt", "%s", trace);
        TraceMessage("KZmnt", "  [%s] = [%s]\n", m_csPanelPattern.c_str(), m_csImageCoreID.c_str());
    }
    CoreIdTracer tracer = [](const char* line) { TraceMessage("KZmnt", "%s", line); };
    if (!m_csPanelPattern.empty() &&
        !CModelDefs::CheckCoreID(m_csImageCoreID, m_csPanelPattern, tracer)) {
        m_nError = msg::kCoreIdDiffers;
        return false;
    }
    if (m_bHardwareKnown) {
        if (m_dwFRomSize != m_image.FromSize()) {
            m_nError = msg::kFepromSize;
            return false;
        }
        if (m_dwSRamSize != m_image.SramSize()) {
            m_nError = msg::kSramSize;
            return false;
        }
    }
    if (m_csFileName.empty()) {
        m_nError = msg::kAborted;
        return false;
    }
    SetModelName();
    return true;
}

bool CMemoryMtoM::PrepareImageAreas(OldImageAreas oldFormat) {
    m_image = MemImageFile();
    m_image.LoadHeader(m_csFileName);
    AreaPlan plan = ImageAreaPlan(m_image, m_csFileName, Section(), oldFormat);
    for (const std::string& line : plan.lines) {
        AddStatusLine(line);
    }
    m_areas = std::move(plan.areas);
    m_dwImageUnit = plan.imageUnit;
    m_nError = plan.error;
    return plan.error == 0;
}

void CMemoryMtoM::StartUnit(std::uint32_t unitBytes) {
    m_nUnitLeft = unitBytes;
    SetupPacket();
}

void CMemoryMtoM::SetupPacket() {
    const std::uint32_t packet = m_bLargePacket ? m_dwBlockSize : kSmallPacket;
    m_dwRequestSize = std::min(m_nUnitLeft, packet);
}

CMemoryMtoM::PacketResult CMemoryMtoM::PacketDone(std::uint32_t bytes) {
    m_dwRequestAddress += bytes;
    m_nUnitLeft -= std::min(bytes, m_nUnitLeft);
    m_nBytesLeft -= bytes;
    if (m_nUnitLeft > 0) {
        SetupPacket();
        return PacketResult::NextPacket;
    }
    ++m_nUnitsDone;
    SetProgress(m_nUnitsDone * 100 / m_nTotalUnits);
    if (m_nBytesLeft > 0) {
        StartUnit(static_cast<std::uint32_t>(std::min<std::int64_t>(m_nBytesLeft, m_dwUnit)));
        return PacketResult::NextUnit;
    }
    return PacketResult::AreaDone;
}

void CMemoryMtoM::FinishRun() {
    if (m_nError == 0) {
        m_nError = msg::kCompleted;
    }
    AddStatusLine(m_nError);
    PostComplete();
    ShowPowerWarning(false);
}

}  // namespace kz

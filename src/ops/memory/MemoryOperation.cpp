#include "ops/memory/MemoryOperation.h"

#include <sys/stat.h>

#include <algorithm>

#include "config/StringTable.h"
#include "diag/Trace.h"
#include "platform/Format.h"
#include "platform/Printable.h"

namespace kz {

CMemoryOperation::CMemoryOperation(const MemorySteps& steps) : m_steps(steps) {
    m_defs.SetTracer([](const char* line) { TraceMessage("KZmnt", "%s", line); });
}

ModelInfoInput ToDialogInput(const ModelInfoExchange& x, const std::string& comment) {
    ModelInfoInput in;
    in.mode = x.mode;
    in.coreId = x.coreId;
    in.ioCode = x.ioCode;
    in.signatureText = x.signatureText;
    in.signatureRead = x.signatureKind != 0;
    in.signatureKind = x.signatureKind;
    // The same value the operation identified the model with, so the dialog accepts exactly
    // the sections the operation accepted.
    in.signatureValue = x.signatureValue;
    in.comment = comment;
    in.modelName = x.modelName;
    in.fromSize = x.fromSize;
    in.sramSize = x.sramSize;
    in.baud = x.baud;
    return in;
}

ModelInfoExchange CMemoryOperation::ModelInfoRequest() const {
    ModelInfoExchange info;
    info.mode = m_nDialogMode;
    info.coreId = m_csCoreID;
    info.ioCode = m_csIOCode;
    info.signatureText = Format("%X", m_dwSignature & 0xFFFF);
    if (CModelDefs::Signature(Section())) {
        info.signatureKind = m_nSignatureKind;
        info.signatureValue = m_dwSignature;
    }
    info.fromSize = m_bHardwareKnown ? m_dwFRomSize : 0;
    info.sramSize = m_bHardwareKnown ? m_dwSRamSize : 0;
    info.baud = m_nBaudRate;
    info.modelName = m_csMachineName;
    info.bkFile = m_csBkFile;
    return info;
}

void CMemoryOperation::AnswerModelInfo(bool ok, const std::string& modelName,
                                       const std::string& bkFile, std::uint32_t baud) {
    if (!ok) {
        m_csFileName.clear();
    }
    m_csMachineName = modelName;
    m_csBkFile = bkFile;
    m_nBaudRate = baud;
}

void CMemoryOperation::AddStatusLineF(int stringId, int a, int b) {
    AddStatusLine(Format(GetString(stringId).c_str(), a, b));
}

// ---- Identification --------------------------------------------------------------------------

bool CMemoryOperation::SignaturePrep(int) {
    const CIniSection* section = Section();
    if (section && CModelDefs::Has(section, "SIGNATURE")) {
        int kind = 0;
        if (CModelDefs::DecField(section, "SIGNATURE", 0, kind)) {
            m_nSignatureKind = kind;
        }
        AddStatusLine(msg::kSignatureCheck);
        return true;
    }
    if (!section) {
        AddStatusLine(msg::kSignatureCheck);
    }
    GoTo(m_steps.ioCodeSelect);
    return true;
}

bool CMemoryOperation::IdentifyBySignature(int) {
    const CIniSection* section =
        m_defs.FindByCoreIDAndSignature(m_csCoreID, m_nSignatureKind, m_dwSignature);
    if (!section) {
        m_nError = msg::kNotRegistered;
        return true;
    }
    m_csMachineName = section->Name();
    m_csLoaderName = CModelDefs::Text(section, "ILOADER");
    m_nBaudRate = CModelDefs::SelectBaud(section, m_nBaudRate);
    TraceMessage("KZmnt", "  m_csMachineName = [%s]\n", m_csMachineName.c_str());
    return true;
}

bool CMemoryOperation::SelectIoCode(bool presetFromModel) {
    const CIniSection* section = Section();
    const char* key = m_bIoRetry ? "IO3" : "IO1";
    auto io = CModelDefs::Io(section, key);
    if (!section || !CModelDefs::Has(section, "IOCODE") || !io) {
        GoTo(m_steps.hardwareCheck);
        return true;
    }
    if (presetFromModel && !m_bIoRetry) {
        m_csIOCode = CModelDefs::Text(section, "IOCODE");
    }
    AddStatusLine(msg::kIoCodeCheck);
    m_dwWriteAddress = io->address;
    m_nWriteDataSize = io->count;
    m_dwWriteIOValue = io->value;
    return true;
}

bool CMemoryOperation::IoReadSetup(int) {
    auto io = CModelDefs::Io(Section(), "IO2");
    if (!io) {
        GoTo(m_steps.hardwareCheck);
        return true;
    }
    m_dwReadAddress = io->address;
    m_nReadSize = io->count;
    return true;
}

std::string CMemoryOperation::IoCodeRead() {
    std::string code = Format("%02X", m_dwIOValue & 0xFF);
    if (code == "FF") {
        // The register was not selected yet: select it again with IO3.
        m_bIoRetry = true;
        GoTo(m_steps.ioCodeSelect);
    }
    return code;
}

bool CMemoryOperation::HardwareCheck(int) {
    m_bHardwareKnown = false;
    const CIniSection* section = Section();
    if (!section || CModelDefs::Has(section, "CHKMEM")) {
        AddStatusLine(msg::kHardwareCheck);
        return true;
    }
    GoTo(m_steps.confirmation);
    return true;
}

bool CMemoryOperation::HardwareKnown(int) {
    m_bHardwareKnown = true;
    return true;
}

bool CMemoryOperation::ConfirmModel(DialogMode mode) {
    m_nDialogMode = mode;
    RequestFromView(WM_MODEL_INFO_REQUEST);
    if (m_csFileName.empty()) {
        m_nError = msg::kAborted;
        return false;
    }
    SetModelName();
    return true;
}

// ---- Restore and verify -------------------------------------------------------------------

bool CMemoryOperation::IdentifyImageModel() {
    m_bIoRetry = false;
    m_image = MemImageFile();
    m_image.LoadHeader(m_csFileName);
    m_csMachineName.clear();
    m_csIOCode.clear();
    m_csImageIOCode.clear();
    if (!m_defs.HasSections()) {
        m_nError = msg::kNotRegistered;
        return false;
    }
    const CIniSection* section = nullptr;
    if (m_image.HeaderFormat() == 2) {
        m_csImageCoreID = Format("%X", m_image.GetImageCoreID());
        if (m_image.GetImageIOCode() != 0) {
            m_csImageIOCode = Format("%02X", m_image.GetImageIOCode());
        }
        section = m_defs.FindByImage(m_csImageCoreID, m_csImageIOCode);
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
    m_csLoaderName = CModelDefs::Text(section, "ILOADER");
    m_dwSignature = 0;
    return true;
}

bool CMemoryOperation::CheckPanelCoreId(const char* trace) {
    TraceMessage("KZmnt", "%s", trace);
    m_csCoreID = CoreIdFromAnswer();
    m_csLoaderName.clear();
    const CIniSection* section = m_defs.FindByCoreID(m_csCoreID);
    if (section) {
        m_csPanelPattern = CModelDefs::Text(section, "ID");
        m_csLoaderName = CModelDefs::Text(section, "ILOADER");
        m_nBaudRate = CModelDefs::SelectBaud(section, m_nBaudRate);
    }
    if (m_csLoaderName.empty()) {
        m_nError = msg::kNotRegistered;
    }
    return true;
}

bool CMemoryOperation::CheckMachineType(const char* trace) {
    TraceMessage("KZmnt", "%s", trace);
    TraceMessage("KZmnt", "  [%s] = [%s]\n", m_csPanelPattern.c_str(), m_csImageCoreID.c_str());
    CoreIdTracer tracer = [](const char* line) { TraceMessage("KZmnt", "%s", line); };
    if (!CModelDefs::CheckCoreID(m_csImageCoreID, m_csPanelPattern, tracer)) {
        m_nError = msg::kCoreIdDiffers;
        return true;
    }
    if (m_csImageIOCode.empty()) {
        GoTo(m_steps.hardwareCheck);
        return true;
    }
    m_csIOCode = m_csImageIOCode;
    return SelectIoCode(false);
}

bool CMemoryOperation::CompareIoCode() {
    std::string code = IoCodeRead();
    if (code != "FF" && code != m_csImageIOCode) {
        m_nError = msg::kIoCodeDiffers;
    }
    return true;
}

bool CMemoryOperation::CheckCompatibility(DialogMode mode) {
    if (m_image.Signature() != static_cast<std::uint16_t>(m_dwSignature & 0xFFFF)) {
        m_nError = msg::kSignatureDiffers;
        return true;
    }
    if (m_bHardwareKnown) {
        if (m_dwFRomSize != m_image.FromSize()) {
            m_nError = msg::kFepromSize;
            return true;
        }
        if (m_dwSRamSize != m_image.SramSize()) {
            m_nError = msg::kSramSize;
            return true;
        }
    }
    if (!ConfirmModel(mode)) {
        return true;
    }
    m_csLoaderName = CModelDefs::Text(Section(), "ILOADER");
    return true;
}

bool CMemoryOperation::ModelAreas(std::vector<MemArea>& areas, std::uint32_t& unit) {
    const AreaCheck check = CModelDefs::CheckAreas(Section(), areas, unit);
    const std::string key = Printable(check.key);
    switch (check.fault) {
        case AreaFault::None:
            return true;
        case AreaFault::NoAreas:
            AddStatusLine(msg::kNoAreas);
            break;
        case AreaFault::BadArea:
            AddStatusLine(Format(GetString(msg::kAreaKeyInvalid).c_str(), key.c_str()));
            break;
        case AreaFault::TooMany:
            AddStatusLine(Format(GetString(msg::kTooManyAreas).c_str(), key.c_str()));
            break;
        case AreaFault::Wraps:
            AddStatusLine(Format(GetString(msg::kAreaWraps).c_str(), key.c_str()));
            break;
        case AreaFault::BadUnit:
            AddStatusLine(msg::kUnitInvalid);
            break;
    }
    m_nError = msg::kModelAreasInvalid;
    return false;
}

namespace {

std::string AreaText(const MemArea& area) {
    return Format("%s %08X,%08X",
                  area.type == kAreaFrom ? "FROM" : (area.type == kAreaSram ? "SRAM" : "?"),
                  area.start, area.size);
}

}  // namespace

bool CMemoryOperation::PrepareImageAreas(bool fromOnlyForOldFormat) {
    m_image = MemImageFile();
    m_image.LoadHeader(m_csFileName);
    m_areas.clear();
    std::vector<MemArea> modelAreas;
    std::uint32_t modelUnit = kDefaultTransferUnit;
    if (!ModelAreas(modelAreas, modelUnit)) {
        return false;
    }
    const bool oldFormat = m_image.HeaderFormat() != 2;
    m_dwImageUnit = oldFormat || m_image.Unit() == 0 ? modelUnit : m_image.Unit();
    if (!oldFormat) {
        // The table decides which panel addresses are written: it must be the model's.
        const int count = m_image.AreaCount();
        if (count < 1 || count > static_cast<int>(kImageMaxAreas) ||
            static_cast<std::size_t>(count) != modelAreas.size()) {
            AddStatusLine(Format(GetString(msg::kImageAreaCount).c_str(), count,
                                 static_cast<int>(modelAreas.size())));
            m_nError = msg::kImageAreasDiffer;
            return false;
        }
        m_areas = m_image.Areas();
        for (std::size_t i = 0; i < m_areas.size(); ++i) {
            const MemArea& image = m_areas[i];
            const MemArea& model = modelAreas[i];
            if (image.type != model.type || image.start != model.start ||
                image.size != model.size) {
                AddStatusLine(Format(GetString(msg::kImageAreaDiffers).c_str(),
                                     static_cast<int>(i + 1), AreaText(image).c_str(),
                                     AreaText(model).c_str()));
                m_areas.clear();
                m_nError = msg::kImageAreasDiffer;
                return false;
            }
        }
    } else if (fromOnlyForOldFormat) {
        // Old images carry no usable area table: one FROM area of the recorded FROM size,
        // at the start of FROM1.
        MemArea from;
        from.type = kAreaFrom;
        if (modelAreas.front().type == kAreaFrom) {
            from.start = modelAreas.front().start;
        }
        from.size = m_image.FromSize();
        if (std::uint64_t{from.start} + from.size > std::uint64_t{0x100000000}) {
            AddStatusLine(Format(GetString(msg::kImageAreaDiffers).c_str(), 1,
                                 AreaText(from).c_str(), AreaText(modelAreas.front()).c_str()));
            m_nError = msg::kImageAreasDiffer;
            return false;
        }
        m_areas.push_back(from);
    } else {
        m_areas = modelAreas;
    }
    // Every byte the areas occupy must be in the file before anything is transferred.
    std::uint64_t promised = 0;
    for (const MemArea& area : m_areas) {
        promised += StoredLength(area.size, m_dwImageUnit);
    }
    struct stat st {};
    if (::stat(m_csFileName.c_str(), &st) != 0 || !S_ISREG(st.st_mode) ||
        static_cast<std::uint64_t>(st.st_size) < kImageHeaderSize + promised) {
        m_nError = msg::kImageTooShort;
        return false;
    }
    if (!oldFormat && static_cast<std::uint64_t>(st.st_size) != kImageHeaderSize + promised) {
        m_nError = msg::kImageTooLong;
        return false;
    }
    return true;
}

std::uint64_t CMemoryOperation::ImageOffsetOfArea(int index) const {
    std::uint64_t offset = 0;
    for (int i = 0; i < index && i < static_cast<int>(m_areas.size()); ++i) {
        offset += StoredLength(m_areas[static_cast<std::size_t>(i)].size, m_dwImageUnit);
    }
    return offset;
}

// ---- Packets ------------------------------------------------------------------------------------

void CMemoryOperation::StartAreaRead(std::uint32_t start, std::int64_t bytes,
                                     std::uint32_t firstUnit, int progressId) {
    m_dwReadAddress = start;
    m_nBytesLeft = bytes;
    StartUnit(firstUnit);
    AddStatusLineF(progressId, m_nUnitsDone + 1, m_nTotalUnits);
}

void CMemoryOperation::StartUnit(std::uint32_t unitBytes) {
    m_nUnitLeft = unitBytes;
    SetupPacket();
}

void CMemoryOperation::SetupPacket() {
    const auto packet = static_cast<std::uint32_t>(m_nMaxReadSize);
    if (m_nUnitLeft > packet) {
        m_nReadSize = static_cast<int>(packet);
        m_nPacketCount = static_cast<int>((m_nUnitLeft + packet - 1) / packet);
    } else {
        m_nReadSize = static_cast<int>(m_nUnitLeft);
        m_nPacketCount = 0;
    }
    TraceMessage("KZmnt", "m_nPacketCount=%d, m_nReadSize=%08X\n", m_nPacketCount, m_nReadSize);
}

void CMemoryOperation::ReadPacketDone(std::uint32_t bytes, int progressId) {
    m_dwReadAddress += bytes;
    m_nUnitLeft -= std::min(bytes, m_nUnitLeft);
    m_nBytesLeft -= bytes;
    if (m_nUnitLeft > 0) {
        // Every byte of the unit is read before it counts, in packets of the current size.
        SetupPacket();
        GoTo(m_steps.transfer);
        return;
    }
    ++m_nUnitsDone;
    SetProgress(m_nUnitsDone * 100 / m_nTotalUnits);
    if (m_nBytesLeft > 0) {
        StartUnit(static_cast<std::uint32_t>(std::min<std::int64_t>(m_nBytesLeft, m_dwUnit)));
        GoTo(m_steps.transfer);
        AddStatusLineF(progressId, m_nUnitsDone + 1, m_nTotalUnits);
        return;
    }
    GoTo(m_steps.nextArea);
}

bool CMemoryOperation::LowerReadSize(const char* traceTag) {
    if (traceTag) {
        TraceMessage("KZmnt", "%s", traceTag);
    }
    if (m_nMaxReadSize == kReadSizeLarge) {
        m_nMaxReadSize = kReadSizeMedium;
    } else if (m_nMaxReadSize == kReadSizeMedium) {
        m_nMaxReadSize = kReadSizeSmall;
    } else {
        return false;
    }
    TraceMessage("KZmnt", "Change Read Size ");
    TraceMessage("KZmnt", "[%d]\n", m_nMaxReadSize);
    SetupPacket();
    return true;
}

std::uint32_t CMemoryOperation::StoredLength(std::uint32_t size, std::uint32_t unit) {
    return size >= unit ? size : unit;
}

void CMemoryOperation::FinishRun(const char* traceIn, const char* traceOut) {
    TraceMessage("KZmnt", traceIn, m_nError);
    ShowPowerWarning(false);
    Close();
    if (m_nError == 0) {
        m_nError = msg::kCompleted;
    }
    AddStatusLine(m_nError);
    PostComplete();
    TraceMessage("KZmnt", "%s", traceOut);
}

}  // namespace kz

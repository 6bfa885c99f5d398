#include "ops/memory/MemoryOperation.h"

#include "diag/Trace.h"
#include "platform/Format.h"

namespace kz {

CMemoryOperation::CMemoryOperation(const MemorySteps& steps) : m_steps(steps) {}

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
    UseModel(*section);
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
    if (!NeedsHardwareRead()) {
        GoTo(m_steps.confirmation);
    }
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
    m_csMachineName.clear();
    m_csIOCode.clear();
    const CIniSection* section = LoadImageModel(ImageModelRule::CoreIdAndIoCode);
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
    if (!PanelFitsImageCoreId(trace)) {
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
    m_nError = CompareImageSizes(m_bHardwareKnown, m_dwFRomSize, m_dwSRamSize);
    if (m_nError != 0 || !ConfirmModel(mode)) {
        return true;
    }
    m_csLoaderName = CModelDefs::Text(Section(), "ILOADER");
    return true;
}

// ---- The data phase -----------------------------------------------------------------------------

void CMemoryOperation::GoToDataStep(DataStep step) {
    switch (step) {
        case DataStep::Transfer:
            GoTo(m_steps.transfer);
            break;
        case DataStep::NextArea:
            GoTo(m_steps.nextArea);
            break;
        case DataStep::Close:
            GoTo(m_steps.close);
            break;
    }
}

void CMemoryOperation::SetupRequest(RequestStart) {
    if (Job() == MemoryJob::Restore) {
        m_dwWriteAddress = Address();
        m_nWriteDataSize = static_cast<int>(UnitLeft());
        return;
    }
    SetupPacket();
}

void CMemoryOperation::SetupPacket() {
    const auto packet = static_cast<std::uint32_t>(m_nMaxReadSize);
    m_dwReadAddress = Address();
    if (UnitLeft() > packet) {
        m_nReadSize = static_cast<int>(packet);
        m_nPacketCount = static_cast<int>((UnitLeft() + packet - 1) / packet);
    } else {
        m_nReadSize = static_cast<int>(UnitLeft());
        m_nPacketCount = 0;
    }
    TraceMessage("KZmnt", "m_nPacketCount=%d, m_nReadSize=%08X\n", m_nPacketCount, m_nReadSize);
}

bool CMemoryOperation::NextArea(int) {
    m_nError = EnterNextArea();
    return true;
}

bool CMemoryOperation::TransferStep(int nEvent) {
    if (nEvent == EVENT_ABORT) {
        m_nError = msg::kAborted;
        return true;
    }
    const int bytes = Job() == MemoryJob::Restore ? m_nWriteDataSize : m_nReadSize;
    m_nError = TransferDone(m_pchRecvBuff.get(), static_cast<std::uint32_t>(bytes));
    return true;
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

void CMemoryOperation::UseModel(const CIniSection& section) {
    m_csMachineName = section.Name();
    m_csLoaderName = CModelDefs::Text(&section, "ILOADER");
    m_nBaudRate = CModelDefs::SelectBaud(&section, m_nBaudRate);
}

}  // namespace kz

#include "ops/memory/ModelConfirm.h"

#include <optional>

#include "config/MessageIds.h"
#include "config/StringTable.h"
#include "diag/Trace.h"
#include "platform/Format.h"

namespace kz {

namespace {

constexpr std::uint32_t kDialogDefaultBaud = 9600;

// The sink to use: the caller's, or the developer trace.
TraceLineSink SinkOr(const TraceLineSink& trace) {
    if (trace) {
        return trace;
    }
    return [](const char* line) { TraceMessage("KZmnt", "%s", line); };
}

void Emit(const TraceLineSink& sink, const std::string& line) {
    sink(line.c_str());
}

bool SignatureTest(const CIniSection* section, const ModelInfoInput& in) {
    const std::optional<SignatureRule> rule = CModelDefs::Signature(section);
    if (!rule) {
        return true;
    }
    return in.signatureRead && rule->Fits(in.signatureKind, in.signatureValue);
}

bool IoCodeTest(const CIniSection* section, const ModelInfoInput& in) {
    if (!CModelDefs::Has(section, "IOCODE") || in.ioCode.empty()) {
        return true;
    }
    return CModelDefs::Text(section, "IOCODE") == in.ioCode;
}

// The string table keeps the conversions of a replaced text equal to the built-in ones,
// so the texts can be used as formats.
std::string AreaLine(const std::string& address, const std::string& size) {
    return Format(GetString(msg::kAreaLine).c_str(), address.c_str(), size.c_str());
}

// The area lists of a model section. In verify mode the SRAM entries show the verify size;
// an SRAM entry whose size reads as 0 taken as a decimal number is left out (this also
// leaves out hex sizes that start with a letter).
void FillAreaLists(const CIniSection* section, bool verifySizes, bool skipZeroSram,
                   std::vector<std::string>& feprom, std::vector<std::string>& sram) {
    for (const MemAreaText& area : CModelDefs::AreaTexts(section)) {
        if (area.type == kAreaFrom) {
            feprom.push_back(AreaLine(area.start, area.size));
            continue;
        }
        const std::string& size = verifySizes ? area.verifySize : area.size;
        if (skipZeroSram && IniAtoi(size) == 0) {
            continue;
        }
        sram.push_back(AreaLine(area.start, size));
    }
}

}  // namespace

bool CheckMemory(const CIniSection* section, std::uint32_t fromSize, std::uint32_t sramSize,
                 const TraceLineSink& trace) {
    const std::optional<MemSizes> expected = CModelDefs::CheckMem(section);
    if (!expected) {
        return true;
    }
    const TraceLineSink sink = SinkOr(trace);
    Emit(sink,
         Format("CConfirmDlg::CheckMemory = [%s]\n", CModelDefs::Text(section, "CHKMEM").c_str()));
    Emit(sink, Format("  m_dwFRomSize = [%X] m_dwSRamSize = [%X]\n", fromSize, sramSize));
    if (fromSize == 0 && sramSize == 0) {
        // The hardware information was not read: nothing to compare.
        Emit(sink, "  Memory is Match\n");
        return true;
    }
    Emit(sink, Format("  dwFRomSize = [%X] dwSRamSize = [%X]\n", expected->from, expected->sram));
    if ((fromSize != 0 && fromSize != expected->from) ||
        (sramSize != 0 && sramSize != expected->sram)) {
        return false;
    }
    Emit(sink, "  Memory is Match\n");
    return true;
}

ModelInfo ConfirmModel(const CModelDefs& defs, const ModelInfoInput& in,
                       const TraceLineSink& trace) {
    const TraceLineSink sink = SinkOr(trace);
    ModelInfo info;
    int messageId = 0;
    switch (in.mode) {
        case DialogMode::Backup:
            info.captionId = msg::kBackupConfirmCaption;
            messageId = msg::kModelBackupMessage;
            break;
        case DialogMode::Restore:
            info.captionId = msg::kRestoreConfirmCaption;
            messageId = msg::kModelRestoreMessage;
            break;
        case DialogMode::Verify:
            info.captionId = msg::kVerifyConfirmCaption;
            messageId = msg::kModelVerifyMessage;
            break;
        default:
            break;
    }

    const CIniSection* match = nullptr;
    for (const CIniSection* section : defs.Models()) {
        if (CModelDefs::CheckCoreID(in.coreId, CModelDefs::Text(section, "ID"), sink) &&
            SignatureTest(section, in) && IoCodeTest(section, in) &&
            CheckMemory(section, in.fromSize, in.sramSize, sink)) {
            match = section;
            break;
        }
    }

    const CIniSection* shown = match;
    if (match != nullptr) {
        info.found = true;
        info.modelName = match->Name();
        info.loaderName = CModelDefs::Text(match, "ILOADER");
        info.bkFileStem = CModelDefs::Text(match, "BK_FILE");
        info.baud = CModelDefs::ModelBaud(match).value_or(kDialogDefaultBaud);
    } else {
        info.modelName = in.modelName;
        info.baud = in.baud;
        shown = defs.FindByName(in.modelName);
    }

    info.coreIdDisplay = in.coreId.size() > 2 ? in.coreId.substr(2) : in.coreId;
    info.ioCode = in.ioCode;
    info.comment = in.comment;
    if (messageId != 0) {
        info.message = Format(GetString(messageId).c_str(), info.modelName.c_str());
    }
    FillAreaLists(shown, in.mode == DialogMode::Verify, true, info.fepromList, info.sramList);
    return info;
}

ImageProperties GetImageProperties(const MemImageFile& image, const CModelDefs& defs) {
    ImageProperties props;
    props.coreId = Format("%02X", image.GetImageCoreID());
    if (props.coreId.size() > 2) {
        props.coreId.erase(0, 2);
    }
    props.ioCode = Format("%02X", image.GetImageIOCode());
    props.comment = image.GetImageComment();
    props.modelName = image.GetImageModelName();
    FillAreaLists(defs.FindByName(props.modelName), false, false, props.fepromList, props.sramList);
    return props;
}

}  // namespace kz

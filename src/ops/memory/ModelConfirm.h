// What the model-information dialog (dialog 135) and the Property dialog (dialog 131)
// show and decide, without any UI: the search for the model that fits everything the
// operation learnt about the panel, the texts and area lists to show, and the values the
// controller copies back into the operation.
//
// Thread-safety: the functions keep no state; call them from any thread with a model
// definitions reader that thread owns.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "config/IniFile.h"
#include "config/ModelDefs.h"
#include "ops/memory/MemImageFile.h"

namespace kz {

// The model-information dialog's modes: which memory operation asks for the confirmation.
enum class DialogMode { Backup = 1, Restore = 2, Verify = 3 };

// What the operation hands to the dialog.
struct ModelInfoInput {
    DialogMode mode = DialogMode::Backup;
    std::string coreId;         // the panel's core ID text ("8C93")
    std::string ioCode;         // the panel's I/O code text ("3C"), empty when none
    std::string signatureText;  // the signature value as "%X"; informational
    // The signature the operation read: whether it read one, its kind n and the value.
    // The SIGNATURE test uses these rather than the text, so that the dialog accepts a
    // section exactly when the operation's identification by signature accepts it.
    bool signatureRead = false;
    int signatureKind = 0;
    std::uint32_t signatureValue = 0;
    std::string comment;
    std::string modelName;       // m_csMachineName
    std::uint32_t fromSize = 0;  // the panel's sizes; both 0 when the hardware was not read
    std::uint32_t sramSize = 0;
    std::uint32_t baud = 9600;
};

// What the dialog shows and what the controller copies back.
struct ModelInfo {
    int captionId = 0;   // msg::k{Backup,Restore,Verify}ConfirmCaption (0: unknown mode)
    bool found = false;  // a model section passed all tests
    // Copied back into the operation. Without a match the model name and baud are the
    // operation's own and the loader name and stem are empty.
    std::string modelName;
    std::string loaderName;  // ILOADER
    std::string bkFileStem;  // BK_FILE
    std::uint32_t baud = 9600;
    // Shown.
    std::string coreIdDisplay;  // the core ID from its third character on when longer than 2
    std::string ioCode;
    std::string comment;
    std::string message;  // msg::kModel{Backup,Restore,Verify}Message with the model name
    std::vector<std::string> fepromList;  // msg::kAreaLine "Address=%s , Size=%s" per FROM key
    std::vector<std::string> sramList;    // per SRAM key
};

// Receives trace lines (each ends in "\n"). An empty tracer sends them to the developer
// trace (tag "KZmnt").
using TraceLineSink = CoreIdTracer;

// The CHKMEM test: passes when both panel sizes are 0 (the hardware was not read);
// otherwise the key's FROM and SRAM sizes (hex) must equal each panel size that is not 0.
// A section without CHKMEM passes. Traces "CConfirmDlg::CheckMemory = [%s]" and the sizes.
bool CheckMemory(const CIniSection* section, std::uint32_t fromSize, std::uint32_t sramSize,
                 const TraceLineSink& trace = {});

// Searches the model sections in file order for the first that passes all four tests:
// ID (core ID match), SIGNATURE when present (SignatureRule::Fits with the signature the
// operation read; no signature read never fits), IOCODE when present (passes when the
// panel's I/O code text is empty or equals the value exactly) and CHKMEM when present
// (CheckMemory). Builds the texts to show from the matching section, or, without a match,
// from the section named like the operation's model.
ModelInfo ConfirmModel(const CModelDefs& defs, const ModelInfoInput& in,
                       const TraceLineSink& trace = {});

// What the Property dialog shows for an image whose header was loaded.
struct ImageProperties {
    std::string coreId;  // "%02X" of the image core ID, from the third character on when longer
    std::string ioCode;  // "%02X" of the image I/O code
    std::string comment;
    std::string modelName;
    std::vector<std::string> fepromList;  // from the model section of that name, if any
    std::vector<std::string> sramList;    // every SRAM key, first two fields
};

ImageProperties GetImageProperties(const MemImageFile& image, const CModelDefs& defs);

}  // namespace kz

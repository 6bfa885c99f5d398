// CMemoryOperation: the serial link's adapter for backup, restore and verify. The link-free
// decisions (the image's model, the area plan, the backup's file, the data phase) are the
// plan's (CMemoryPlan); what stays here is what the serial link has of its own: the
// identification steps after the loader is connected (signature, I/O code, hardware
// information), the model-information request, and the data phase in requests of the read
// size, which steps down after persistent line errors. Each operation adds its own step table.
//
// Thread-safety: as CProtocol — steps run on the operation's event thread. The
// model-information exchange (ModelInfoRequest/AnswerModelInfo) is called by the front-end
// on its UI thread while the event thread waits for it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "config/MessageIds.h"
#include "config/ModelDefs.h"
#include "ops/engine/StepEngine.h"
#include "ops/memory/MemoryPlan.h"
#include "ops/memory/ModelConfirm.h"
#include "serial/Protocol.h"

namespace kz {

// Read packet sizes, largest first: a backup or verify starts with the largest and steps
// down when line errors persist.
inline constexpr int kReadSizeLarge = 0x4000;
inline constexpr int kReadSizeMedium = 4096;
inline constexpr int kReadSizeSmall = 1024;

// What the model-information dialog is shown and what it hands back.
struct ModelInfoExchange {
    DialogMode mode = DialogMode::Backup;
    std::string coreId;
    std::string ioCode;
    std::string signatureText;
    int signatureKind = 0;  // 0: the model has no signature check
    std::uint32_t signatureValue = 0;
    std::uint32_t fromSize = 0;  // 0 when the hardware information was not read
    std::uint32_t sramSize = 0;
    std::uint32_t baud = 0;
    std::string modelName;
    std::string bkFile;
};

// The model-information dialog's input for a request, with the form's comment.
ModelInfoInput ToDialogInput(const ModelInfoExchange& x, const std::string& comment);

// The entries of an operation's step table where the shared steps continue when they pass
// entries over or go back.
struct MemorySteps {
    int ioCodeSelect;   // I/O code selection (backup) or CheckMachineType (restore, verify)
    int hardwareCheck;  // the hardware check
    int confirmation;   // the step after the hardware read: model confirmation or compatibility
    int nextArea;       // takes the next area of the data phase
    int transfer;       // ReadData (backup, verify) or WriteData (restore)
    int close;          // Reset, once no area is left
};

class CMemoryOperation : public CProtocol, public CMemoryPlan {
  public:
    // The model-information request (WM_MODEL_INFO_REQUEST): what to show, and the answer.
    // ok false (the user cancelled) empties the file name, which ends the run with 4001.
    ModelInfoExchange ModelInfoRequest() const;
    void AnswerModelInfo(bool ok, const std::string& modelName, const std::string& bkFile,
                         std::uint32_t baud);

    // The next-area step of the data phase (see CMemoryPlan::EnterNextArea).
    bool NextArea(int nEvent);

  protected:
    explicit CMemoryOperation(const MemorySteps& steps);

    // CMemoryPlan: the view, the model, the requests and steps of the data phase.
    void ReportLine(const std::string& text) override { AddStatusLine(text); }
    void ReportProgress(int percent) override { SetProgress(percent); }
    void ReportTransferStart(std::uint64_t totalBytes) override { BeginTransfer(totalBytes); }
    void ReportTransferArea(const std::string& area) override { SetTransferArea(area); }
    void ReportTransferMoved(std::uint32_t bytes) override { TransferMoved(bytes); }
    const std::string& CurrentModel() const override { return m_csMachineName; }
    std::string PanelCoreId() const override { return m_csCoreID; }
    void GoToDataStep(DataStep step) override;
    void SetupRequest(RequestStart start) override;

    // ---- Shared steps (each returns true when finished) -----------------------------------
    // Signature preparation: kind from SIGNATURE; without the key the read and the
    // identification are passed over (on to the I/O code selection).
    bool SignaturePrep(int nEvent);
    // Identification by core ID and signature: the model that fits both.
    bool IdentifyBySignature(int nEvent);
    // I/O code selection: WriteIO parameters from IO1 (first pass) or IO3 (retry); without
    // IOCODE or the key the I/O code exchange is passed over (on to the hardware check).
    bool SelectIoCode(bool presetFromModel);
    // ReadIO parameters from IO2 (without them on to the hardware check).
    bool IoReadSetup(int nEvent);
    // The low byte of the value read; "FF" goes back to the I/O code selection. Returns the
    // text.
    std::string IoCodeRead();
    // Hardware check: ReadHW when the section is missing or has CHKMEM (otherwise on to the
    // confirmation).
    bool HardwareCheck(int nEvent);
    bool HardwareKnown(int nEvent);
    // Posts the model-information request and waits. False when the user cancelled (4001
    // set).
    bool ConfirmModel(DialogMode mode);

    // ---- Restore and verify: the image decides the model -----------------------------------
    // Loads the image header and finds the image's model (current format: core ID and I/O
    // code; old format: the model name). False with 4005 when there is none.
    bool IdentifyImageModel();
    // The panel's core ID against the definitions: its ID pattern, loader and baud (4005).
    bool CheckPanelCoreId(const char* trace);
    // The panel's ID pattern must match the image's core ID (4006); then the I/O code
    // selection unless the image carries no I/O code (on to the hardware check).
    bool CheckMachineType(const char* trace);
    // The I/O code read must equal the image's (4007); "FF" selects again.
    bool CompareIoCode();
    // Signature (4016) and, when known, memory sizes (4014, 4015); then the confirmation.
    bool CheckCompatibility(DialogMode mode);

    // ---- The data phase ------------------------------------------------------------------
    // The step after ReadData or WriteData (4001 when handed the abort).
    bool TransferStep(int nEvent);
    // Lowers the packet size after persistent line errors: 0x4000 → 4096 → 1024.
    bool LowerReadSize(const char* traceTag);

    // The model of section: its name, loader and baud rate.
    void UseModel(const CIniSection& section);
    // Makes entry step the next to run.
    void GoTo(int step) { m_nPhase = PhaseBefore(step); }
    // The operation's own part of the closing step: the run's image settled (a backup's
    // partial image takes the target's name or is kept and named).
    void OnTerminate() override { m_nError = SettleImage(m_nError); }

    std::string m_csCoreID;   // the panel's 4-character core ID text
    std::string m_csIOCode;   // 2 hex characters
    bool m_bIoRetry = false;  // I/O pass: false first (IO1), true retry (IO3)
    std::string m_csBkFile;   // BK_FILE stem
    bool m_bHardwareKnown = false;
    DialogMode m_nDialogMode = DialogMode::Backup;
    int m_nMaxReadSize = kReadSizeLarge;  // packet size, lowered by ChangeReadSize

  private:
    const MemorySteps m_steps;

    // The next read request: what is left of the unit, in packets of the read size.
    void SetupPacket();
};

}  // namespace kz

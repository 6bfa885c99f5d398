// CMemoryOperation: what the serial backup, restore and verify share — the model
// definitions and the image file, the identification steps after the loader is connected
// (signature, I/O code, hardware information), the model-information request and the
// packet bookkeeping of the data phase. Each operation adds its own step table.
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
#include "ops/memory/MemImageFile.h"
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
};

class CMemoryOperation : public CProtocol {
  public:
    // Inputs set by the front-end before the start.
    void SetFileName(const std::string& path) { m_csFileName = path; }
    void SetComment(const std::string& comment) { m_csComment = comment; }

    // The model-information request (WM_MODEL_INFO_REQUEST): what to show, and the answer.
    // ok false (the user cancelled) empties the file name, which ends the run with 4001.
    ModelInfoExchange ModelInfoRequest() const;
    void AnswerModelInfo(bool ok, const std::string& modelName, const std::string& bkFile,
                         std::uint32_t baud);

    // The image file the run produced or read (backup: the final name once complete).
    const std::string& ImagePath() const { return m_csFileName; }

  protected:
    explicit CMemoryOperation(const MemorySteps& steps);

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
    // The area table to transfer: the image's, or for an old-format image the model's.
    // Nothing is transferred unless the model's areas read (4020), a current-format image's
    // table equals them in count, type, start and size (4026), and the file holds exactly
    // the data the table promises (4019 when less, 4027 when more; an old-format image may
    // hold more, as it always could).
    bool PrepareImageAreas(bool fromOnlyForOldFormat);
    // The model's areas and unit for a transfer; on a fault the status line that says what
    // is wrong is written, 4020 set and false returned.
    bool ModelAreas(std::vector<MemArea>& areas, std::uint32_t& unit);
    // Where area i's data starts in the image (the image format's layout rule).
    std::uint64_t ImageOffsetOfArea(int index) const;

    std::string m_csImageCoreID;            // the image's core ID text
    std::string m_csPanelPattern;           // ID pattern of the model that matches the panel
    std::string m_csImageIOCode;            // the image's I/O code text (empty: none)
    std::uint32_t m_dwImageUnit = 0x10000;  // the unit the image was written with
    std::vector<MemArea> m_areas;           // the areas being transferred

    // ---- Packet bookkeeping for reading units (backup, verify) ---------------------------
    // Starts reading bytes of an area at start, the first unit firstUnit bytes long, and
    // writes the progress line progressId.
    void StartAreaRead(std::uint32_t start, std::int64_t bytes, std::uint32_t firstUnit,
                       int progressId);
    // Books a packet of bytes that has been stored or compared and goes on: to ReadData for
    // the next packet or unit (a new unit writes the progress line progressId), to the next
    // area when this one is done.
    void ReadPacketDone(std::uint32_t bytes, int progressId);
    // Lowers the packet size after persistent line errors: 0x4000 → 4096 → 1024.
    bool LowerReadSize(const char* traceTag);

    // Makes entry step the next to run.
    void GoTo(int step) { m_nPhase = PhaseBefore(step); }
    // The text of status id with printf arguments.
    void AddStatusLineF(int stringId, int a, int b);
    const CIniSection* Section() const { return m_defs.FindByName(m_csMachineName); }
    // Ends the data phase: the power warning off, the port closed, the final line posted.
    void FinishRun(const char* traceIn, const char* traceOut);

    // Bytes an area occupies in an image with unit U (the image format's layout rule).
    static std::uint32_t StoredLength(std::uint32_t size, std::uint32_t unit);

    std::string m_csFileName;
    std::string m_csComment;
    CModelDefs m_defs;
    MemImageFile m_image;

    std::string m_csCoreID;   // the panel's 4-character core ID text
    std::string m_csIOCode;   // 2 hex characters
    bool m_bIoRetry = false;  // I/O pass: false first (IO1), true retry (IO3)
    std::string m_csBkFile;   // BK_FILE stem
    bool m_bHardwareKnown = false;
    DialogMode m_nDialogMode = DialogMode::Backup;

    // Transfer state.
    int m_nAreaIndex = 0;
    std::uint32_t m_dwUnit = 0x10000;
    std::int64_t m_nBytesLeft = 0;  // of the current area
    std::uint32_t m_nUnitLeft = 0;  // of the current unit
    int m_nTotalUnits = 1;
    int m_nUnitsDone = 0;
    std::uint64_t m_dwFileOffset = 0;     // running offset into the image data
    int m_nMaxReadSize = kReadSizeLarge;  // packet size, lowered by ChangeReadSize

  private:
    const MemorySteps m_steps;

    // Starts a unit of unitBytes at the current request address.
    void StartUnit(std::uint32_t unitBytes);
    // Splits what is left of the unit into the next request.
    void SetupPacket();
};

}  // namespace kz

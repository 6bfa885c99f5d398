// CMemoryPlan: the half of every memory operation — backup, restore and verify, over the
// serial link and over the LAN — that does not depend on the link. It owns the model
// definitions and the image file and decides, once for both links:
//
//   - which model an image belongs to, and whether a panel fits that image;
//   - which areas a transfer moves (ImageAreas.h) and, for a verify, how much of each
//     SRAM area it compares;
//   - a backup's target name, its header and the life of its partial file (created and
//     locked, appended to, given the target's name, or kept and named on the status list);
//   - the data phase: areas in order, each moved unit by unit, where each unit's bytes lie
//     in the image, and the progress (status line per unit, position per finished unit).
//
// The link adapters (CMemoryOperation over the serial engine, CMemoryMtoM over the LAN
// adapter) derive from it and from their link. They supply the view (status lines,
// progress) and the model the run works with, and turn the plan's answers into their
// link's requests (packet sizes, request fields) and step jumps. Each method that can fail
// returns a message id: 0 to go on, otherwise the error the operation ends with.
//
// Thread-safety: as the operation — used by its steps on the operation's event thread.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "config/ModelDefs.h"
#include "ops/memory/ImageAreas.h"
#include "ops/memory/ImageDiff.h"
#include "ops/memory/MemImageFile.h"

namespace kz {

// The memory operations; each moves its areas differently in the data phase.
enum class MemoryJob {
    Backup,   // reads every area, the first unit of an area always a whole unit
    Restore,  // writes every area, unit by unit
    Verify,   // reads and compares FROM areas whole, SRAM areas over their verify size
};

// How the model of a current-format image is found; the links have their own rules.
enum class ImageModelRule {
    CoreIdAndIoCode,  // the core ID as a number ("%X") and, when the image has one, its I/O code
    StoredCoreId,     // the core ID characters as stored; the I/O code is not looked at
};

// The model an image belongs to.
struct ImageModel {
    const CIniSection* section = nullptr;  // null when no model fits
    std::string coreId;  // the image's core ID text (old format: its model's ID pattern)
    std::string ioCode;  // "%02X" of the image's I/O code, empty when none (CoreIdAndIoCode)
};

// The model of the image whose header image holds: a current-format image by its core ID
// (and I/O code, as rule says), an old-format one by its model name with blanks trimmed.
ImageModel FindImageModel(const MemImageFile& image, const CModelDefs& defs, ImageModelRule rule);

// Sets the verify size of every SRAM area: the third field of the model's SRAMk key for the
// k-th SRAM area (hex, as every number of the definitions), at most the area's size, 0 when
// the field does not read. FROM areas are left as they are.
void SetVerifySizes(std::vector<MemArea>& areas, const CIniSection* section);

// The bytes of area the data phase of job moves: its size, or its verify size for an SRAM
// area of a verify.
std::uint32_t BytesToMove(MemoryJob job, const MemArea& area);

// The bytes the data phase of job moves over areas in units of unit: what BytesToMove says,
// and for a backup at least one whole unit of every area it reads.
std::uint64_t DataPhaseBytes(MemoryJob job, const std::vector<MemArea>& areas, std::uint32_t unit);

// The units the progress of job counts over areas moved in units of unit, at least 1. A
// backup counts the whole units of each area (size / unit); a restore and a verify count
// every unit they move.
int UnitsToCount(MemoryJob job, const std::vector<MemArea>& areas, std::uint32_t unit);

// What a backup's header records of the panel.
struct BackupIdentity {
    std::string modelName;
    std::string coreId;  // the panel's core ID text
    std::string ioCode;  // the panel's I/O code text, empty when none
    // The panel's signature (low 16 bits). A LAN panel tells none: the field then keeps what
    // an older image at the target had.
    std::optional<std::uint16_t> signature;
    bool hardwareKnown = false;  // the sizes below were read from the panel
    std::uint32_t fromSize = 0;
    std::uint32_t sramSize = 0;
};

class CMemoryPlan {
  public:
    CMemoryPlan(const CMemoryPlan&) = delete;
    CMemoryPlan& operator=(const CMemoryPlan&) = delete;

    // Inputs set by the front-end before the start.
    void SetFileName(const std::string& path) { m_csFileName = path; }
    void SetComment(const std::string& comment) { m_csComment = comment; }
    // A verify that goes on after a difference and lists every differing range at its end
    // (at most kDiffRangeLimit, and the count of all) before it ends with 4004. Without it
    // a verify stops at the first differing packet and names the first differing byte.
    void SetEveryDifference(bool every) { m_bEveryDifference = every; }
    // A backup writes exactly the file name given, even when AUTOFILENAME makes it a
    // folder for the user's backups (a safety backup names its own file).
    void SetExactFileName(bool exact) { m_bExactFileName = exact; }
    // A backup that goes on from the partial image an earlier run of the same target left:
    // the partial file must be this panel's (its header as this run would write it), its
    // data is kept up to the last whole unit, and only the rest is read. Without such a
    // file, or with one of another panel, the run ends (3645) leaving every file as it is.
    void SetResume(bool resume) { m_bResume = resume; }
    // The panel's core ID as the run read it (empty before). Read after the run.
    virtual std::string PanelCoreId() const { return {}; }
    // The memory bytes the data phase moved (a resumed backup: those it read itself).
    std::uint64_t BytesMoved() const { return m_nBytesMoved; }
    // The image file the run produced or read (backup: the final name once complete).
    const std::string& ImagePath() const { return m_csFileName; }
    // The partial image a backup created beside the target (empty when none was created);
    // a completed backup has renamed it to ImagePath(). Read after the run.
    const std::string& PartialPath() const { return m_image.PartialPath(); }

  protected:
    CMemoryPlan();
    virtual ~CMemoryPlan();

    // ---- What the link supplies ---------------------------------------------------------
    virtual void ReportLine(const std::string& text) = 0;
    virtual void ReportProgress(int percent) = 0;
    // The data phase in bytes, for the transfer's progress: its total when it starts, the
    // area in work ("FEPROM", "SRAM"), and each packet moved.
    virtual void ReportTransferStart(std::uint64_t totalBytes) = 0;
    virtual void ReportTransferArea(const std::string& area) = 0;
    virtual void ReportTransferMoved(std::uint32_t bytes) = 0;
    // The model the run works with (the link's m_csMachineName).
    virtual const std::string& CurrentModel() const = 0;

    // Where the data phase goes on: the transfer entry (ReadData or WriteData), the step that
    // takes the next area, or the step that closes the link. The next-area step asks for
    // Close, the step after the transfer for Transfer or NextArea.
    enum class DataStep { Transfer, NextArea, Close };
    virtual void GoToDataStep(DataStep step) = 0;
    // What starts with a request: an area, the rest of a unit, or the next unit of an area.
    enum class RequestStart { Area, Packet, Unit };
    // Sets up the link's request at Address(): a read of at most UnitLeft() bytes, in a packet
    // the link can carry, or (restore) the write of the unit's UnitLeft() bytes from the data
    // buffer.
    virtual void SetupRequest(RequestStart start) = 0;

    const CIniSection* Section() const { return m_defs.FindByName(CurrentModel()); }

    // ---- Identification -----------------------------------------------------------------
    // Loads the header of the image at the file name and finds its model (m_csImageCoreID,
    // m_csImageIOCode). Null when none fits: the run ends with 4005.
    const CIniSection* LoadImageModel(ImageModelRule rule);
    // The hardware check: true, with its status line, when the panel's memory sizes are to
    // be read (the model is unknown or has CHKMEM).
    bool NeedsHardwareRead();
    // The panel's ID pattern must fit the image's core ID; an empty pattern (the panel's
    // model was not looked up) fits every image. trace: traced first with both texts.
    bool PanelFitsImageCoreId(const char* trace) const;
    // The panel's memory sizes, when they were read, against the image's header: 0, 4014
    // (FROM) or 4015 (SRAM).
    int CompareImageSizes(bool known, std::uint32_t fromSize, std::uint32_t sramSize) const;

    // ---- Restore and verify: the plan of the data phase ---------------------------------
    // Loads the header again and takes the image's areas, checked against the model (see
    // ImageAreaPlan; old-format images as oldFormat says), to be moved in units of unit.
    // The data buffer (bufferSize bytes, the link's largest transfer and its spare bytes)
    // holds a restore's unit or the image bytes a verify compares. 4020, 4026, 4019, 4027,
    // or 4017 when the buffer cannot be had.
    int PlanRestore(std::uint32_t unit, OldImageAreas oldFormat, std::size_t bufferSize);
    // As PlanRestore, SRAM areas compared over the model's verify sizes.
    int PlanVerify(std::uint32_t unit, OldImageAreas oldFormat, std::size_t bufferSize);
    std::uint8_t* DataBuffer() const { return m_pchData.get(); }

    // ---- Backup -------------------------------------------------------------------------
    // The model's areas and unit (4020, with the line that says which key is wrong).
    int PlanBackupAreas();
    // With automatic file names (AUTOFILENAME) the file name is a folder: the backup's file
    // in it is "bk" + the stem, or + autoNameText without one, + ".MEM". 4028, with its line,
    // when the stem is not a plain file name.
    int NameAutoBackup(const std::string& bkFileStem, const std::string& autoNameText);
    // Writes the header for the planned areas and creates the partial image beside the
    // target (an existing image's header kind and model name are kept; the image itself
    // stays untouched until the run is complete). 5049, with the line that says why, when
    // the partial image cannot be had.
    int StartBackupImage(const BackupIdentity& identity);
    // The end of the run's image, for every operation (only a backup has one open): with
    // error 0 the partial image takes the target's name or the run fails with 5049;
    // otherwise it stays for the user and the status list names it. The run's error.
    int SettleImage(int error);

    // ---- The data phase -----------------------------------------------------------------
    // The next-area step: takes the next area with bytes to move and sets up its first
    // request (restore: with the unit loaded from the image, 4019 when it does not hold it);
    // with no area left, on to the closing step.
    int EnterNextArea();
    // The step after the transfer: a read's packet of bytes is stored (backup, 5049 when the
    // file refuses it) or compared with the image (verify, 4004 on a difference); a restore's
    // unit was written. Then on to the rest of the unit, the next unit of the area (its
    // status line; the unit done counts in the progress) or the next area.
    int TransferDone(const std::uint8_t* data, std::uint32_t bytes);

    MemoryJob Job() const { return m_job; }
    std::uint32_t Address() const { return m_dwAddress; }  // of the next request
    std::uint32_t UnitLeft() const { return m_nUnitLeft; }
    std::int64_t BytesLeft() const { return m_nBytesLeft; }  // of the area
    std::uint64_t FileOffset() const { return m_dwFileOffset; }

    std::string m_csFileName;
    std::string m_csComment;
    CModelDefs m_defs;
    MemImageFile m_image;

    std::string m_csImageCoreID;   // the image's core ID text
    std::string m_csImageIOCode;   // the image's I/O code text (empty: none)
    std::string m_csPanelPattern;  // ID pattern of the model that matches the panel

  private:
    enum class PacketResult { NextPacket, NextUnit, AreaDone };
    bool TakeNextArea();
    // Books a packet of bytes moved at Address(): what follows.
    PacketResult PacketDone(std::uint32_t bytes);
    // Sets up the request that starts and writes the status line of its unit (restore: once
    // the unit is loaded from the image).
    int StartRequest(RequestStart start);
    void ProgressLine();
    int LoadUnit();
    int CompareWithImage(const std::uint8_t* data, std::uint32_t bytes);
    // The end of a verify of every difference: its ranges on the status list; 4004 when
    // there were any.
    int ReportDifferences();
    // A resumed backup: takes over the partial image at partial. 0, or the run's error.
    int ResumeBackupImage(const std::string& partial);
    // The data a resumed backup keeps of length bytes: up to the last unit boundary.
    std::uint64_t ResumePoint(std::uint64_t length) const;
    // Loads the header again and plans the image's areas (restore, verify).
    int PlanImageAreas(OldImageAreas oldFormat);
    // The counters of a data phase of job that starts now.
    int BeginDataPhase(MemoryJob job, std::uint32_t unit, std::size_t bufferSize);

    MemoryJob m_job = MemoryJob::Backup;
    std::vector<MemArea> m_areas;                        // the areas being transferred
    std::uint32_t m_dwImageUnit = kDefaultTransferUnit;  // the unit the image was written with
    std::uint32_t m_dwUnit = kDefaultTransferUnit;       // the unit of this transfer
    std::uint64_t m_nExpectedBytes = 0;  // backup: the data bytes the header promises

    int m_nAreaIndex = 0;  // the next area to take
    std::uint32_t m_dwAddress = 0;
    std::int64_t m_nBytesLeft = 0;  // of the current area
    std::uint32_t m_nUnitLeft = 0;  // of the current unit
    int m_nTotalUnits = 1;
    int m_nUnitsDone = 0;
    std::uint64_t m_dwFileOffset = 0;  // image data offset of the next packet
    std::unique_ptr<std::uint8_t[]> m_pchData;
    std::size_t m_nDataSize = 0;
    bool m_bEveryDifference = false;
    bool m_bExactFileName = false;
    bool m_bResume = false;
    std::uint64_t m_nResumeFrom = 0;         // backup: the data bytes a resumed run kept
    std::uint64_t m_nBytesMoved = 0;         // by the data phase
    std::unique_ptr<DiffCollector> m_pDiff;  // a verify of every difference, while it runs
};

}  // namespace kz

// CMemoryMtoM: what the LAN backup, restore and verify share on top of the LAN adapter —
// the model definitions and the image file, the hardware steps, the image's model and the
// area checks made before any data moves, and the packet bookkeeping of the data phase.
//
// Thread-safety: as CProtocolMtoM — every step runs on the operation's event thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "config/ModelDefs.h"
#include "lan/ProtocolMtoM.h"
#include "ops/memory/ImageAreas.h"
#include "ops/memory/MemImageFile.h"

namespace kz {

// The largest packet of one LAN read or write request.
inline constexpr std::uint32_t kLanBlockSize = 0x8000;

class CMemoryMtoM : public CProtocolMtoM {
  public:
    // Inputs set by the front-end before the start.
    void SetFileName(const std::string& path) { m_csFileName = path; }
    void SetComment(const std::string& comment) { m_csComment = comment; }
    // The image file the run produced or read (backup: the final name once complete).
    const std::string& ImagePath() const { return m_csFileName; }

    // Steps shared by the three step tables.
    // ReadHW when the model is unknown or has CHKMEM; otherwise the two entries after it
    // are skipped.
    bool HardwareCheck(int nEvent);
    bool HardwareKnown(int nEvent);
    bool EndMarker(int) { return false; }

  protected:
    CMemoryMtoM();

    const CIniSection* Section() const { return m_defs.FindByName(m_csMachineName); }
    void Skip(int k) { m_nPhase += k; }
    void AddStatusLineF(int stringId, int a, int b);

    // Restore and verify: loads the image header and finds its model (current format: the
    // first section whose ID matches the image's core ID; old format: the section named
    // like the trimmed model name). False with 4005 when there is none.
    bool IdentifyImageModel();
    // The panel's core ID against the definitions: the ID pattern and SLOADER of the panel's
    // model (old-format image: SLOADER of the image's model). 4005 without a loader.
    bool CheckPanelCoreId();
    // The panel must fit the image: ID pattern (4006) and, when known, sizes (4014, 4015).
    bool CheckPanelFitsImage(const char* trace);
    // Fills m_areas from the image, checked against the model (see ImageAreaPlan).
    bool PrepareImageAreas(OldImageAreas oldFormat);
    std::uint64_t ImageOffsetOfArea(int index) const {
        return ImageOffsetOf(m_areas, m_dwImageUnit, index);
    }

    // Reading units in LAN packets (backup, verify).
    void StartUnit(std::uint32_t unitBytes);
    void SetupPacket();
    enum class PacketResult { NextPacket, NextUnit, AreaDone };
    PacketResult PacketDone(std::uint32_t bytes);

    // The final status line and WM_OPERATION_COMPLETE (terminate steps, EVENT_NONE only).
    void FinishRun();

    CModelDefs m_defs;
    MemImageFile m_image;
    std::string m_csImageCoreID;
    std::string m_csPanelPattern;
    std::string m_csIOCode;  // never read from a LAN panel
    std::vector<MemArea> m_areas;
    std::uint32_t m_dwImageUnit = kDefaultTransferUnit;

    int m_nAreaIndex = 0;
    std::uint32_t m_dwUnit = kDefaultTransferUnit;
    std::int64_t m_nBytesLeft = 0;
    std::uint32_t m_nUnitLeft = 0;
    int m_nTotalUnits = 1;
    int m_nUnitsDone = 0;
    std::uint64_t m_dwFileOffset = 0;
    std::uint32_t m_dwBlockSize = kLanBlockSize;
    // A store step that saw the abort: the packet it holds was already booked or is not
    // wanted, so the step that runs again must not store it a second time.
    bool m_bStoreAborted = false;
};

}  // namespace kz

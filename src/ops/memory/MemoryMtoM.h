// CMemoryMtoM: the LAN adapter's side of backup, restore and verify. The link-free decisions
// (the image's model, the area plan, the backup's file, the data phase) are the plan's
// (CMemoryPlan); what stays here is what the LAN has of its own: the loader is SLOADER, the
// panel's core ID comes from the adapter's ReadID, the data phase moves packets of at most
// the LAN block size, and a transfer entry may end the whole run by itself.
//
// Thread-safety: as CProtocolMtoM — every step runs on the operation's event thread.
#pragma once

#include <cstdint>
#include <string>

#include "config/ModelDefs.h"
#include "lan/ProtocolMtoM.h"
#include "ops/memory/MemoryPlan.h"

namespace kz {

// The largest packet of one LAN read or write request.
inline constexpr std::uint32_t kLanBlockSize = 0x8000;

class CMemoryMtoM : public CProtocolMtoM, public CMemoryPlan {
  public:
    // Steps shared by the three step tables.
    // ReadHW when the model is unknown or has CHKMEM; otherwise the two entries after it
    // are skipped.
    bool HardwareCheck(int nEvent);
    bool HardwareKnown(int nEvent);
    // The next-area step of the data phase (see CMemoryPlan::EnterNextArea).
    bool NextArea(int nEvent);
    bool EndMarker(int) { return false; }

  protected:
    CMemoryMtoM() = default;

    // The file name and comment are the plan's; the adapter's fields of those names are not
    // used by the memory operations.
    using CMemoryPlan::m_csComment;
    using CMemoryPlan::m_csFileName;

    // CMemoryPlan: the view, the model, the requests and steps of the data phase. The steps
    // of the data phase stand in every table as next area, transfer entry, transfer step,
    // Reset_Entry: the jumps are relative.
    void ReportLine(const std::string& text) override { AddStatusLine(text); }
    void ReportProgress(int percent) override { SetProgress(percent); }
    void ReportTransferStart(std::uint64_t totalBytes) override { BeginTransfer(totalBytes); }
    void ReportTransferArea(const std::string& area) override { SetTransferArea(area); }
    void ReportTransferMoved(std::uint32_t bytes) override { TransferMoved(bytes); }
    const std::string& CurrentModel() const override { return m_csMachineName; }
    std::string PanelCoreId() const override { return m_csCoreID; }
    void GoToDataStep(DataStep step) override;
    void SetupRequest(RequestStart start) override;

    void Skip(int k) { m_nPhase += k; }

    // Restore and verify: loads the image header and finds its model (current format: the
    // first section whose ID matches the image's core ID; old format: the section named
    // like the trimmed model name). False with 4005 when there is none.
    bool IdentifyImageModel();
    // The panel's core ID against the definitions: the ID pattern and SLOADER of the panel's
    // model (old-format image: SLOADER of the image's model). 4005 without a loader.
    bool CheckPanelCoreId();
    // The panel must fit the image: ID pattern (4006) and, when known, sizes (4014, 4015).
    bool CheckPanelFitsImage(const char* trace);

    // The step after ReadData_Entry or WriteData. Handed the abort, it sets 4001 and waits
    // for the adapter's time-out, after which it runs again and the run moves on to its
    // closing steps; the packet it holds is then neither stored nor compared again.
    bool TransferStep(int nEvent, const char* cancelTrace);
    // A transfer entry that is handed the time-out of a failed request ends the whole run
    // inside the adapter, which posts the completion itself: no closing step follows. The
    // image is settled before (a backup's partial file is named on the status list).
    void BeforeTransferEntry(int nEvent);

    // The operation's own part of the closing step: the run's image settled (a backup's
    // partial image takes the target's name or is kept and named).
    void OnTerminate() override { m_nError = SettleImage(m_nError); }

    std::string m_csIOCode;  // never read from a LAN panel
    std::uint32_t m_dwBlockSize = kLanBlockSize;
    // A store step that saw the abort: the packet it holds was already booked or is not
    // wanted, so the step that runs again must not store it a second time.
    bool m_bStoreAborted = false;
};

}  // namespace kz

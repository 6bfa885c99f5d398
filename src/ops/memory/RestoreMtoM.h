// CRestoreMtoM: writes a backup image back into a panel on the network, in units of 0x8000
// bytes. The image's area table is checked against the model before anything is written.
#pragma once

#include "ops/memory/MemoryMtoM.h"

namespace kz {

class CRestoreMtoM : public CMemoryMtoM {
  public:
    CRestoreMtoM();
    ~CRestoreMtoM() override;

    bool Diapatcher(int nEvent) override;

    bool Initialize(int nEvent);
    bool CheckCORE_ID(int nEvent);
    bool ConfirmMachine(int nEvent);
    bool PrepareRestore(int nEvent);
    // (next area: NextArea of the adapter)
    bool RestoreData(int nEvent) { return TransferStep(nEvent, "RestoreData\n"); }

  protected:
    // The data phase's requests, traced.
    void SetupRequest(RequestStart start) override;

  protected:
    const char* TraceName() const override { return "CRestoreMtoM"; }
};

}  // namespace kz

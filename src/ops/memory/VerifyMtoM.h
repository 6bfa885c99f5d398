// CVerifyMtoM: compares the memory of a panel on the network with a backup image. FROM
// areas are compared over their size, SRAM areas over the verify size of the model's SRAM
// key (hex, as everywhere in the model definitions).
#pragma once

#include "ops/memory/MemoryMtoM.h"

namespace kz {

class CVerifyMtoM : public CMemoryMtoM {
  public:
    CVerifyMtoM();
    ~CVerifyMtoM() override;

    bool Diapatcher(int nEvent) override;

    bool Initialize(int nEvent);
    bool CheckCORE_ID(int nEvent);
    bool Confirmation(int nEvent);
    bool PrepareVerify(int nEvent);
    bool ReadMemory(int nEvent) { return NextArea(nEvent); }
    bool VerifyData(int nEvent) { return TransferStep(nEvent, "VerifyData\n"); }

  protected:
    const char* TraceName() const override { return "CVerifyMtoM"; }
};

}  // namespace kz

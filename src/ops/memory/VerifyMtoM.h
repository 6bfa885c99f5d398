// CVerifyMtoM: compares the memory of a panel on the network with a backup image. FROM
// areas are compared over their size, SRAM areas over the verify size of the model's SRAM
// key (hex, as everywhere in the model definitions).
#pragma once

#include <memory>

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
    bool ReadMemory(int nEvent);
    bool VerifyData(int nEvent);
    bool Terminate(int nEvent);

  private:
    std::unique_ptr<std::uint8_t[]> m_pchCompare;
};

}  // namespace kz

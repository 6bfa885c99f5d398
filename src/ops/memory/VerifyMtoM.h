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

  protected:
    // Reads the image bytes of the packet on its way into the compare buffer.
    void AfterDataRequest(bool accepted) override;

  private:
    std::unique_ptr<std::uint8_t[]> m_pchCompare;
    // What the compare buffer holds: the image bytes at this data offset and length, read
    // while the packet travelled (false: nothing usable, VerifyData reads them itself).
    bool m_bCompareReady = false;
    std::uint64_t m_dwCompareOffset = 0;
    std::uint32_t m_dwCompareLength = 0;
};

}  // namespace kz

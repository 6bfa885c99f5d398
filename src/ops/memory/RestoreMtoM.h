// CRestoreMtoM: writes a backup image back into a panel on the network, in units of 0x8000
// bytes. The image's area table is checked against the model before anything is written.
#pragma once

#include <memory>

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
    bool NextArea(int nEvent);
    bool RestoreData(int nEvent);
    bool Terminate(int nEvent);

  private:
    bool LoadUnit();

    std::unique_ptr<std::uint8_t[]> m_pchData;  // one unit from the image
};

}  // namespace kz

// CRestore: writes a backup image back into a panel on the serial link, after making sure
// that image and panel belong together (model, core ID, I/O code, signature, memory sizes)
// and after the user confirmed twice. Nothing is written before the first WriteData.
#pragma once

#include "ops/memory/MemoryOperation.h"

namespace kz {

class CRestore : public CMemoryOperation {
  public:
    CRestore();
    ~CRestore() override;

    bool Diapatcher(int nEvent) override;

    bool Initialize(int nEvent);
    bool CheckCORE_ID(int nEvent);
    bool SignaturePrepStep(int nEvent) { return SignaturePrep(nEvent); }
    bool IdentifyStep(int nEvent) { return IdentifyBySignature(nEvent); }
    bool CheckMachineTypeStep(int nEvent);
    bool IoReadSetupStep(int nEvent) { return IoReadSetup(nEvent); }
    bool IoCodeCheck(int nEvent);
    bool HardwareCheckStep(int nEvent) { return HardwareCheck(nEvent); }
    bool HardwareKnownStep(int nEvent) { return HardwareKnown(nEvent); }
    bool Compatibility(int nEvent);
    bool PrepareTransfer(int nEvent);
    // (next area: NextArea of the adapter)
    bool Advance(int nEvent) { return TransferStep(nEvent); }
    bool ResetStep(int nEvent) { return Reset(nEvent); }
    bool EndMarker(int nEvent);

  protected:
    const char* TraceName() const override { return "CRestore"; }

  private:
    static constexpr std::uint32_t kUnit = 0x10000;
};

}  // namespace kz

// CBackup: reads the complete memory of a panel on the serial link into a backup image.
//
// The image is written to "<name>.partial" beside the target and takes the target's name
// only when every area has been read and the file holds exactly what its header promises,
// so an existing image is never lost to a run that ends early; such a run leaves the data
// read so far in the partial file and names it on the status list.
#pragma once

#include "ops/memory/MemoryOperation.h"

namespace kz {

class CBackup : public CMemoryOperation {
  public:
    CBackup();
    ~CBackup() override;

    bool Diapatcher(int nEvent) override;
    bool ChangeReadSize() override;

    // Steps, in table order.
    bool Initialize(int nEvent);
    bool CheckCORE_ID(int nEvent);
    bool SignaturePrepStep(int nEvent) { return SignaturePrep(nEvent); }
    bool IdentifyStep(int nEvent) { return IdentifyBySignature(nEvent); }
    bool SelectIoCodeStep(int nEvent);
    bool IoReadSetupStep(int nEvent) { return IoReadSetup(nEvent); }
    bool IoCodeCheck(int nEvent);
    bool HardwareCheckStep(int nEvent) { return HardwareCheck(nEvent); }
    bool HardwareKnownStep(int nEvent) { return HardwareKnown(nEvent); }
    bool ModelConfirmation(int nEvent);
    bool CreateHeader(int nEvent);
    // (next area: NextArea of the adapter)
    bool StorePacket(int nEvent) { return TransferStep(nEvent); }
    bool ResetStep(int nEvent) { return Reset(nEvent); }
    bool EndMarker(int nEvent);

  protected:
    const char* TraceName() const override { return "CBackup"; }

  private:
    std::uint32_t m_dwAutoName = 0;  // core ID value AND 0xF37F
};

}  // namespace kz

// CVerify: reads the memory of a panel on the serial link and compares it, byte for byte,
// with a backup image; the first difference ends the run with 4004. Identification and
// compatibility checks are those of the restore, the data phase reads like the backup.
#pragma once

#include "ops/memory/MemoryOperation.h"

namespace kz {

class CVerify : public CMemoryOperation {
  public:
    CVerify();
    ~CVerify() override;

    bool Diapatcher(int nEvent) override;
    bool ChangeReadSize() override;

    bool Initialize(int nEvent);
    bool CheckCORE_ID(int nEvent);
    bool SignaturePrepStep(int nEvent) { return SignaturePrep(nEvent); }
    bool IdentifyStep(int nEvent) { return IdentifyBySignature(nEvent); }
    bool CheckMachineTypeStep(int nEvent);
    bool ReadMachineType(int nEvent);
    bool IoCodeCheck(int nEvent);
    bool CheckHW(int nEvent);
    bool HardwareKnownStep(int nEvent);
    bool Compatibility(int nEvent);
    bool PrepareVerify(int nEvent);
    bool ReadMemory(int nEvent);
    bool VerifyData(int nEvent);
    bool ResetStep(int nEvent) { return Reset(nEvent); }
    bool WaitUntilDestroy(int nEvent);

  protected:
    const char* TraceName() const override { return "CVerify"; }

  private:
    static constexpr std::uint32_t kUnit = 0x10000;
};

}  // namespace kz

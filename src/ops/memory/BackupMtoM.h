// CBackupMtoM: reads the complete memory of a panel on the network into a backup image.
//
// As over the serial link, the image is written to "<name>.partial" beside the target and
// takes the target's name only when every area has been read and the file holds exactly
// what its header promises, so a run that ends early never costs an existing image; such a
// run leaves the data read so far in the partial file and names it on the status list, also
// when a failed read ends the run inside the LAN adapter.
#pragma once

#include "ops/memory/MemoryMtoM.h"

namespace kz {

class CBackupMtoM : public CMemoryMtoM {
  public:
    CBackupMtoM();
    ~CBackupMtoM() override;

    bool Diapatcher(int nEvent) override;

    // Steps, in table order (the adapter's entries sit between them).
    bool Initialize(int nEvent);
    bool CheckCORE_ID(int nEvent);
    bool ConfirmMachine(int nEvent);
    bool CreateHeader(int nEvent);
    bool WriteBackupData(int nEvent) { return TransferStep(nEvent, "WriteBackupData\n"); }
    bool Complete(int nEvent);

  protected:
    // The data phase's requests, traced.
    void SetupRequest(RequestStart start) override;

  protected:
    const char* TraceName() const override { return "CBackupMtoM"; }

  private:
    std::string m_csBkFile;
};

}  // namespace kz

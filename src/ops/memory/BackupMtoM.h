// CBackupMtoM: reads the complete memory of a panel on the network into a backup image.
//
// As over the serial link, the image is written to "<name>.partial" beside the target and
// takes the target's name only when every area has been read and the file holds exactly
// what its header promises, so a run that ends early never costs an existing image.
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
    bool NextArea(int nEvent);
    bool WriteBackupData(int nEvent);
    bool Terminate(int nEvent);
    bool Complete(int nEvent);

  private:
    // The end of the partial image: given the target's name after a complete run, otherwise
    // kept and named on the status list.
    void CloseImage();

    std::string m_csBkFile;
    std::uint64_t m_nExpectedBytes = 0;
};

}  // namespace kz

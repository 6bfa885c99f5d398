// CBackupMtoM: reads the complete memory of a panel on the network into a backup image.
//
// As over the serial link, the image is written to "<name>.partial" beside the target and
// takes the target's name only when every area has been read and the file holds exactly
// what its header promises, so a run that ends early never costs an existing image.
#pragma once

#include <memory>

#include "ops/memory/MemoryMtoM.h"

namespace kz {

class CBackupMtoM : public CMemoryMtoM {
  public:
    CBackupMtoM();
    ~CBackupMtoM() override;

    bool Diapatcher(int nEvent) override;

    // The partial file of the run (empty before the header was written).
    const std::string& PartialPath() const { return m_csPartialPath; }

    // Steps, in table order (the adapter's entries sit between them).
    bool Initialize(int nEvent);
    bool CheckCORE_ID(int nEvent);
    bool ConfirmMachine(int nEvent);
    bool CreateHeader(int nEvent);
    bool NextArea(int nEvent);
    bool WriteBackupData(int nEvent);
    bool Terminate(int nEvent);
    bool Complete(int nEvent);

  protected:
    // Stores the packet that arrived before the read just issued.
    void AfterDataRequest(bool accepted) override;

  private:
    bool CompleteImage();
    // Appends a packet to the partial file and reports the unit it completed; false with
    // 4002 set when the file took it not.
    bool StorePacket(const std::uint8_t* data, std::uint32_t bytes, PacketResult result);

    std::string m_csBkFile;
    std::string m_csPartialPath;
    std::uint64_t m_nExpectedBytes = 0;
    std::uint64_t m_nWrittenBytes = 0;
    // A packet that has arrived and is stored once the next read is on its way; the read
    // lands in the adapter's buffer meanwhile (the two buffers change places per packet).
    std::unique_ptr<std::uint8_t[]> m_pchPending;
    std::uint32_t m_dwPendingBytes = 0;  // 0: nothing waits to be stored
    PacketResult m_ePendingResult = PacketResult::NextPacket;
};

}  // namespace kz

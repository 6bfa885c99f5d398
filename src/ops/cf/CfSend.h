// CCfSend: copies the PC files of the seventeen CF card categories from the PC folder to the
// panel's CF card over the serial link.
//
// After the user has agreed that the card's files may be overwritten, the files of every
// category are collected (see CollectCategoryFiles). Only names that are exactly a stem and
// the category's extension (in any letter case) are sent, never a symbolic link; two PC
// files that would go to the same card file end the run with 5056 before the port opens.
// Each file is announced with its stem (upper case) and size, then goes out in blocks of at
// most 65280 bytes, each block behind a five-digit header and followed by its checksum; a
// block is handed to the port in pieces of 4096 bytes, the next piece only once the
// driver's output queue has drained. A file
// whose size cannot be read when its turn comes, or that cannot be read in full, ends the
// run with 4003.
//
// Thread-safety: as CProtocol — steps run on the operation's event thread; SetFolder,
// SetView and SetPrompt belong to the front-end before the start.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>

#include "ops/cf/CfOperation.h"

namespace kz {

class CCfSend : public CCfOperation {
  public:
    CCfSend();
    ~CCfSend() override;

    bool Diapatcher(int nEvent) override;

    // Steps, in table order (see CfOperation.h for the table).
    bool NoOp(int nEvent);
    bool Initialize(int nEvent);
    bool CategorySend(int nEvent);
    bool CFSend(int nEvent);
    bool EndMarker(int nEvent);

    // Files collected for all categories (at least 1); for tests.
    int ProgressTotal() const { return m_nProgressTotal; }

  protected:
    const char* TraceName() const override { return "CCfSend"; }

  private:
    // Fills the file lists from the collected PC files: names that are not exactly a stem
    // and the category's extension, and symbolic links (files or subfolders), are left
    // out with a status line each. False, with a status line naming both, when two PC
    // files would go to the same card file.
    bool SelectFiles();

    // Sub-steps of the common send step; true lets the next one run in the same call.
    bool Announce(int nEvent);         // 1
    bool WaitGoAhead(int nEvent);      // 2
    bool BlockHeader(int nEvent);      // 3
    bool WaitHeaderAck(int nEvent);    // 4
    bool BlockData();                  // 5
    bool PumpBlock(int nEvent);        // 51
    bool WaitFinalAnswer(int nEvent);  // 6
    // Assembler of sub-step 2: ACK SUB (go-ahead) or DLE payload CR SUB (result).
    bool ReadGoAheadOrResult();
    bool HandleGoAheadOrResult();
    void WritePiece();
    void FreeBlock();

    std::array<std::deque<std::string>, kCfCategoryCount> m_lists;
    std::array<int, kCfCategoryCount> m_nCategoryState{};

    std::string m_csFileNo;    // stem of the file being sent, upper case
    int m_nFileSize = 0;       // its size when its turn came
    std::string m_csFilePath;  // the path as found on the PC
    int m_nBlockSize = 0;      // data bytes of the block being sent
    // m_nSendSize (CProtocol): bytes of the file acknowledged so far.

    std::unique_ptr<std::uint8_t[]> m_pchBlock;  // block data and its checksum
    int m_nBytesRemaining = 0;
    int m_nBytesInBlock = 0;
    int m_nLastPiece = 0;  // size of the last piece written, then the last queue count seen

    int m_nProgressTotal = 0;
    int m_nProgressCount = 0;

    int m_nSubStep = 1;       // the first sub-step of the machine
    bool m_bEndSeen = false;  // sub-step 2 assembler
};

}  // namespace kz

// CCfReceive: copies every file of the seventeen CF card categories from the panel into the
// PC folder over the serial link.
//
// For each category the panel is asked for the files whose stems lie in the category's
// range; it answers with the header of a file (stem and size) or with a result ("0" when
// no file is left, or a card error). Each file then arrives in blocks of at most 65280
// data bytes, one block per ACK, and is written to <folder>/<subfolder>/<stem><extension>.
// A stem from the panel becomes part of a PC path only when it is the category's prefix
// and five digits (5050 otherwise). A header or block that does not fit the wire format, a
// block whose length is not the one the file's announced size calls for, or a block whose
// two check characters are not the checksum of its data ends the run with 5051 (the panel
// cannot send a block again); nothing is read past the receive buffer.
//
// Each file is written to a temporary file beside its target and renamed into place only
// when exactly the announced size has arrived, so a failed or aborted run leaves the PC
// copies it had not finished as they were (see CfPartialFile). An empty card file gives an
// empty PC file.
//
// Thread-safety: as CProtocol — steps run on the operation's event thread; SetFolder,
// SetView and SetPrompt belong to the front-end before the start.
#pragma once

#include <cstdint>
#include <string>

#include "ops/cf/CfOperation.h"
#include "ops/cf/CfPcFile.h"

namespace kz {

class CCfReceive : public CCfOperation {
  public:
    CCfReceive();
    ~CCfReceive() override;

    bool Diapatcher(int nEvent) override;

    // Steps, in table order (see CfOperation.h for the table).
    bool CheckPcFoldersStep(int nEvent);
    bool Initialize(int nEvent);
    bool ImageReceive(int nEvent);
    bool CategoryReceive(int nEvent);
    bool CFReceive(int nEvent);
    bool EndMarker(int nEvent);

  protected:
    // Terminate: the last step of the progress bar; a half-received PC file goes.
    void OnTerminate() override;
    const char* TraceName() const override { return "CCfReceive"; }

  private:
    // The category steps: image (with its time trace) and the others.
    bool SetUpCategory(int nEvent);

    // Sub-steps of the common receive step; true lets the next one run in the same call.
    bool RangeRequest(int nEvent);   // 1
    bool WaitAnswer(int nEvent);     // 2
    bool ReceiveBlocks(int nEvent);  // 3
    bool NextRequest();              // 4
    bool HandleAnswer();             // 2, a complete answer
    // The stem and size of a file header; false (with m_nError set) when the header is
    // not one a PC file may be made from.
    bool GetFileNoAndFileSize();
    // Starts the PC file of the announced file (a temporary file beside the target).
    void BeginPcFile();
    // Appends the data bytes of the block held in the receive buffer to the PC file.
    bool AppendBlock(int length);
    // Puts the complete PC file in place of the target.
    void CommitPcFile();
    // Notes a PC file that could not be written; a refused target is named on the list.
    void PcFileFailed(CfPartialFile::Status status);
    // Ends the common step with m_nError set, leaving the panel's input behind.
    bool Fail(int error);

    std::string m_csStartNo;  // first stem of the category's range
    std::string m_csEndNo;    // last stem of the range
    std::string m_csCategoryFolder;
    std::string m_csExtension;
    std::string m_csFileNo;         // stem of the file being received
    int m_nFileSize = 0;            // announced by the file header
    int m_nBlockLength = 0;         // data bytes of the block being received
    std::int64_t m_nRecvTotal = 0;  // bytes of the current file already taken
    int m_nProgressTotal = 0;
    int m_nProgressCount = 0;

    int m_nSubStep = 1;  // the first sub-step of the machine
    bool m_bWriteFailed = false;
    CfPartialFile m_pcFile;  // the file being received, until it is complete
};

}  // namespace kz

// CCfReceiveMtoM: receives every file of the panel's CF card over the network. One library
// request per category lists the category's card files and stores them in the category's
// PC folder; the operation chooses the categories, keeps the status list and the progress
// bar and turns the library's results into messages.
//
// Thread-safety: as CProtocolMtoM — every step runs on the operation's event thread. The
// range, count and list of a request stay alive and unchanged until it has completed or
// been cancelled.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "lan/MtoMTypes.h"
#include "lan/ProtocolMtoM.h"
#include "ops/cf/CfCategory.h"

namespace kz {

// The message for the m_dwErrorCode of a failed card request: the card errors by the panel's
// result character, a PC file that could not be written (receive: 5049; send: 4000), and
// 4000 for anything else.
int CfLanErrorMessage(std::uint32_t errorCode, bool receive);

// The library's record prefix of a category ("ZI" is 0x495A).
std::uint32_t CfLanPrefix(std::string_view prefix);

class CCfReceiveMtoM : public CProtocolMtoM {
  public:
    CCfReceiveMtoM();
    ~CCfReceiveMtoM() override;

    bool Diapatcher(int nEvent) override;
    // The folder the user chose. Set before start.
    void SetFolder(const std::string& folder) { m_csPcFolder = folder; }

    bool CheckFolders(int nEvent);
    bool Initialize(int nEvent);
    bool CategoryReceive(int nEvent);  // the seventeen category steps
    bool CFReceive_Entry(int nEvent);
    bool EndMarker(int) { return false; }

  protected:
    // Terminate: the last step of the progress bar; a run that left a card file's name out
    // ends with 5050 instead of "Processing was completed.".
    void OnTerminate() override;
    const char* TraceName() const override { return "CCfReceiveMtoM"; }

  private:
    bool Phase1(int nEvent, bool* stepDone);
    bool Phase2(int nEvent, bool* stepDone);
    // Shows the names the library left out of the category's read, if it left any.
    void ReportLeftOutNames();
    void FreeList() { std::vector<lan::KzFileList>().swap(m_vFileList); }

    std::string m_csPcFolder;
    lan::KzFileLimit m_range;
    int m_nFileCount = 0;
    std::vector<lan::KzFileList> m_vFileList;
    std::uint32_t m_nSavedError = 0;
    std::string m_csCategoryFolder;
    std::string m_csExtension;
    int m_nProgressTotal = 0;
    int m_nProgressCount = 0;
    int m_nSubStep = 1;
    bool m_bNamesLeftOut = false;  // a category's read left a file out for its name
};

}  // namespace kz

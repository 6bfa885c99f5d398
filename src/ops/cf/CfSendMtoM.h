// CCfSendMtoM: sends the PC files of a folder to the panel's CF card over the network, one
// library request per file, category by category.
//
// Thread-safety: as CProtocolMtoM — every step runs on the operation's event thread. The
// file record and path of a request stay alive and unchanged until it has ended.
#pragma once

#include <array>
#include <deque>
#include <string>

#include "lan/MtoMTypes.h"
#include "lan/ProtocolMtoM.h"
#include "ops/cf/CfCategory.h"

namespace kz {

class CCfSendMtoM : public CProtocolMtoM {
  public:
    CCfSendMtoM();
    ~CCfSendMtoM() override;

    bool Diapatcher(int nEvent) override;
    // The folder the user chose. Set before start.
    void SetFolder(const std::string& folder) { m_csPcFolder = folder; }

    bool NoOp(int) { return true; }
    bool Initialize(int nEvent);
    bool CategorySend(int nEvent);  // the seventeen category steps
    bool CFSend_Entry(int nEvent);
    bool EndMarker(int) { return false; }

  protected:
    const char* TraceName() const override { return "CCfSendMtoM"; }

  private:
    std::string m_csPcFolder;
    std::array<std::deque<std::string>, kCfCategoryCount> m_lists;
    std::array<int, kCfCategoryCount> m_states{};
    int m_nSubStep = 1;
    lan::KzFileNo m_file;
    std::string m_csFilePath;
    std::uint64_t m_nFileBytes = 0;  // the size of m_csFilePath when its turn came
    int m_nProgressTotal = 1;
    int m_nProgressCount = 0;
};

}  // namespace kz

// Step table of the LAN CF send (42 entries):
//
//   0 NodeSearch   1 no-op   2 Initialize   3 Connect   4 Support_Entry
//   5, 7, ... 37   the category steps: take the next file of the category (or skip the
//                  common step when there is none left)
//   6, 8, ... 38   CFSend_Entry: one FileWriteCard request, then back to the category step
//  39 Quit_Entry  40 Terminate  41 end marker
//
// Errors at 0-2 go to Terminate; at 3-38, 4000 goes to Terminate, anything else to Quit.
#include "ops/cf/CfSendMtoM.h"

#include <algorithm>
#include <vector>

#include "config/MessageIds.h"
#include "diag/Trace.h"
#include "ops/cf/CfFolders.h"
#include "ops/cf/CfPcFile.h"
#include "ops/cf/CfReceiveMtoM.h"
#include "ops/cf/CfStepsMtoM.h"

namespace kz {

namespace {
// Indices into the step table beyond the shape both LAN CF tables share (CfStepsMtoM.h).
namespace step {
enum : int { kTerminate = kCfLanQuitStep + 1, kEndMarker, kCount };
}  // namespace step

using Step = StepFn<CCfSendMtoM>;

constexpr StepTableBuilder<CCfSendMtoM, step::kCount> MakeSteps() {
    StepTableBuilder<CCfSendMtoM, step::kCount> table;
    table.Put<&CCfSendMtoM::NodeSearch>(kCfLanNodeSearchStep);
    table.Put<&CCfSendMtoM::NoOp>(kCfLanFolderCheckStep);
    table.Put<&CCfSendMtoM::Initialize>(kCfLanInitializeStep);
    table.Put<&CCfSendMtoM::Connect>(kCfLanConnectStep);
    table.Put<&CCfSendMtoM::Support_Entry>(kCfLanSupportStep);
    for (std::size_t i = 0; i < kCfCategoryCount; ++i) {
        table.Put<&CCfSendMtoM::CategorySend>(CfLanCategoryStep(i));
        table.Put<&CCfSendMtoM::CFSend_Entry>(CfLanRequestStep(i));
    }
    table.Put<&CCfSendMtoM::Quit_Entry>(kCfLanQuitStep);
    table.Put<&CCfSendMtoM::Terminate>(step::kTerminate);
    table.Put<&CCfSendMtoM::EndMarker>(step::kEndMarker);
    return table;
}

static_assert(MakeSteps().Complete());
constexpr std::array<Step, step::kCount> kSteps = MakeSteps().steps;
static_assert(TableFitsRule(OperationKind::CfSendMtoM,
                            {kSteps.size(), kCfLanConnectStep, kCfLanQuitStep, kCfLanQuitStep,
                             step::kTerminate}));

constexpr int kFirstCategoryStep = kCfLanFirstCategoryStep;
constexpr int kNotStarted = 1;
constexpr int kSending = 2;
}  // namespace

CCfSendMtoM::CCfSendMtoM() {
    m_states.fill(kNotStarted);
}

CCfSendMtoM::~CCfSendMtoM() {
    Shutdown();
}

bool CCfSendMtoM::Diapatcher(int nEvent) {
    TraceMessage("KZmnt", "CCfSendMtoM::Diapatcher = [%d , %d]\n", nEvent, m_nPhase);
    return RunSteps<CCfSendMtoM>(*this, kSteps, OperationKind::CfSendMtoM, m_nPhase, m_nError,
                                 nEvent);
}

bool CCfSendMtoM::Initialize(int) {
    ClearStatusList();
    ResetProgress();
    AddStatusLine(msg::kCfSendStart);
    ShowPowerWarning(true);
    if (!ConfirmCardOverwrite(Prompt())) {
        m_nError = msg::kAborted;
        return true;
    }
    m_nProgressTotal = 0;
    m_nProgressCount = 0;
    std::uint64_t bytes = 0;
    for (std::size_t i = 0; i < kCfCategoryCount; ++i) {
        std::vector<std::string> found;
        CollectCategoryFiles(m_csPcFolder, kCfCategories[i], found);
        m_lists[i].assign(found.begin(), found.end());
        m_nProgressTotal += static_cast<int>(found.size());
        for (const std::string& path : found) {
            bytes += static_cast<std::uint64_t>(std::max<std::int64_t>(PlainFileSize(path), 0));
        }
    }
    BeginTransfer(bytes);
    if (m_nProgressTotal < 1) {
        m_nProgressTotal = 1;
    }
    m_csSupportName = lan::kCfCardSupport;
    return true;
}

bool CCfSendMtoM::CategorySend(int) {
    const int index = (m_nPhase - kFirstCategoryStep) / 2;
    if (index < 0 || index >= static_cast<int>(kCfCategoryCount)) {
        m_nError = msg::kCheckPower;
        return true;
    }
    const auto i = static_cast<std::size_t>(index);
    const CfCategory& category = kCfCategories[i];
    auto& list = m_lists[i];
    if (m_states[i] == kNotStarted) {
        if (list.empty()) {
            ++m_nPhase;  // nothing to send: the common step is skipped
            return true;
        }
        AddStatusLine(category.sendCaption);
        ShowPowerWarning(true);
        m_states[i] = kSending;
    }
    if (list.empty()) {
        m_states[i] = kNotStarted;
        ++m_nPhase;
        return true;
    }
    m_csFilePath = list.front();
    list.pop_front();
    // Collected files are named prefix + five digits + extension; the record takes the
    // category's prefix and the number from the name.
    const std::string name = m_csFilePath.substr(m_csFilePath.find_last_of('/') + 1);
    m_file.prefix = CfLanPrefix(category.prefix);
    m_file.number = CfFileNumber(name);
    m_nFileBytes =
        static_cast<std::uint64_t>(std::max<std::int64_t>(PlainFileSize(m_csFilePath), 0));
    SetTransferArea(std::string(category.subfolder) + "/" + name);
    if (index == 0) {
        TraceMessage("CfSendMtoM", "Image = [%s]\n", m_csFilePath.c_str());
    }
    ++m_nProgressCount;
    SetProgress(m_nProgressCount * 100 / m_nProgressTotal);
    return true;
}

bool CCfSendMtoM::CFSend_Entry(int nEvent) {
    switch (m_nSubStep) {
        case 1: {
            if (nEvent == EVENT_ABORT) {
                m_nSubStep = 99;
                Arm(lan::kFailedTicks);
                return false;
            }
            lan::CMtoMBinding* binding = Binding();
            if (m_nError != 0 || m_file.number < 0 || binding == nullptr ||
                binding->Lib().FileWriteCard(binding->Socket(), &lan::CMtoMBinding::Callback,
                                             &m_file,
                                             m_csFilePath.c_str()) != lan::kResultAccepted) {
                // A refusal after an abort is most likely the abort's own cut of the call.
                m_nSubStep = AbortRequested() ? 99 : 98;
                Arm(lan::kRefusedTicks);
                return false;
            }
            ArmRequest(Answer::DataBlock);
            m_nSubStep = 2;
            return false;
        }
        case 2:
            if (nEvent == EVENT_ABORT) {
                m_nSubStep = 99;
                Arm(lan::kFailedTicks);
                return false;
            }
            if (nEvent != EVENT_RECEIVED && nEvent != EVENT_TIMEOUT) {
                return false;
            }
            m_nSubStep = 1;
            if (nEvent == EVENT_TIMEOUT && m_nError == 0) {
                // The panel did not answer in time: the request is given up.
                TraceMessage("KZmnt", "CCfSendMtoM::TimedOut\n");
                Disarm();
                CancelRequest();
                m_nError = msg::kTimeOut;
                return true;
            }
            if (m_nError == 0) {
                TransferMoved(m_nFileBytes);
                m_nPhase -= 2;  // the category step runs again for its next file
                return true;
            }
            {
                const std::uint32_t code =
                    Binding() != nullptr ? lan::ErrorCode(Binding()->Socket()) : 0;
                TraceMessage("CCfSendMtoM", "m_pMSock->m_dwErrorCode = [%X]\n", code);
                m_nError = CfLanErrorMessage(code, false);
            }
            Disarm();
            return true;
        case 98:
            if (nEvent != EVENT_TIMEOUT) {
                return false;
            }
            m_nSubStep = 1;
            Disarm();
            m_nError = msg::kCheckPower;
            CancelRequest();
            return true;
        case 99:
            if (nEvent == EVENT_ABORT) {
                return false;
            }
            m_nSubStep = 1;
            m_nError = msg::kAborted;
            CancelRequest();
            Arm(lan::kFailedTicks);
            return true;
        default:
            m_nSubStep = 1;
            m_nError = msg::kCheckPower;
            return true;
    }
}

}  // namespace kz

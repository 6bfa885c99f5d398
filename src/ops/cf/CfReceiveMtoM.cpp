// Step table of the LAN CF receive (43 entries):
//
//   0 NodeSearch   1 CheckFolders   2 Initialize   3 Connect   4 Support_Entry
//   5, 7, ... 37   the category steps (image first, backup SRAM last)
//   6, 8, ... 38   CFReceive_Entry: one FileReadCard request for the category
//  39 Quit_Entry  40 Reset_Entry   41 Terminate   42 end marker
//
// Errors at 0-2 go to Terminate; at 3-37, 4000 goes to Terminate, 5049 to Reset, anything
// else to Quit.
//
// A card file whose name cannot be used is left out by the library, which stores the
// category's other files and names the ones it left out (lan/MtoMTypes.h). Each is shown in
// the status list and the receive goes on; a run that left a name out ends, after the last
// category, Quit and Reset, with 5050 "The CF card sent an invalid file name." instead of
// "Processing was completed.", as the serial receive ends on such a name.
//
// CFReceive_Entry's sub-steps:
//
//   1 ──request accepted──► 2 ──completed──► (category done)
//   │ refused: 98 after 1 s      │ failed: 97 with the card error
//   │ error already set: 98      │ not answered in time: 97 with 4008
//   └ abort: 99 after 1 s        └ abort: 99 when the request ends
#include "ops/cf/CfReceiveMtoM.h"

#include <array>

#include "config/MessageIds.h"
#include "config/StringTable.h"
#include "diag/Trace.h"
#include "ops/cf/CfFolders.h"
#include "ops/cf/CfStepsMtoM.h"
#include "platform/File.h"
#include "platform/Format.h"
#include "platform/Printable.h"

namespace kz {

namespace {
// Indices into the step table beyond the shape both LAN CF tables share (CfStepsMtoM.h).
namespace step {
enum : int { kReset = kCfLanQuitStep + 1, kTerminate, kEndMarker, kCount };
}  // namespace step

using Step = StepFn<CCfReceiveMtoM>;

constexpr StepTableBuilder<CCfReceiveMtoM, step::kCount> MakeSteps() {
    StepTableBuilder<CCfReceiveMtoM, step::kCount> table;
    table.Put<&CCfReceiveMtoM::NodeSearch>(kCfLanNodeSearchStep);
    table.Put<&CCfReceiveMtoM::CheckFolders>(kCfLanFolderCheckStep);
    table.Put<&CCfReceiveMtoM::Initialize>(kCfLanInitializeStep);
    table.Put<&CCfReceiveMtoM::Connect>(kCfLanConnectStep);
    table.Put<&CCfReceiveMtoM::Support_Entry>(kCfLanSupportStep);
    for (std::size_t i = 0; i < kCfCategoryCount; ++i) {
        table.Put<&CCfReceiveMtoM::CategoryReceive>(CfLanCategoryStep(i));
        table.Put<&CCfReceiveMtoM::CFReceive_Entry>(CfLanRequestStep(i));
    }
    table.Put<&CCfReceiveMtoM::Quit_Entry>(kCfLanQuitStep);
    table.Put<&CCfReceiveMtoM::Reset_Entry>(step::kReset);
    table.Put<&CCfReceiveMtoM::Terminate>(step::kTerminate);
    table.Put<&CCfReceiveMtoM::EndMarker>(step::kEndMarker);
    return table;
}

static_assert(MakeSteps().Complete());
constexpr std::array<Step, step::kCount> kSteps = MakeSteps().steps;
// The zone whose errors close the link ends before the last category's request; the walk
// takes that request's errors on to Quit by itself.
static_assert(TableFitsRule(OperationKind::CfReceiveMtoM,
                            {kSteps.size(), kCfLanConnectStep, kCfLanQuitStep,
                             CfLanRequestStep(kCfCategoryCount - 1), step::kTerminate}));
// In that zone a PC file that could not be written (5049) goes to Reset_Entry, not Quit.
static_assert(RuleOf(OperationKind::CfReceiveMtoM).fileWriteClose == step::kReset);

constexpr int kFirstCategoryStep = kCfLanFirstCategoryStep;
constexpr int kProgressTotal = 18;

// The trace name of each category step, in category order.
constexpr std::array<const char*, kCfCategoryCount> kStepNames = {
    "ImageReceive",  "SoundReceive",  "FilingReceive", "CsvReceive",    "LogingReceive",
    "TrendReceive",  "TrendReceive",  "TrendReceive",  "Alarm1Receive", "Alarm2Receive",
    "Alarm3Receive", "Alarm4Receive", "Alarm5Receive", "Alarm6Receive", "Alarm7Receive",
    "Alarm8Receive", "Backup8Receive"};
}  // namespace

int CfLanErrorMessage(std::uint32_t errorCode, bool receive) {
    switch (errorCode) {
        case lan::kErrorNoCard:
            return msg::kNoCfCard;
        case lan::kErrorCardRead:
            return msg::kCardRead;
        case lan::kErrorCardWrite:
            return msg::kCardWrite;
        case lan::kErrorCardDelete:
            return msg::kCardDelete;
        case lan::kErrorCardDirectory:
            return msg::kCardFolderCreate;
        case lan::kErrorPcFileWrite:
            return receive ? msg::kFileWrite : msg::kCheckPower;
        default:
            return msg::kCheckPower;
    }
}

std::uint32_t CfLanPrefix(std::string_view prefix) {
    if (prefix.size() < 2) {
        return 0;
    }
    return lan::EncodePrefix(prefix[0], prefix[1]);
}

CCfReceiveMtoM::CCfReceiveMtoM() = default;

CCfReceiveMtoM::~CCfReceiveMtoM() {
    Shutdown();
}

bool CCfReceiveMtoM::Diapatcher(int nEvent) {
    return RunSteps<CCfReceiveMtoM>(*this, kSteps, OperationKind::CfReceiveMtoM, m_nPhase, m_nError,
                                    nEvent);
}

bool CCfReceiveMtoM::CheckFolders(int) {
    m_nError = CheckPcFolders(m_csPcFolder, Prompt());
    return true;
}

bool CCfReceiveMtoM::Initialize(int) {
    ClearStatusList();
    ResetProgress();
    AddStatusLine(msg::kCfReceiveStart);
    ShowPowerWarning(true);
    m_csSupportName = lan::kCfCardSupport;
    m_nProgressTotal = kProgressTotal;
    m_nProgressCount = 0;
    // The library stores a whole category in one request: the progress names the category.
    BeginTransfer(0);
    return true;
}

bool CCfReceiveMtoM::CategoryReceive(int) {
    const int index = (m_nPhase - kFirstCategoryStep) / 2;
    if (index < 0 || index >= static_cast<int>(kCfCategoryCount)) {
        m_nError = msg::kCheckPower;
        return true;
    }
    const CfCategory& category = kCfCategories[static_cast<std::size_t>(index)];
    ++m_nProgressCount;
    SetProgress(m_nProgressCount * 100 / m_nProgressTotal);
    TraceMessage("KZmnt", "CCfReceiveMtoM::%s\n", kStepNames[static_cast<std::size_t>(index)]);
    m_range.prefix = CfLanPrefix(category.prefix);
    m_range.first = category.first;
    m_range.last = category.last;
    m_nFileCount = 0;
    m_vFileList.assign(static_cast<std::size_t>(category.last - category.first + 1),
                       lan::KzFileList{});
    m_csCategoryFolder = CfCategoryFolder(m_csPcFolder, category);
    m_csExtension = std::string(category.extension);
    AddStatusLine(category.receiveCaption);
    SetTransferArea(GetString(category.receiveCaption));
    ShowPowerWarning(true);
    return true;
}

bool CCfReceiveMtoM::Phase1(int nEvent, bool* stepDone) {
    TraceMessage("KZmnt", "CCfReceiveMtoM::CFReceive_Phase1 = [%d, %d]\n", nEvent, m_nSubStep);
    if (nEvent == EVENT_ABORT) {
        m_nSubStep = 99;
        Arm(lan::kRefusedTicks);
        return false;
    }
    if (m_nError != 0) {
        m_nSavedError = static_cast<std::uint32_t>(m_nError);
        m_nError = 0;
        m_nSubStep = 98;
        return true;
    }
    // The library writes the card files into this folder: it must be the real folder below
    // the one the user chose, never a link that leads somewhere else.
    if (platform::KindOfPath(m_csCategoryFolder) != platform::PathKind::Folder) {
        TraceMessage("KZmnt", "  not a folder: [%s]\n", m_csCategoryFolder.c_str());
        m_nSavedError = msg::kFileWrite;
        m_nSubStep = 97;
        return true;
    }
    lan::CMtoMBinding* binding = Binding();
    if (binding != nullptr && binding->Socket() != nullptr) {
        // Cleared, so that after success only a library that left names out has set it.
        lan::SetErrorCode(binding->Socket(), 0);
    }
    if (binding != nullptr &&
        binding->Lib().FileReadCard(binding->Socket(), &lan::CMtoMBinding::Callback, &m_range,
                                    &m_nFileCount, m_vFileList.data(), m_csCategoryFolder.c_str(),
                                    nullptr, m_csExtension.c_str()) == lan::kResultAccepted) {
        ArmRequest(Answer::DataBlock);
        m_nSubStep = 2;
        return false;
    }
    // A refusal after an abort is most likely the abort's own cut of the call.
    m_nSubStep = AbortRequested() ? 99 : 98;
    Arm(lan::kRefusedTicks);
    *stepDone = false;
    return false;
}

bool CCfReceiveMtoM::Phase2(int nEvent, bool* stepDone) {
    if (nEvent == EVENT_ABORT) {
        // The abort is acted on when the request ends; a library that never ends it is
        // not waited for longer than the loader work would be.
        m_nSubStep = 99;
        Arm(lan::kAbortGraceTicks);
        return false;
    }
    if (nEvent != EVENT_RECEIVED && nEvent != EVENT_TIMEOUT) {
        return false;
    }
    if (nEvent == EVENT_TIMEOUT && m_nError == 0) {
        // The panel did not answer in time: the request is given up (sub-step 97).
        TraceMessage("KZmnt", "CCfReceiveMtoM::TimedOut\n");
        m_nSavedError = msg::kTimeOut;
        m_nSubStep = 97;
        return true;
    }
    if (m_nError != 0) {
        const std::uint32_t code = Binding() != nullptr ? lan::ErrorCode(Binding()->Socket()) : 0;
        TraceMessage("CCfReceiveMtoM", "m_pMSock->m_dwErrorCode = [%X]\n", code);
        m_nSavedError = static_cast<std::uint32_t>(CfLanErrorMessage(code, true));
        m_nSubStep = 97;
        m_nError = 0;
        return true;
    }
    // What the library reports must fit the room it was given.
    if (m_nFileCount < 0 || static_cast<std::size_t>(m_nFileCount) > m_vFileList.size()) {
        TraceMessage("KZmnt", "  file count = [%d]\n", m_nFileCount);
        m_nSavedError = msg::kCheckPower;
        m_nSubStep = 97;
        return true;
    }
    ReportLeftOutNames();
    FreeList();
    m_nSubStep = 1;
    *stepDone = true;
    return true;
}

void CCfReceiveMtoM::ReportLeftOutNames() {
    const std::uint32_t code = Binding() != nullptr ? lan::ErrorCode(Binding()->Socket()) : 0;
    const std::optional<lan::LeftOutNames> leftOut =
        lan::ReadLeftOutNames(code, m_vFileList.data(), m_vFileList.size(), m_nFileCount);
    if (!leftOut) {
        return;
    }
    m_bNamesLeftOut = true;
    TraceMessage("KZmnt", "  file names left out = [%u]\n", leftOut->total);
    for (const lan::LeftOutName& name : leftOut->names) {
        const std::string shown = Printable(name.start) + (name.cut ? "..." : "");
        AddStatusLine(Format(GetString(msg::kCfNameLeftOut).c_str(), shown.c_str()));
    }
    if (leftOut->total > leftOut->names.size()) {
        AddStatusLine(Format(GetString(msg::kCfMoreNamesLeftOut).c_str(),
                             static_cast<int>(leftOut->total - leftOut->names.size())));
    }
}

bool CCfReceiveMtoM::CFReceive_Entry(int nEvent) {
    TraceMessage("KZmnt", "CCfReceiveMtoM::CFReceive_Entry = [%d, %d]\n", nEvent, m_nSubStep);
    for (;;) {
        bool stepDone = false;
        bool next = false;
        switch (m_nSubStep) {
            case 1:
                next = Phase1(nEvent, &stepDone);
                break;
            case 2:
                next = Phase2(nEvent, &stepDone);
                break;
            case 97:
                m_nSubStep = 1;
                m_nError = static_cast<int>(m_nSavedError);
                Disarm();
                CancelRequest();
                FreeList();
                return true;
            case 98:
                m_nSubStep = 1;
                Disarm();
                m_nError = msg::kCheckPower;
                CancelRequest();
                FreeList();
                return true;
            case 99:
                if (nEvent == EVENT_ABORT) {
                    return false;  // already aborting
                }
                m_nSubStep = 1;
                m_nError = msg::kAborted;
                CancelRequest();
                FreeList();
                Arm(lan::kFailedTicks);
                return true;
            default:
                m_nSubStep = 98;
                continue;
        }
        if (stepDone) {
            return true;
        }
        if (!next) {
            return m_nError != 0;
        }
    }
}

void CCfReceiveMtoM::OnTerminate() {
    if (m_nProgressTotal > 0) {
        ++m_nProgressCount;
        SetProgress(m_nProgressCount * 100 / m_nProgressTotal);
    }
    if (m_nError == 0 && m_bNamesLeftOut) {
        m_nError = msg::kCfInvalidName;
    }
}

}  // namespace kz

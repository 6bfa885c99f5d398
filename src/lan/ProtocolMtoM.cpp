// The LAN adapter's entries. Each one is a small machine of sub-phases; a sub-phase that
// issues an accepted request waits, and the completion brings EVENT_RECEIVED:
//
//   issue ──accepted──► wait ──EVENT_RECEIVED──► next sub-phase
//     │refused            │EVENT_ABORT            │EVENT_TIMEOUT (after a failure result)
//     ▼                   ▼                       ▼
//    98 (1 s) ─► 4000    99 (1 s, cancel) ─► 4001  end with 4000
//
// DownloadSLOADER:
//   0 status ─► 10 loader ─► 11 start it ─► 12 ─┬─ new panel ───────────────► done
//                ▲                              └─ old panel: 30 extension blocks ─► 32
//                │                                  ─► 40 cold restart (1 s) ─► 50 message,
//                └──────── 52 ◄── 51 communication ◄── reconnect ◄─────────────┘
#include "lan/ProtocolMtoM.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "config/IniFile.h"
#include "config/Settings.h"
#include "config/StringTable.h"
#include "diag/Trace.h"
#include "lan/NetworkSearch.h"
#include "platform/Clock.h"
#include "platform/Format.h"
#include "platform/Printable.h"
#include "platform/ProgramFolder.h"

namespace kz {

namespace {
// The event that carries a completion to the event thread (never seen by a step).
constexpr int kEventCompletion = 100;

bool Accepted(int result) {
    return result == lan::kResultAccepted;
}
}  // namespace

// ---- Session ---------------------------------------------------------------------------

namespace lan {

CMtoMBinding::CMtoMBinding(CProtocolMtoM* owner, std::uint64_t generation)
    : m_pOwner(owner), m_nGeneration(generation) {}

CMtoMBinding::~CMtoMBinding() {
    if (m_pMSock != nullptr) {
        m_library.CancelMtoM(m_pMSock);
        m_library.CloseMtoM(m_pMSock, nullptr);
        m_library.FreeMtoMSocket(m_pMSock);
        m_pMSock = nullptr;
    }
    m_library.Unload();
}

bool CMtoMBinding::Create(std::string* loadError) {
    if (!m_library.Load(loadError)) {
        return false;
    }
    m_pMSock = m_library.CreateMtoMSocket(kSocketKind);
    if (m_pMSock == nullptr) {
        return false;
    }
    SetUserPointer(m_pMSock, this);
    return true;
}

int KZ_MTOM_CALL CMtoMBinding::Callback(MtoMSocket* socket, int result) {
    auto* binding = socket != nullptr ? static_cast<CMtoMBinding*>(UserPointer(socket)) : nullptr;
    if (binding == nullptr || binding->m_pOwner == nullptr) {
        return 0;
    }
    return binding->m_pOwner->OnComplete(binding->m_nGeneration, result);
}

}  // namespace lan

// ---- Construction, events, timer --------------------------------------------------------

CProtocolMtoM::CProtocolMtoM()
    : m_pchBuff(new std::uint8_t[lan::kAdapterBufferSize]()),
      m_events([this](int nEvent, std::uint64_t token) { HandleEvent(nEvent, token); }) {
    m_timerThread = std::thread([this] { TimerLoop(); });
}

CProtocolMtoM::~CProtocolMtoM() {
    TraceMessage("KZmnt", "CProtocolMtoM::~CProtocolMtoM() Start\n");
    Shutdown();
    TraceMessage("KZmnt", "CProtocolMtoM::~CProtocolMtoM() End\n");
}

void CProtocolMtoM::Shutdown() {
    m_bShuttingDown = true;
    m_requestEvent.Set();
    {
        // A call the event thread waits in would hold the stop up to the library's bound.
        std::lock_guard lock(m_sessionMutex);
        if (m_pBinding) {
            m_pBinding->Lib().CancelCallInProgress();
        }
    }
    m_events.Stop();
    StopTimer();
    // No event runs any more: the session can go (its callbacks end with it).
    SwapBinding(nullptr).reset();
    m_pExtension.reset();
}

bool CProtocolMtoM::Diapatcher(int /*nEvent*/) {
    return false;
}

void CProtocolMtoM::PostEvent(int nEvent) {
    if (nEvent == EVENT_ABORT) {
        m_bAbortRequested = true;
        // The event thread may be waiting in a library call, with the abort queued behind.
        std::lock_guard lock(m_sessionMutex);
        if (m_pBinding) {
            m_pBinding->Lib().CancelCallInProgress();
        }
    }
    m_events.Post(nEvent);
}

int CProtocolMtoM::OnComplete(std::uint64_t generation, int result) {
    m_events.Post(kEventCompletion, (generation << 32) | static_cast<std::uint32_t>(result));
    return result == lan::kResultSuccess || result == lan::kResultAccepted ||
                   result == lan::kResultNothing
               ? 1
               : 0;
}

void CProtocolMtoM::HandleEvent(int nEvent, std::uint64_t token) {
    if (m_bRunEnded) {
        return;  // the run has posted its completion; the operation only waits for deletion
    }
    if (nEvent == kEventCompletion) {
        HandleCompletion(token >> 32, static_cast<int>(static_cast<std::uint32_t>(token)));
        return;
    }
    if (nEvent == EVENT_TIMEOUT) {
        std::lock_guard lock(m_timerMutex);
        // A time-out of a countdown that has since been re-armed or disarmed belongs to a
        // sub-phase that no longer waits for it.
        if (token != m_nArmGeneration || m_nCountdown != 0) {
            return;
        }
    }
    Diapatcher(nEvent);
}

void CProtocolMtoM::HandleCompletion(std::uint64_t generation, int result) {
    TraceMessage("KZmnt", "CProtocolMtoM::OnComplete = [%d]\n", result);
    // A completion of a session that has ended belongs to nobody any more.
    if (!m_pBinding || m_pBinding->Generation() != generation) {
        return;
    }
    if (result == lan::kResultSuccess) {
        {
            // The request has been answered: its countdown ends (any other stays).
            std::lock_guard lock(m_timerMutex);
            if (m_nArmGeneration == m_nRequestArm && m_nCountdown > 0) {
                m_nCountdown = 0;
                ++m_nArmGeneration;
            }
        }
        Diapatcher(EVENT_RECEIVED);
    } else if (result == lan::kResultAccepted || result == lan::kResultNothing) {
        // Word from the panel without the result: its request's countdown starts again.
        std::lock_guard lock(m_timerMutex);
        if (m_nArmGeneration == m_nRequestArm && m_nCountdown > 0) {
            m_nCountdown = m_nRequestTicks;
        }
    } else {
        if (m_nError == 0) {
            m_nError = msg::kCheckPower;
        }
        Arm(lan::kFailedTicks);
    }
}

void CProtocolMtoM::TimerLoop() {
    while (m_bTimerRun) {
        platform::Clock().Sleep(std::chrono::milliseconds(lan::kMtoMTickMs));
        std::lock_guard lock(m_timerMutex);
        if (m_nCountdown > 0 && --m_nCountdown == 0) {
            TraceMessage("KZmnt", "CProtocolMtoM::ProcessPendingTimeout = [%d]\n", m_nPhase);
            m_events.Post(EVENT_TIMEOUT, m_nArmGeneration);
        }
    }
    TraceMessage("KZmnt", "Timer Thread Complete\n");
}

void CProtocolMtoM::StopTimer() {
    m_bTimerRun = false;
    Disarm();
    if (m_timerThread.joinable()) {
        m_timerThread.join();
    }
}

void CProtocolMtoM::Arm(int ticks) {
    std::lock_guard lock(m_timerMutex);
    m_nCountdown = std::max(ticks, 0);
    ++m_nArmGeneration;
}

void CProtocolMtoM::ArmRequest(Answer kind) {
    if (m_bAborting) {
        return;
    }
    if (m_nReadTimeoutTicks < 0) {
        CSettings settings;
        m_nReadTimeoutTicks = settings.GetReadTimeout() * 1000 / lan::kMtoMTickMs;
        m_nWriteTimeoutTicks = settings.GetWriteTimeout() * 1000 / lan::kMtoMTickMs;
    }
    const int ticks = kind == Answer::DataBlock ? m_nWriteTimeoutTicks : m_nReadTimeoutTicks;
    Arm(ticks);
    std::lock_guard lock(m_timerMutex);
    m_nRequestArm = m_nArmGeneration;
    m_nRequestTicks = ticks;
}

int CProtocolMtoM::Countdown() {
    std::lock_guard lock(m_timerMutex);
    return m_nCountdown;
}

void CProtocolMtoM::Sleep(int milliseconds) {
    platform::Clock().Sleep(std::chrono::milliseconds(milliseconds));
}

// ---- Sessions ----------------------------------------------------------------------------

std::unique_ptr<lan::CMtoMBinding> CProtocolMtoM::SwapBinding(
    std::unique_ptr<lan::CMtoMBinding> next) {
    std::lock_guard lock(m_sessionMutex);
    m_pBinding.swap(next);
    return next;
}

bool CProtocolMtoM::NewBinding() {
    DeleteBinding();
    auto binding = std::make_unique<lan::CMtoMBinding>(this, ++m_nBindingGeneration);
    std::string loadError;
    const bool created = binding->Create(&loadError);
    if (binding->Lib().Loaded()) {
        ReportIncompleteLibrary(binding->Lib());
    }
    SwapBinding(std::move(binding));
    if (created) {
        return true;
    }
    if (!loadError.empty()) {
        ReportLibraryNotLoaded(loadError);
    }
    return false;
}

void CProtocolMtoM::ReportIncompleteLibrary(const lan::LanLibrary& lib) {
    const char* missing = lib.FirstMissing();
    if (missing == nullptr || m_bIncompleteReported) {
        return;
    }
    m_bIncompleteReported = true;
    AddStatusLine(Format(GetString(msg::kLanLibraryIncomplete).c_str(),
                         Printable(lib.Path()).c_str(), missing));
}

void CProtocolMtoM::ReportLibraryNotLoaded(const std::string& reason) {
    // Without the library every request fails like a missing panel; say what is missing.
    AddStatusLine(Format(GetString(msg::kLanLibraryNotLoaded).c_str(), Printable(reason).c_str()));
}

void CProtocolMtoM::DeleteBinding() {
    // Torn down outside the lock: an abort meanwhile finds no session and has nothing to cut.
    SwapBinding(nullptr).reset();
}

void CProtocolMtoM::CancelRequest() {
    if (m_pBinding && m_pBinding->Socket() != nullptr) {
        m_pBinding->Lib().CancelMtoM(m_pBinding->Socket());
    }
}

// ---- Common sub-phase rules ----------------------------------------------------------------

CProtocolMtoM::Arrival CProtocolMtoM::Await(int nEvent, int& sub, int reset, int abortTicks) {
    switch (nEvent) {
        case EVENT_RECEIVED:
            return Arrival::Completed;
        case EVENT_TIMEOUT:
            // A failure result (OnComplete set the error), the bound after an abort, or the
            // request's own time-out.
            Disarm();
            CancelRequest();
            if (m_nError == 0) {
                if (!m_bAborting) {
                    TraceMessage("KZmnt", "CProtocolMtoM::TimedOut = [%d]\n", m_nPhase);
                }
                m_nError = m_bAborting ? msg::kAborted : msg::kTimeOut;
            }
            sub = reset;
            return Arrival::Ended;
        case EVENT_ABORT:
            if (abortTicks == 0) {
                DeferAbort();
            } else {
                sub = 99;
                Arm(abortTicks);
                CancelRequest();
            }
            return Arrival::Waiting;
        default:
            return Arrival::Waiting;
    }
}

void CProtocolMtoM::DeferAbort() {
    if (!m_bAborting) {
        AddStatusLine(msg::kDiscontinuation);
        AddStatusLine(msg::kPleaseWait);
        m_bAborting = true;
    }
    // The loader work goes on to the end of its sub-phase, but not forever.
    Arm(lan::kAbortGraceTicks);
}

bool CProtocolMtoM::Refused(int& sub) {
    // After an abort the refusal is most likely the abort's own cut of the call.
    sub = AbortRequested() ? 99 : 98;
    Arm(lan::kRefusedTicks);
    return false;
}

bool CProtocolMtoM::Closing(int nEvent, int& sub, int reset, bool cancelAt98, bool* result) {
    if (sub == 98) {
        if (nEvent != EVENT_TIMEOUT) {
            *result = false;
            return true;
        }
        Disarm();
        if (cancelAt98) {
            CancelRequest();
        }
        // A closing step keeps the error that sent the run there.
        if (m_nError == 0) {
            m_nError = msg::kCheckPower;
        }
        sub = reset;
        *result = true;
        return true;
    }
    if (sub == 99) {
        Disarm();
        m_nError = msg::kAborted;
        sub = reset;
        *result = true;
        return true;
    }
    return false;
}

bool CProtocolMtoM::TimedOut(int& sub, int reset) {
    TraceMessage("KZmnt", "CProtocolMtoM::TimedOut = [%d]\n", m_nPhase);
    Disarm();
    CancelRequest();
    m_nError = msg::kTimeOut;
    sub = reset;
    return true;
}

bool CProtocolMtoM::EndRun(const char* trace) {
    if (trace != nullptr) {
        TraceMessage("KZmnt", "%s", trace);
    }
    AddStatusLine(m_nError != 0 ? m_nError : msg::kCheckPower);
    ShowPowerWarning(false);
    Disarm();
    m_nError = msg::kCheckPower;
    m_bRunEnded = true;
    PostComplete();
    return false;
}

// ---- Node search ------------------------------------------------------------------------------

bool CProtocolMtoM::NodeSearch(int nEvent) {
    for (;;) {
        switch (m_nSearchPhase) {
            case 1:
                if (!m_csNodeAddress.empty()) {
                    m_nSearchPhase = 3;  // the front-end named the panel
                    break;
                }
                m_bSearching = true;
                AddStatusLine(msg::kSearching);
                m_nError = 0;
                {
                    lan::LanLibrary lib;
                    std::string loadError;
                    if (!lib.Load(&loadError)) {
                        ReportLibraryNotLoaded(loadError);
                    } else {
                        ReportIncompleteLibrary(lib);
                    }
                    m_vNodes = lan::SearchNodes(lib, lan::kStartSearchPort, nullptr);
                }
                m_bSearching = false;
                m_nSearchPhase = 2;
                break;
            case 2: {
                AddStatusLine(msg::kSearchEnd);
                std::string chosen;
                bool ok;
                if (m_pChooser != nullptr) {
                    ok = m_pChooser->ChooseNode(m_vNodes, &chosen);
                } else {
                    ok = !m_vNodes.empty();
                    chosen = ok ? m_vNodes.front() : std::string();
                }
                // "KZ is not found." has no address: taking it is no choice at all.
                if (!ok || chosen.empty()) {
                    m_nSearchPhase = 99;
                    Arm(lan::kRefusedTicks);
                    return false;
                }
                m_csNodeAddress = chosen;
                m_nSearchPhase = 3;
                break;
            }
            case 3:
                m_nSearchPhase = 1;
                return true;
            default: {
                bool result = false;
                if (nEvent == EVENT_TIMEOUT || nEvent == EVENT_ABORT) {
                    Closing(nEvent, m_nSearchPhase, 1, false, &result);
                }
                return result;
            }
        }
    }
}

// ---- Password -----------------------------------------------------------------------------------

bool CProtocolMtoM::Password(int /*nEvent*/) {
    // Every call here completes before it returns; an abort cuts the one in progress short,
    // and whatever the calls gave, the entry then ends as aborted.
    if (AbortRequested()) {
        m_nError = msg::kAborted;
        return true;
    }
    if (!NewBinding()) {
        m_nError = msg::kCheckPower;
        return true;  // the binding stays until the operation ends
    }
    const lan::LanLibrary& lib = m_pBinding->Lib();
    lan::MtoMSocket* sock = m_pBinding->Socket();
    if (lib.OpenMtoMLAN(sock, nullptr, m_csNodeAddress.c_str()) != lan::kResultSuccess) {
        m_nError = AbortRequested() ? msg::kAborted : msg::kCheckPower;
        return true;
    }
    lan::KzFileLimit query = lan::kPasswordQueryLimit;
    int hasPassword = 0;
    lan::KzFileList list[lan::kListEntries];
    std::uint8_t bytes[lan::kListByteArea] = {};
    if (lib.List(sock, nullptr, &query, &hasPassword, list, bytes) != lan::kResultSuccess) {
        m_nError = msg::kCheckPower;
    } else if (hasPassword != 0 && !AbortRequested()) {
        for (int attempt = 1;; ++attempt) {
            m_csPassword.clear();
            RequestFromView(WM_PASSWORD_REQUEST);
            if (m_csPassword.empty()) {
                m_nError = msg::kAborted;
                break;
            }
            char code[lan::kPasswordCodeSize];
            std::memset(code, 10, sizeof code - 1);
            const std::size_t n = std::min(m_csPassword.size(), sizeof code - 1);
            for (std::size_t j = 0; j < n; ++j) {
                code[j] = static_cast<char>(static_cast<std::uint8_t>(m_csPassword[j]) + 10);
            }
            code[sizeof code - 1] = 0;
            std::uint32_t answer = 1;
            if (lib.Password(sock, nullptr, code, &answer) == lan::kResultSuccess ||
                AbortRequested()) {
                break;
            }
            if (attempt >= 3) {
                if (Prompt() != nullptr) {
                    Prompt()->ShowMessage(msg::kPasswordRetry, msg::kPasswordInput);
                }
                m_nError = msg::kPasswordRetry;
                break;
            }
            if (Prompt() == nullptr ||
                !Prompt()->AskOkCancel(msg::kPasswordWrong, msg::kPasswordInput)) {
                m_nError = msg::kAborted;
                break;
            }
        }
    }
    if (AbortRequested()) {
        m_nError = msg::kAborted;
    }
    DeleteBinding();
    return true;
}

// ---- ReadID --------------------------------------------------------------------------------------

bool CProtocolMtoM::ReadID(int nEvent) {
    for (bool first = true;; first = false) {
        const int event = first ? nEvent : EVENT_NONE;
        TraceMessage("KZmnt", "ReadID_Phase1 = [%d] , [%d]\n", event, m_nReadIDPhase);
        bool result = false;
        if (Closing(event, m_nReadIDPhase, 0, true, &result)) {
            return result;
        }
        if (event == EVENT_ABORT && m_nReadIDPhase != 0) {
            // Nothing has been sent to the panel yet that must be finished: stop here.
            DeferAbort();
        }
        switch (m_nReadIDPhase) {
            case 0:
                if (AbortRequested()) {
                    m_nError = msg::kAborted;  // no session is opened after an abort
                    return true;
                }
                AddStatusLine(msg::kCoreIdCheck);
                m_bOldLoader = true;
                if (!NewBinding()) {
                    TraceMessage("KZmnt", "  Create Error\n");
                    return Refused(m_nReadIDPhase);
                }
                if (!Accepted(m_pBinding->Lib().OpenMtoMLAN(m_pBinding->Socket(),
                                                            &lan::CMtoMBinding::Callback,
                                                            m_csNodeAddress.c_str()))) {
                    return Refused(m_nReadIDPhase);
                }
                ArmRequest(Answer::Command);
                m_nReadIDPhase = 1;
                return false;
            case 1:
                switch (Await(event, m_nReadIDPhase, 0, lan::kRefusedTicks)) {
                    case Arrival::Completed:
                        break;
                    case Arrival::Ended:
                        return true;
                    default:
                        return false;
                }
                if (!Accepted(m_pBinding->Lib().Communication(m_pBinding->Socket(),
                                                              &lan::CMtoMBinding::Callback))) {
                    return Refused(m_nReadIDPhase);
                }
                ArmRequest(Answer::Command);
                m_nReadIDPhase = 2;
                return false;
            case 2: {
                switch (Await(event, m_nReadIDPhase, 0, lan::kRefusedTicks)) {
                    case Arrival::Completed:
                        break;
                    case Arrival::Ended:
                        return true;
                    default:
                        return false;
                }
                std::uint8_t* buffer = m_pchBuff.get();
                std::memset(buffer, 0, lan::kAdapterBufferSize);
                std::memcpy(buffer, lan::kBelRequest, sizeof lan::kBelRequest);
                std::uint8_t* answer = buffer + lan::kBelAnswerOffset;
                if (m_pBinding->Lib().Bel(m_pBinding->Socket(), nullptr, lan::kBelIdentity, buffer,
                                          answer) != lan::kResultSuccess) {
                    return Refused(m_nReadIDPhase);
                }
                std::uint32_t coreId;
                std::memcpy(&coreId, answer + lan::kBelCoreIdOffset, sizeof coreId);
                // The text ends at its NUL, and never beyond the buffer.
                const char* text = reinterpret_cast<const char*>(answer + lan::kBelTextOffset);
                const std::size_t room =
                    lan::kAdapterBufferSize - lan::kBelAnswerOffset - lan::kBelTextOffset;
                const void* nul = std::memchr(text, 0, room);
                const std::string version(
                    text, nul != nullptr ? static_cast<const char*>(nul) - text : room);
                const auto comma = version.find(',');
                const auto second =
                    comma == std::string::npos ? std::string::npos : version.find(',', comma + 1);
                if (second == std::string::npos) {
                    return Refused(m_nReadIDPhase);
                }
                TraceMessage("KZmnt", "    dwCoreID = [%X]\n", coreId);
                m_csCoreID = Format("%4X", coreId & 0xFFFF);
                if (CSettings().GetDebug()) {
                    AddStatusLine(Format("Read CoreID = [%s]", m_csCoreID.c_str()));
                }
                m_csAutoName = Format("%4X", coreId & 0xF37F);
                m_bOldLoader =
                    version.compare(second + 1, std::string::npos, lan::kOldLoaderBelow) < 0;
                m_nReadIDPhase = 0;
                return true;
            }
            default:
                return false;
        }
    }
}

// ---- DownloadSLOADER ----------------------------------------------------------------------------

struct CProtocolMtoM::ExtensionFile {
    std::ifstream in;
    std::uint16_t remaining = 0;
    std::uint16_t block = 0;
};

bool CProtocolMtoM::ReadLoaderFile() {
    std::string path = m_csLoaderName;
    if (path.find_first_of("/\\") == std::string::npos) {
        path = platform::ProgramFolder() + path;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    m_pchFileBuff.reset(new std::uint8_t[lan::kAdapterBufferSize]);
    in.read(reinterpret_cast<char*>(m_pchFileBuff.get()), lan::kAdapterBufferSize);
    const auto length = static_cast<std::uint32_t>(in.gcount());
    // Larger than the buffer, or without even the address word: not a loader we can send.
    if (in.peek() != std::char_traits<char>::eof() || length < 4) {
        m_pchFileBuff.reset();
        return false;
    }
    m_dwFileLength = length;
    std::memcpy(&m_dwLoaderAddress, m_pchFileBuff.get(), 4);
    return true;
}

bool CProtocolMtoM::OpenExtension() {
    auto file = std::make_unique<ExtensionFile>();
    file->in.open(platform::ProgramFolder() + lan::kExtensionFile, std::ios::binary);
    std::uint8_t head[lan::kExtensionHeader + 2];
    if (!file->in || !file->in.read(reinterpret_cast<char*>(head), sizeof head)) {
        return false;
    }
    file->remaining = static_cast<std::uint16_t>(head[lan::kExtensionHeader] |
                                                 (head[lan::kExtensionHeader + 1] << 8));
    m_pExtension = std::move(file);
    return true;
}

bool CProtocolMtoM::DownloadStep(int nEvent) {
    const lan::LanLibrary* lib = m_pBinding ? &m_pBinding->Lib() : nullptr;
    lan::MtoMSocket* sock = m_pBinding ? m_pBinding->Socket() : nullptr;
    const auto cb = &lan::CMtoMBinding::Callback;
    const auto refused = [this] {
        TraceMessage("KZmnt", "  ***** nPhase = [%d]\n", m_nPhase);
        return Refused(m_nDownloadPhase);
    };
    const auto aborted = [this] {
        m_nDownloadPhase = 99;
        return true;
    };
    // The waiting sub-steps take their completion here.
    if (m_nDownloadPhase == 11 || m_nDownloadPhase == 12 || m_nDownloadPhase == 31 ||
        m_nDownloadPhase == 32 || m_nDownloadPhase == 51 || m_nDownloadPhase == 52) {
        switch (Await(nEvent, m_nDownloadPhase, 0, 0)) {
            case Arrival::Completed:
                break;
            case Arrival::Ended:
                m_pchFileBuff.reset();
                m_pExtension.reset();
                return true;
            default:
                return false;
        }
    }
    switch (m_nDownloadPhase) {
        case 0:
            AddStatusLine(msg::kSloaderTransmission);
            m_nDownloadPhase = 10;
            return true;
        case 10:
            TraceMessage("KZmnt", "DownloadSLOADER_Phase1 = [%d] , [%d]\n", nEvent, m_nPhase);
            if (!ReadLoaderFile()) {
                m_nError = msg::kIloaderRead;
                m_nDownloadPhase = 0;
                return true;
            }
            if (lib == nullptr ||
                !Accepted(lib->DownloadingSystemDownloaderFile(
                    sock, cb, m_dwLoaderAddress, m_dwFileLength - 4, m_pchFileBuff.get() + 4))) {
                m_pchFileBuff.reset();
                return refused();
            }
            ArmRequest(Answer::DataBlock);
            m_nDownloadPhase = 11;
            return false;
        case 11:
            m_pchFileBuff.reset();
            if (!Accepted(lib->InvokingTheDownloadedObject(sock, cb, m_dwLoaderAddress))) {
                return refused();
            }
            ArmRequest(Answer::Command);
            m_nDownloadPhase = 12;
            return false;
        case 12:
            m_bExtensionSent = false;
            if (m_bAborting) {
                return aborted();
            }
            m_nDownloadPhase = m_bOldLoader ? 30 : 2;
            return true;
        case 30:
            TraceMessage("KZmnt", "  DownloadSLOADER_Phase3 = [%d] , [%d]\n", nEvent, m_nPhase);
            if (!OpenExtension()) {
                m_nError = msg::kIloaderRead;
                m_nDownloadPhase = 0;
                return true;
            }
            m_nDownloadPhase = 31;
            return SendExtensionBlock();
        case 31:
            return SendExtensionBlock();
        case 32:
            if (m_bAborting) {
                return aborted();
            }
            m_nDownloadPhase = 40;
            return true;
        case 40:
            if (lib == nullptr) {
                return aborted();
            }
            if (Accepted(lib->ColdRest(sock, cb))) {
                TraceMessage("KZmnt", "ColdReset\n");
                m_nDownloadPhase = 41;
            } else {
                TraceMessage("KZmnt", "  ***** nPhase = [%d]\n", m_nPhase);
                m_nDownloadPhase = 98;
            }
            Arm(lan::kRefusedTicks);
            return false;
        case 41:
            // The restart's completion is not waited for; its session is dead either way.
            if (nEvent == EVENT_ABORT) {
                DeferAbort();
                Arm(lan::kRefusedTicks);
                return false;
            }
            if (nEvent != EVENT_TIMEOUT) {
                return false;
            }
            if (m_nError != 0) {
                m_nDownloadPhase = 0;
                return true;
            }
            DeleteBinding();
            if (m_bAborting) {
                return aborted();
            }
            m_nDownloadPhase = 50;
            return true;
        case 50:
            Sleep(1000);
            if (Prompt() != nullptr) {
                Prompt()->ShowMessage(msg::kReturnOnline, 0);
            }
            if (!NewBinding() || !Accepted(m_pBinding->Lib().OpenMtoMLAN(
                                     m_pBinding->Socket(), cb, m_csNodeAddress.c_str()))) {
                return refused();
            }
            ArmRequest(Answer::Command);
            m_nDownloadPhase = 51;
            return false;
        case 51:
            if (!Accepted(lib->Communication(sock, cb))) {
                return refused();
            }
            ArmRequest(Answer::Command);
            m_nDownloadPhase = 52;
            return false;
        case 52:
            // The restarted panel needs the loader once more, and no extension now.
            m_bOldLoader = false;
            m_nDownloadPhase = 10;
            return true;
        default:
            return false;
    }
}

bool CProtocolMtoM::SendExtensionBlock() {
    const lan::LanLibrary& lib = m_pBinding->Lib();
    const auto cb = &lan::CMtoMBinding::Callback;
    ExtensionFile& file = *m_pExtension;
    if (file.remaining > 0) {
        std::uint32_t length = 0;
        if (!file.in.read(reinterpret_cast<char*>(&length), 4) ||
            length > lan::kAdapterBufferSize) {
            m_pExtension.reset();
            m_nError = msg::kIloaderRead;
            m_nDownloadPhase = 0;
            return true;
        }
        m_pchFileBuff.reset(new std::uint8_t[lan::kAdapterBufferSize]);
        if (!file.in.read(reinterpret_cast<char*>(m_pchFileBuff.get()), length)) {
            m_pExtension.reset();
            m_nError = msg::kIloaderRead;
            m_nDownloadPhase = 0;
            return true;
        }
        if (!Accepted(lib.ExtendProgramDownloading(m_pBinding->Socket(), cb, lan::kExtensionProgram,
                                                   file.block, length, m_pchFileBuff.get()))) {
            m_pExtension.reset();
            TraceMessage("KZmnt", "  ***** nPhase = [%d]\n", m_nPhase);
            return Refused(m_nDownloadPhase);
        }
        ArmRequest(Answer::DataBlock);
        --file.remaining;
        ++file.block;
        return false;
    }
    m_pExtension.reset();
    if (!Accepted(lib.ExtendProgramDownloading(m_pBinding->Socket(), cb, lan::kExtensionProgram, 0,
                                               0, nullptr))) {
        TraceMessage("KZmnt", "  ***** nPhase = [%d]\n", m_nPhase);
        return Refused(m_nDownloadPhase);
    }
    ArmRequest(Answer::Command);
    m_bExtensionSent = true;
    m_nDownloadPhase = 32;
    return false;
}

bool CProtocolMtoM::DownloadSLOADER(int nEvent) {
    for (bool first = true;; first = false) {
        const int event = first ? nEvent : EVENT_NONE;
        if (m_nDownloadPhase == 2) {
            m_nDownloadPhase = 0;
            return true;
        }
        bool result = false;
        if (Closing(event, m_nDownloadPhase, 0, false, &result)) {
            return result;
        }
        if (!DownloadStep(event)) {
            return false;
        }
        if (m_nError != 0 && m_nDownloadPhase == 0) {
            return true;
        }
    }
}

// ---- ReadHW_Entry --------------------------------------------------------------------------------

bool CProtocolMtoM::ReadHW_Entry(int nEvent) {
    bool result = false;
    if (Closing(nEvent, m_nReadHWPhase, 1, true, &result)) {
        return result;
    }
    if (m_nReadHWPhase == 1) {
        m_bHardwareKnown = false;
        std::memset(m_pchBuff.get(), 0, lan::kAdapterBufferSize);
        if (!m_pBinding ||
            !Accepted(m_pBinding->Lib().ReadHardData(
                m_pBinding->Socket(), &lan::CMtoMBinding::Callback, m_pchBuff.get()))) {
            return Refused(m_nReadHWPhase);
        }
        ArmRequest(Answer::Command);
        m_nReadHWPhase = 2;
        return false;
    }
    switch (nEvent) {
        case EVENT_RECEIVED:
            break;
        case EVENT_TIMEOUT:
            if (m_nError == 0) {
                return TimedOut(m_nReadHWPhase, 1);
            }
            m_nReadHWPhase = 1;
            return EndRun(nullptr);
        case EVENT_ABORT:
            m_nReadHWPhase = 99;
            Arm(lan::kRefusedTicks);
            CancelRequest();
            return false;
        default:
            return false;
    }
    // "LLLL,HARDWARE,FROM,DRAM,SRAM": LLLL counts the characters after it.
    const char* text = reinterpret_cast<const char*>(m_pchBuff.get());
    const void* nul = std::memchr(text, 0, lan::kAdapterBufferSize);
    std::string answer(
        text, nul != nullptr ? static_cast<const char*>(nul) - text : lan::kAdapterBufferSize);
    std::uint32_t length = 0;
    IniScanHex(answer.substr(0, 4), length);
    answer.resize(std::min(answer.size(), static_cast<std::size_t>(length) + 4));
    CFieldSplitter fields;
    fields.Split(answer);
    m_csHardware = fields.Field(1);
    m_dwFRomSize = 0;
    m_dwDRamSize = 0;
    m_dwSRamSize = 0;
    IniScanHex(fields.Field(2), m_dwFRomSize);
    IniScanHex(fields.Field(3), m_dwDRamSize);
    IniScanHex(fields.Field(4), m_dwSRamSize);
    // An answer without all of its sizes tells nothing the operations could check.
    m_bHardwareKnown = fields.Count() >= 5;
    TraceMessage("KZmnt", "CProtocolMtoM::ReadHW_Entry = [%d  %s]\n", nEvent, answer.c_str());
    if (CSettings().GetDebug()) {
        AddStatusLine(Format("Read FROM  = [%X]", m_dwFRomSize));
        AddStatusLine(Format("Read SRAM  = [%X]", m_dwSRamSize));
    }
    m_nReadHWPhase = 1;
    return true;
}

// ---- Connect -------------------------------------------------------------------------------------

bool CProtocolMtoM::Connect(int nEvent) {
    bool result = false;
    if (Closing(nEvent, m_nConnectPhase, 0, true, &result)) {
        return result;
    }
    const auto cb = &lan::CMtoMBinding::Callback;
    if (m_nConnectPhase == 0) {
        if (AbortRequested()) {
            m_nError = msg::kAborted;  // no session is opened after an abort
            return true;
        }
        if (!NewBinding() || !Accepted(m_pBinding->Lib().OpenMtoMLAN(m_pBinding->Socket(), cb,
                                                                     m_csNodeAddress.c_str()))) {
            return Refused(m_nConnectPhase);
        }
        ArmRequest(Answer::Command);
        m_nConnectPhase = 1;
        return false;
    }
    switch (Await(nEvent, m_nConnectPhase, 0, lan::kRefusedTicks)) {
        case Arrival::Completed:
            break;
        case Arrival::Ended:
            return true;
        default:
            return false;
    }
    if (m_nConnectPhase == 1) {
        if (!Accepted(m_pBinding->Lib().Communication(m_pBinding->Socket(), cb))) {
            return Refused(m_nConnectPhase);
        }
        ArmRequest(Answer::Command);
        m_nConnectPhase = 2;
        return false;
    }
    m_nConnectPhase = 0;
    return true;
}

// ---- ReadData_Entry ------------------------------------------------------------------------------

bool CProtocolMtoM::ReadData_Entry(int nEvent) {
    bool result = false;
    if (Closing(nEvent, m_nReadDataPhase, 1, true, &result)) {
        return result;
    }
    if (m_nReadDataPhase == 1 || m_nReadDataPhase == 2) {
        if (nEvent == EVENT_TIMEOUT) {
            m_nError = msg::kCheckPower;
            m_nReadDataPhase = 1;
            return true;
        }
        TraceMessage("KZmnt", "ReadData_Phase2 = [%X] , [%X]\n", m_dwRequestAddress,
                     m_dwRequestSize);
        // The answer lands in the adapter's buffer: a larger request would overrun it.
        if (!m_pBinding || m_dwRequestSize > lan::kAdapterBufferSize ||
            !Accepted(m_pBinding->Lib().UploadingMaintenanceTool(
                m_pBinding->Socket(), &lan::CMtoMBinding::Callback, m_dwRequestAddress,
                m_dwRequestSize, m_pchBuff.get()))) {
            return Refused(m_nReadDataPhase);
        }
        ArmRequest(Answer::Command);
        m_dwRecvLength = m_dwRequestSize;
        m_nReadDataPhase = 3;
        return false;
    }
    switch (nEvent) {
        case EVENT_RECEIVED:
            m_nReadDataPhase = 1;
            return true;
        case EVENT_TIMEOUT:
            if (m_nError == 0) {
                return TimedOut(m_nReadDataPhase, 1);
            }
            m_nReadDataPhase = 1;
            return EndRun(nullptr);
        case EVENT_ABORT:
            m_nReadDataPhase = 99;
            Arm(lan::kRefusedTicks);
            CancelRequest();
            return false;
        default:
            return false;
    }
}

// ---- WriteData -----------------------------------------------------------------------------------

bool CProtocolMtoM::IssueWrite() {
    if (m_dwWritten >= m_dwWriteSize) {
        m_dwRecvLength = 0;
        m_nWriteDataPhase = 1;
        return true;
    }
    const std::uint32_t piece = std::min(m_dwWriteSize - m_dwWritten, lan::kMaxTransfer);
    // The library only reads the bytes it is given.
    auto* source = const_cast<std::uint8_t*>(m_pchWriteSource + m_dwWritten);
    if (!m_pBinding || m_pchWriteSource == nullptr ||
        !Accepted(m_pBinding->Lib().DownloadingMaintenanceTool(
            m_pBinding->Socket(), &lan::CMtoMBinding::Callback, m_dwWriteAddress + m_dwWritten,
            piece, source))) {
        return Refused(m_nWriteDataPhase);
    }
    ArmRequest(Answer::DataBlock);
    m_dwInFlight = piece;
    return false;
}

bool CProtocolMtoM::WriteData(int nEvent) {
    bool result = false;
    if (Closing(nEvent, m_nWriteDataPhase, 1, true, &result)) {
        return result;
    }
    if (m_nWriteDataPhase == 1) {
        if (nEvent == EVENT_ABORT) {
            TraceMessage("Cancel", "WriteData_Phase1\n");
            m_nWriteDataPhase = 99;
            Arm(lan::kFailedTicks);
            return false;
        }
        if (nEvent == EVENT_TIMEOUT) {
            return EndRun("TIMEOUT(ReadData_Phase1)\n");
        }
        m_nWriteDataPhase = 2;
        m_dwWritten = 0;
        return IssueWrite();
    }
    switch (nEvent) {
        case EVENT_RECEIVED:
            m_dwWritten += m_dwInFlight;
            m_dwInFlight = 0;
            return IssueWrite();
        case EVENT_TIMEOUT:
            if (m_nError == 0) {
                return TimedOut(m_nWriteDataPhase, 1);
            }
            m_nWriteDataPhase = 1;
            return EndRun("TIMEOUT(ReadData_Phase2)\n");
        case EVENT_ABORT:
            m_nWriteDataPhase = 99;
            Arm(lan::kFailedTicks);
            CancelRequest();
            return false;
        default:
            return false;
    }
}

// ---- Support_Entry, Quit_Entry, Reset_Entry --------------------------------------------------------

bool CProtocolMtoM::Support_Entry(int nEvent) {
    bool result = false;
    if (Closing(nEvent, m_nSupportPhase, 1, true, &result)) {
        return result;
    }
    if (m_nSupportPhase == 1 && m_nError == 0) {
        m_vSupportName.assign(m_csSupportName.begin(), m_csSupportName.end());
        m_vSupportName.push_back('\0');
        if (!m_pBinding || !Accepted(m_pBinding->Lib().Support(
                               m_pBinding->Socket(), &lan::CMtoMBinding::Callback,
                               reinterpret_cast<std::uint8_t*>(m_vSupportName.data())))) {
            return Refused(m_nSupportPhase);
        }
        ArmRequest(Answer::Command);
        m_nSupportPhase = 2;
        return false;
    }
    if (m_nSupportPhase == 2 && nEvent == EVENT_ABORT) {
        m_nSupportPhase = 99;
        Arm(lan::kRefusedTicks);
        CancelRequest();
        return false;
    }
    if (m_nSupportPhase == 2 && nEvent == EVENT_TIMEOUT && m_nError == 0) {
        return TimedOut(m_nSupportPhase, 1);  // no answer is no "not supported"
    }
    Disarm();
    m_nSupportPhase = 1;
    if (m_nError != 0) {
        m_nError = msg::kNoCfModel;
    }
    TraceMessage("KZmnt", "CProtocolMtoM::Support_Entry = [%d]\n", m_nError);
    return true;
}

bool CProtocolMtoM::Quit_Entry(int nEvent) {
    TraceMessage("KZmnt", "CProtocolMtoM::Quit_Entry = [%d , %d]\n", nEvent, m_nQuitPhase);
    bool result = false;
    if (Closing(nEvent, m_nQuitPhase, 1, true, &result)) {
        return result;
    }
    if (m_nQuitPhase == 1) {
        if (!m_pBinding ||
            !Accepted(m_pBinding->Lib().Quit(m_pBinding->Socket(), &lan::CMtoMBinding::Callback))) {
            // Nothing more can reach the panel: the closing goes on at once.
            m_nQuitPhase = 98;
            Closing(EVENT_TIMEOUT, m_nQuitPhase, 1, true, &result);
            return result;
        }
        m_nQuitPhase = 2;
        Arm(lan::kCloseWaitTicks);
        return false;
    }
    if (nEvent == EVENT_ABORT) {
        m_nQuitPhase = 99;
        Arm(lan::kRefusedTicks);
        CancelRequest();
        return false;
    }
    Disarm();
    m_nQuitPhase = 1;
    return true;
}

bool CProtocolMtoM::Reset_Entry(int nEvent) {
    TraceMessage("KZmnt", "CProtocolMtoM::Reset_Entry = [%d , %d]\n", nEvent, m_nResetPhase);
    bool result = false;
    if (Closing(nEvent, m_nResetPhase, 1, false, &result)) {
        DeleteBinding();
        return result;
    }
    if (nEvent == EVENT_ABORT) {
        m_nResetPhase = 99;
        Arm(lan::kRefusedTicks);
        return false;
    }
    if (m_nResetPhase == 1) {
        m_nResetPhase = 2;
        if (m_pBinding && Accepted(m_pBinding->Lib().ColdRest(m_pBinding->Socket(),
                                                              &lan::CMtoMBinding::Callback))) {
            // A panel that never confirms the restart must not hold the run forever.
            Arm(lan::kCloseWaitTicks);
            return false;
        }
    }
    Disarm();
    DeleteBinding();
    m_nResetPhase = 1;
    return true;
}

// ---- View helpers ------------------------------------------------------------------------------

void CProtocolMtoM::ClearStatusList() {
    if (m_pView) {
        m_pView->ClearStatusList();
    }
}

void CProtocolMtoM::AddStatusLine(const std::string& text) {
    if (m_pView) {
        m_pView->AddStatusLine(text);
    }
}

void CProtocolMtoM::AddStatusLine(int stringId) {
    AddStatusLine(GetString(stringId));
}

void CProtocolMtoM::ResetProgress() {
    if (m_pView) {
        m_pView->ResetProgress();
    }
}

void CProtocolMtoM::SetProgress(int position) {
    if (m_pView) {
        m_pView->SetProgress(position & 0xFFFF);
    }
}

void CProtocolMtoM::SetModelName() {
    if (m_pView) {
        m_pView->SetModelName(m_csMachineName);
    }
}

void CProtocolMtoM::ShowPowerWarning(bool show) {
    if (m_pView) {
        m_pView->ShowPowerWarning(show);
    }
}

void CProtocolMtoM::PostComplete() {
    if (m_pView) {
        m_pView->PostViewMessage(WM_OPERATION_COMPLETE, 0, nullptr);
    }
}

bool CProtocolMtoM::RequestFromView(unsigned msg) {
    if (!m_pView || m_bShuttingDown) {
        return false;
    }
    m_requestEvent.Reset();
    m_pView->PostViewMessage(msg, 0, &m_requestEvent);
    m_requestEvent.Wait();
    return !m_bShuttingDown;
}

}  // namespace kz

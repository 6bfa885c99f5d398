// The LAN adapter's session, events and the rules its entries share. Each entry is a small
// machine of sub-phases; a sub-phase that submits a request waits, and the library's
// completion comes back as a link event that becomes EVENT_RECEIVED:
//
//   library thread ──OnComplete──► PostLinkEvent(completion) ──► event thread: OnLinkEvent
//        success ─► the request's countdown stops ─► Diapatcher(EVENT_RECEIVED)
//        accepted / nothing ─► the request's countdown starts again
//        failure ─► 4000, pending 2 s ─► the waiting entry ends at EVENT_TIMEOUT
//
//   Submit ──accepted──► wait ──EVENT_RECEIVED──► next sub-phase
//     │refused            │EVENT_ABORT            │EVENT_TIMEOUT
//     ▼                   ▼                       ▼
//    98 (1 s) ─► 4000    99 (1 s, cancel) ─► 4001  not answered in time: 4008;
//                                                   after a failure result: 4000
//
// A session is one binding (the library loaded, one socket); ReadID, Connect and the
// loader's reconnection open one, the Reset entry and CloseLink end it.
#include "lan/ProtocolMtoM.h"

#include <algorithm>

#include "config/Settings.h"
#include "config/StringTable.h"
#include "diag/Trace.h"
#include "platform/Format.h"
#include "platform/Printable.h"

namespace kz {

namespace {
// The link event that carries a completion to the event thread (never seen by a step).
constexpr int kEventCompletion = 100;
}  // namespace

// ---- Binding -------------------------------------------------------------------------------

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

// ---- Construction, events, time-outs -----------------------------------------------------

CProtocolMtoM::CProtocolMtoM()
    : COperation(lan::kMtoMTickMs), m_pchBuff(new std::uint8_t[lan::kAdapterBufferSize]()) {
    SetTimeOutTrace("CProtocolMtoM::ProcessPendingTimeout = [%d]\n");
    SetTimerEndTrace("Timer Thread Complete\n");
    StartTimer();
}

CProtocolMtoM::~CProtocolMtoM() {
    TraceMessage("KZmnt", "CProtocolMtoM::~CProtocolMtoM() Start\n");
    Shutdown();
    TraceMessage("KZmnt", "CProtocolMtoM::~CProtocolMtoM() End\n");
}

void CProtocolMtoM::InterruptLink() {
    std::lock_guard lock(m_sessionMutex);
    if (m_pBinding) {
        m_pBinding->Lib().CancelCallInProgress();
    }
}

void CProtocolMtoM::CloseLink() {
    // On the event thread, or once it has stopped: the session can go (its callbacks end
    // with it).
    SwapBinding(nullptr).reset();
    m_pExtension.reset();
}

int CProtocolMtoM::OnComplete(std::uint64_t generation, int result) {
    PostLinkEvent(kEventCompletion, (generation << 32) | static_cast<std::uint32_t>(result));
    return result == lan::kResultSuccess || result == lan::kResultAccepted ||
                   result == lan::kResultNothing
               ? 1
               : 0;
}

bool CProtocolMtoM::OnLinkEvent(int nEvent, std::uint64_t token) {
    if (m_bRunEnded) {
        return true;  // the run has posted its completion; the operation only waits for deletion
    }
    if (nEvent != kEventCompletion) {
        return false;
    }
    HandleCompletion(token >> 32, static_cast<int>(static_cast<std::uint32_t>(token)));
    return true;
}

void CProtocolMtoM::HandleCompletion(std::uint64_t generation, int result) {
    TraceMessage("KZmnt", "CProtocolMtoM::OnComplete = [%d]\n", result);
    // A completion of a session that has ended belongs to nobody any more.
    if (!m_pBinding || m_pBinding->Generation() != generation) {
        return;
    }
    if (result == lan::kResultSuccess) {
        // The request has been answered: its countdown ends (any other stays).
        Rearm(m_nRequestArm, 0);
        Diapatcher(EVENT_RECEIVED);
    } else if (result == lan::kResultAccepted || result == lan::kResultNothing) {
        // Word from the panel without the result: its request's countdown starts again.
        Rearm(m_nRequestArm, m_nRequestTicks);
    } else {
        if (m_nError == 0) {
            m_nError = msg::kCheckPower;
        }
        Arm(lan::kFailedTicks);
    }
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
    m_nRequestTicks = kind == Answer::DataBlock ? m_nWriteTimeoutTicks : m_nReadTimeoutTicks;
    m_nRequestArm = Arm(m_nRequestTicks);
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

bool CProtocolMtoM::Await(int nEvent, int& sub, int reset, int abortTicks, bool* result) {
    *result = false;
    switch (nEvent) {
        case EVENT_RECEIVED:
            return true;
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
            *result = true;
            return false;
        case EVENT_ABORT:
            if (abortTicks == 0) {
                DeferAbort();
            } else {
                AbortWaiting(sub, abortTicks, true);
            }
            return false;
        default:
            return false;
    }
}

bool CProtocolMtoM::TransferNotAnswered(int nEvent, int& sub, int abortTicks,
                                        const char* endTrace) {
    switch (nEvent) {
        case EVENT_TIMEOUT:
            if (m_nError == 0) {
                return TimedOut(sub, 1);
            }
            sub = 1;
            return EndRun(endTrace);
        case EVENT_ABORT:
            return AbortWaiting(sub, abortTicks, true);
        default:
            return false;
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

bool CProtocolMtoM::AbortWaiting(int& sub, int ticks, bool cancel) {
    sub = 99;
    Arm(ticks);
    if (cancel) {
        CancelRequest();
    }
    return false;
}

void CProtocolMtoM::TraceRefusal() const {
    TraceMessage("KZmnt", "  ***** nPhase = [%d]\n", m_nPhase);
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

}  // namespace kz

#include "ops/engine/Operation.h"

#include <algorithm>
#include <chrono>

#include "config/MessageIds.h"
#include "config/StringTable.h"
#include "diag/Trace.h"
#include "platform/Clock.h"

namespace kz {

COperation::COperation(int tickMs)
    : m_nTickMs(tickMs),
      m_events([this](int nEvent, std::uint64_t token) { HandleEvent(nEvent, token); }) {}

COperation::~COperation() {
    Shutdown();
}

bool COperation::Diapatcher(int /*nEvent*/) {
    return false;
}

void COperation::PostEvent(int nEvent) {
    if (nEvent == EVENT_ABORT) {
        m_bAbortRequested = true;
        // The event thread may be waiting in a link call, with the abort queued behind it.
        InterruptLink();
    }
    m_events.Post(nEvent);
}

void COperation::Shutdown() {
    m_bShuttingDown = true;
    // A step blocked on a view request or in a link call must not keep the event thread
    // alive.
    m_requestEvent.Set();
    InterruptLink();
    m_events.Stop();
    // The tick thread and the link's threads call into this object; they end before the
    // operation that owns them starts to come apart.
    StopTimer();
    CloseLink();
}

bool COperation::OnLinkEvent(int /*nEvent*/, std::uint64_t /*token*/) {
    return false;
}

void COperation::HandleEvent(int nEvent, std::uint64_t token) {
    if (OnLinkEvent(nEvent, token)) {
        return;
    }
    if (nEvent == EVENT_TIMEOUT) {
        std::lock_guard lock(m_timerMutex);
        // A time-out raised for a countdown that has since been re-armed or disarmed
        // belongs to a phase that is no longer waiting for it.
        if (token != m_nArmGeneration || m_nCountdown != 0) {
            return;
        }
    }
    Diapatcher(nEvent);
}

bool COperation::Terminate(int nEvent) {
    TraceMessage("KZmnt", "%s::Terminate = [%d , %d]\n", TraceName(), nEvent, m_nError);
    if (nEvent != EVENT_NONE) {
        return true;
    }
    OnTerminate();
    // No data moves any more: the progress keeps its bytes, without rate or time left.
    if (m_transfer.Started()) {
        m_transfer.End();
        ReportTransfer(true);
    }
    ShowPowerWarning(false);
    CloseLink();
    ReportCompletion();
    return true;
}

void COperation::ReportCompletion() {
    if (m_nError == 0) {
        m_nError = msg::kCompleted;
    }
    AddStatusLine(m_nError);
    PostComplete();
}

// ---- Time-out countdown ------------------------------------------------------------------

void COperation::StartTimer() {
    if (m_timerThread.joinable()) {
        return;
    }
    m_bTimerRun = true;
    m_timerThread = std::thread([this] { TimerLoop(); });
}

void COperation::StopTimer() {
    m_bTimerRun = false;
    if (m_timerThread.joinable()) {
        m_timerThread.join();
    }
}

void COperation::TimerLoop() {
    while (m_bTimerRun) {
        platform::Clock().Sleep(std::chrono::milliseconds(m_nTickMs));
        std::lock_guard lock(m_timerMutex);
        if (m_nCountdown > 0 && --m_nCountdown == 0) {
            if (m_pszTimeOutTrace != nullptr) {
                TraceMessage("KZmnt", m_pszTimeOutTrace, m_nPhase);
            }
            m_events.Post(EVENT_TIMEOUT, m_nArmGeneration);
        }
    }
    if (m_pszTimerEndTrace != nullptr) {
        TraceMessage("KZmnt", "%s", m_pszTimerEndTrace);
    }
}

std::uint64_t COperation::Arm(int ticks) {
    std::lock_guard lock(m_timerMutex);
    m_nCountdown = std::max(ticks, 0);
    return ++m_nArmGeneration;
}

bool COperation::Rearm(std::uint64_t generation, int ticks) {
    std::lock_guard lock(m_timerMutex);
    if (generation != m_nArmGeneration || m_nCountdown == 0) {
        return false;
    }
    m_nCountdown = std::max(ticks, 0);
    return true;
}

int COperation::Countdown() {
    std::lock_guard lock(m_timerMutex);
    return m_nCountdown;
}

void COperation::Sleep(int milliseconds) {
    platform::Clock().Sleep(std::chrono::milliseconds(milliseconds));
}

std::uint32_t COperation::TickCount() const {
    return platform::Clock().TickCount();
}

// ---- View and prompt ------------------------------------------------------------------------

void COperation::ClearStatusList() {
    if (m_pView) {
        m_pView->ClearStatusList();
    }
}

void COperation::AddStatusLine(const std::string& text) {
    if (m_pView) {
        m_pView->AddStatusLine(text);
    }
}

void COperation::AddStatusLine(int stringId) {
    AddStatusLine(GetString(stringId));
}

void COperation::ResetProgress() {
    if (m_pView) {
        m_pView->ResetProgress();
    }
}

void COperation::SetProgress(int position) {
    if (m_pView) {
        m_pView->SetProgress(position & 0xFFFF);
    }
}

void COperation::BeginTransfer(std::uint64_t totalBytes) {
    m_transfer.Begin(totalBytes, TickCount());
    ReportTransfer(true);
}

void COperation::SetTransferArea(const std::string& area) {
    m_transfer.SetArea(area);
    ReportTransfer(true);
}

void COperation::TransferMoved(std::uint64_t bytes) {
    m_transfer.Moved(bytes, TickCount());
    ReportTransfer(false);
}

void COperation::ReportTransfer(bool force) {
    if (!m_pView || !m_transfer.Started()) {
        return;
    }
    const std::uint32_t now = TickCount();
    if (!force && now - m_dwTransferReported < kTransferReportMs) {
        return;
    }
    m_dwTransferReported = now;
    m_pView->SetTransferProgress(m_transfer.Snapshot(now));
}

void COperation::SetModelName() {
    if (m_pView) {
        m_pView->SetModelName(m_csMachineName);
    }
}

void COperation::ShowPowerWarning(bool show) {
    if (m_pView) {
        m_pView->ShowPowerWarning(show);
    }
}

void COperation::PostToView(unsigned msg, std::uintptr_t wParam) {
    if (m_pView) {
        m_pView->PostViewMessage(msg, wParam, nullptr);
    }
}

void COperation::PostComplete() {
    PostToView(WM_OPERATION_COMPLETE, 0);
}

bool COperation::RequestFromView(unsigned msg) {
    if (!m_pView || m_bShuttingDown) {
        return false;
    }
    m_requestEvent.Reset();
    m_pView->PostViewMessage(msg, 0, &m_requestEvent);
    m_requestEvent.Wait();
    return !m_bShuttingDown;
}

}  // namespace kz

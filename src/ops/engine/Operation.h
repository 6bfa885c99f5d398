// COperation: what every operation has, whichever link it runs over — the step dispatcher's
// state (m_nPhase, m_nError), the event thread that hands events to Diapatcher() one at a
// time, the time-out countdown with its tick thread, the view and prompt of the front-end
// and the closing step that reports how the run ended.
//
// The serial engine (CProtocol) and the LAN adapter (CProtocolMtoM) derive from it and add
// their link: the serial one its port and the comm-event thread, the LAN one its library
// sessions and the library's completion thread. Every source of events only queues them
// (PostEvent, or PostLinkEvent for a link's own); the one event thread calls Diapatcher().
//
//   front-end ──PostEvent──►┐
//   tick thread ──time-out──►├─► event thread ──► [link event?] ──► [stale time-out?] ──► Diapatcher
//   link thread(s) ─────────►┘
//
// Thread-safety: the front-end side (SetView, SetPrompt, PostEvent, Shutdown, WaitIdle) may
// be called from any thread but the event thread; everything else belongs to the event
// thread. A concrete operation calls Shutdown() first in its destructor, so that no event
// reaches a part of it that is already gone.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "ops/engine/EventLoop.h"
#include "ops/engine/OperationView.h"
#include "ops/engine/StepEngine.h"
#include "ops/engine/TransferProgress.h"

namespace kz {

class COperation {
  public:
    // tickMs: the length of one time-out tick (10 ms on the serial link, 100 ms on the LAN).
    explicit COperation(int tickMs);
    virtual ~COperation();
    COperation(const COperation&) = delete;
    COperation& operator=(const COperation&) = delete;

    // The operation's step dispatcher; the default does nothing. The spelling is the
    // system's established name for it and is kept on purpose.
    virtual bool Diapatcher(int nEvent);

    // ---- Front-end side (any thread but the event thread) ------------------------------
    // View and prompt of the operation; null means no user interface. Set before start.
    void SetView(IOperationView* view) { m_pView = view; }
    IOperationView* GetView() const { return m_pView; }
    void SetPrompt(IOperationPrompt* prompt) { m_pPrompt = prompt; }
    // Queues an event for the dispatcher: EVENT_NONE starts the operation, EVENT_ABORT
    // aborts it (and lets the link cut short a call the event thread waits in:
    // InterruptLink). Never blocks.
    void PostEvent(int nEvent);
    // Stops the event thread after its current dispatcher call (a link call it waits in is
    // cut short first), releases a step that waits for the view, stops the tick thread and
    // lets the link end (CloseLink). Idempotent.
    void Shutdown();
    // Blocks until every queued event has been handled (for tests).
    void WaitIdle() { m_events.WaitIdle(); }

    // ---- State readable by the front-end after a request ------------------------------
    int m_nPhase = 0;
    int m_nError = 0;
    std::string m_csPassword;     // written by the password request handler
    std::string m_csMachineName;  // model name

    // The closing step of every operation (the entry its step table ends with before the
    // end marker). On EVENT_NONE: the operation's own end (OnTerminate), the power warning
    // off, the link closed (CloseLink), the final status line (3299 "Processing was
    // completed." or the message of m_nError) and WM_OPERATION_COMPLETE. Always finished.
    bool Terminate(int nEvent);

  protected:
    // ---- Hooks of the link and the operation ------------------------------------------
    // An event the link posted itself (PostLinkEvent with an event id of its own), or any
    // event while the link wants none delivered: true when the link took it, so that it
    // does not reach Diapatcher().
    virtual bool OnLinkEvent(int nEvent, std::uint64_t token);
    // Ends the link at the end of a run and at Shutdown (the serial port closes; the LAN
    // sessions end). Event thread, or the front-end's thread once the event thread ended.
    virtual void CloseLink() {}
    // Cuts short a link call the event thread may be waiting in, when an abort is posted
    // and at Shutdown (the LAN library's calls can wait for the panel). Front-end's thread.
    virtual void InterruptLink() {}
    // The operation's own part of Terminate, before the final line (complete an image,
    // discard a half-received file, set the final message id in m_nError).
    virtual void OnTerminate() {}
    // The trace line that names the operation in its closing step.
    virtual const char* TraceName() const { return "COperation"; }

    // ---- Events ------------------------------------------------------------------------
    // Queues an event of the link's own (any thread). coalesce: as EventLoop::Post.
    void PostLinkEvent(int nEvent, std::uint64_t token = 0, bool coalesce = false) {
        m_events.Post(nEvent, token, coalesce);
    }
    bool ShuttingDown() const { return m_bShuttingDown; }
    // True once the front-end has posted EVENT_ABORT (any thread).
    bool AbortRequested() const { return m_bAbortRequested; }

    // ---- Time-out countdown ------------------------------------------------------------
    // Counts ticks down and raises EVENT_TIMEOUT when the count reaches 0; 0 = none armed.
    // Arming or disarming makes every time-out raised for an earlier countdown stale: it
    // never reaches Diapatcher(). Returns the generation of the new countdown.
    std::uint64_t Arm(int ticks);
    void Disarm() { Arm(0); }
    int Countdown();
    // Sets the countdown of generation (from Arm) to ticks (0 stops it) while that
    // countdown still runs: not re-armed since and not run out, so no time-out of it has
    // been raised. False, and nothing changed, otherwise.
    bool Rearm(std::uint64_t generation, int ticks);
    // The tick thread runs between StartTimer() and StopTimer() (both idempotent).
    void StartTimer();
    void StopTimer();
    // A trace line written when a time-out is raised (printf format with the step index),
    // or null for none.
    void SetTimeOutTrace(const char* format) { m_pszTimeOutTrace = format; }
    // A trace line written when the tick thread ends, or null for none.
    void SetTimerEndTrace(const char* line) { m_pszTimerEndTrace = line; }
    int TickMs() const { return m_nTickMs; }
    void Sleep(int milliseconds);
    std::uint32_t TickCount() const;

    // ---- View and prompt (no-ops without a view) ---------------------------------------
    void ClearStatusList();
    void AddStatusLine(const std::string& text);
    void AddStatusLine(int stringId);
    void ResetProgress();
    // Position 0 to 100 (the low 16 bits are passed on).
    void SetProgress(int position);
    // Shows m_csMachineName.
    void SetModelName();
    void ShowPowerWarning(bool show);
    void PostToView(unsigned msg, std::uintptr_t wParam = 0);
    void PostComplete();
    // Posts msg with the request event and blocks until the view has answered. Event
    // thread only. False without a view or when the operation is shutting down.
    bool RequestFromView(unsigned msg);
    IOperationPrompt* Prompt() const { return m_pPrompt; }

    // ---- The transfer's progress in bytes (TransferProgress.h) --------------------------
    // The data phase starts with total bytes to move (0: not known yet).
    void BeginTransfer(std::uint64_t totalBytes);
    // The area or file in work, as shown.
    void SetTransferArea(const std::string& area);
    // bytes have moved. The view hears of it at most every kTransferReportMs.
    void TransferMoved(std::uint64_t bytes);
    static constexpr std::uint32_t kTransferReportMs = 250;
    // The final status line (3299 when m_nError is 0, which it then becomes) and
    // WM_OPERATION_COMPLETE.
    void ReportCompletion();

  private:
    void HandleEvent(int nEvent, std::uint64_t token);
    // Hands the progress to the view when force or kTransferReportMs have passed.
    void ReportTransfer(bool force);
    void TimerLoop();

    IOperationView* m_pView = nullptr;
    IOperationPrompt* m_pPrompt = nullptr;
    const int m_nTickMs;
    const char* m_pszTimeOutTrace = nullptr;
    const char* m_pszTimerEndTrace = nullptr;

    std::mutex m_timerMutex;
    int m_nCountdown = 0;
    std::uint64_t m_nArmGeneration = 0;
    std::atomic<bool> m_bTimerRun{false};
    std::thread m_timerThread;

    CTransferProgress m_transfer;
    std::uint32_t m_dwTransferReported = 0;

    RequestEvent m_requestEvent;
    std::atomic<bool> m_bShuttingDown{false};
    std::atomic<bool> m_bAbortRequested{false};
    EventLoop m_events;  // last: its thread starts once everything above exists
};

}  // namespace kz

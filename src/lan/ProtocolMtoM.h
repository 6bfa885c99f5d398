// CProtocolMtoM: the LAN adapter and the base of every LAN operation. It owns the sessions
// with the panel (each one the transfer library loaded, plus one socket record), turns the
// library's completions, the 100 ms time-out tick and the user's abort into operation
// events, and supplies the command entries that the LAN operations place in their step
// tables: NodeSearch, Password, ReadID, DownloadSLOADER, ReadHW_Entry, Connect,
// ReadData_Entry, WriteData, Support_Entry, Quit_Entry and Reset_Entry.
//
// Every entry takes the event and returns true when the operation may advance (or must be
// redirected because m_nError is set) and false while it waits. A request the library
// refuses ends its entry with 4000 one second later; an abort ends it with 4001 one second
// later (the loader work finishes its current request first); a completion with a failure
// result sets 4000, and two seconds later the waiting entry ends (a transfer entry ends the
// whole run: it posts WM_OPERATION_COMPLETE itself and no further step runs).
//
// Time-outs of accepted requests: while a request is outstanding its countdown runs, as
// the serial link's does for a reply, from the settings of "KZMNT.INI" in seconds (0: no
// time-out), read once per operation when its first request goes out:
//   WriteTimeout  requests that carry a data block to the panel (memory write, system
//                 loader, extension blocks, CF file send) and the CF card read, which
//                 carries whole files that the PC writes;
//   ReadTimeout   every other request (open, communication, loader start, hardware data,
//                 memory read, support check, the extension's closing request).
// A request that does not complete in time is cancelled and its entry ends with 4008
// ("Time Out..."); the operation's closing steps follow as after any other error (a transfer
// entry does not end the run itself here). Not counted this way: the quit and cold restart
// of the closing steps (bounded by kCloseWaitTicks), the loader's cold restart (not waited
// for), the calls that complete before they return (the library bounds those) and the
// loader work after an abort (bounded by kAbortGraceTicks). A successful completion stops
// its request's countdown; a completion that reports nothing (1, 3) starts it again.
//
// Aborts: PostEvent(EVENT_ABORT) also cuts short a library call the event thread is waiting
// in at that moment (LanLibrary::CancelCallInProgress), so an abort during a call that
// completes before it returns (the open, the password exchange, the identity) or during
// the library's wait for an acceptance ends promptly. A request refused after the abort,
// and an entry that would open a session after it, end with 4001, as does the password
// entry whatever its calls gave.
//
// Runtime: the event thread, the 100 ms time-out tick, the view and prompt helpers come from
// COperation (ops/engine/Operation.h). The front-end (start, abort), the tick thread and the
// library's completion thread only queue events (PostEvent, OnComplete); a completion is a
// link event of the adapter's own, taken before any step sees it, so a completion that
// arrives before the accepting call has returned is handled after the entry that made the
// call has returned. Every entry and member below (unless marked otherwise) is used on that
// event thread only. The one library call from another thread is the abort's cancel
// (InterruptLink); the session it reaches is replaced only under m_sessionMutex.
//
// The entries live in ProtocolMtoMConnect.cpp (from the node search to the loader, and the
// CF operations' Connect) and ProtocolMtoMTransfer.cpp (from the hardware read to the
// reset); ProtocolMtoM.cpp holds the session, the events and the rules the entries share.
#pragma once

#include <atomic>
#include <cstdint>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "config/MessageIds.h"
#include "lan/LanLibrary.h"
#include "lan/MtoMTypes.h"
#include "ops/engine/NodeChooser.h"
#include "ops/engine/Operation.h"

namespace kz {

class CProtocolMtoM;

namespace lan {

// The time-out tick of the LAN side and the waits counted in it.
inline constexpr int kMtoMTickMs = 100;
inline constexpr int kRefusedTicks = 10;      // a refused request, an abort
inline constexpr int kFailedTicks = 20;       // a completion with a failure result
inline constexpr int kAbortGraceTicks = 100;  // loader work after an abort, at most
inline constexpr int kCloseWaitTicks = 100;   // cold restart or quit of the closing steps
// The port field of the node search that starts an operation.
inline constexpr int kStartSearchPort = 8001;
// The extension program an old panel needs, in the program folder, and its layout.
inline constexpr const char* kExtensionFile = "RN_4000.EX3";
inline constexpr std::size_t kExtensionHeader = 256;
// Version texts that sort before this one need the extension program.
inline constexpr const char* kOldLoaderBelow = "V4.51";
// What the Support entry asks for by default (the CF operations).
inline constexpr const char* kCfCardSupport = "CF-CARD      ";

// One session: the library loaded for it and one socket record whose user pointer leads
// the library's callback here. The destructor ends the session (cancel, close, free) and
// unloads the library; after it no callback of this session can arrive.
class CMtoMBinding {
  public:
    CMtoMBinding(CProtocolMtoM* owner, std::uint64_t generation);
    ~CMtoMBinding();
    CMtoMBinding(const CMtoMBinding&) = delete;
    CMtoMBinding& operator=(const CMtoMBinding&) = delete;

    // Loads the library and creates the socket. False when either failed; *loadError gets
    // the loader's reason when the library itself did not load.
    bool Create(std::string* loadError = nullptr);
    const LanLibrary& Lib() const { return m_library; }
    MtoMSocket* Socket() const { return m_pMSock; }
    std::uint64_t Generation() const { return m_nGeneration; }

    // The callback handed to the library: it only hands the result on.
    static int KZ_MTOM_CALL Callback(MtoMSocket* socket, int result);

  private:
    LanLibrary m_library;
    MtoMSocket* m_pMSock = nullptr;
    CProtocolMtoM* m_pOwner;
    std::uint64_t m_nGeneration;
};

}  // namespace lan

class CProtocolMtoM : public COperation {
  public:
    CProtocolMtoM();
    ~CProtocolMtoM() override;

    // ---- Front-end side (any thread; see COperation for the view, prompt and events) ---
    // The node chooser; null means the first node found is taken. Set before start.
    void SetNodeChooser(INodeChooser* chooser) { m_pChooser = chooser; }
    // The panel to use: NodeSearch then takes it without searching. Set before start.
    void SetNodeAddress(const std::string& address) { m_csNodeAddress = address; }
    const std::string& NodeAddress() const { return m_csNodeAddress; }
    // True while the node search runs (a front-end disables Abort meanwhile).
    bool Searching() const { return m_bSearching; }

    // The library's completion of a request of the session with that generation (library
    // thread): queued for the event thread. Answers 0 for a failure result, else 1.
    int OnComplete(std::uint64_t generation, int result);

    // ---- State readable by the front-end after a request -----------------------------
    std::string m_csCoreID;             // ReadID: "%4X" of the core ID's low 16 bits
    std::string m_csAutoName;           // ReadID: "%4X" of the core ID AND 0xF37F
    std::vector<std::string> m_vNodes;  // dotted addresses the node search found

    // ---- Command entries ---------------------------------------------------------------
    bool NodeSearch(int nEvent);
    bool Password(int nEvent);
    bool ReadID(int nEvent);
    bool DownloadSLOADER(int nEvent);
    bool ReadHW_Entry(int nEvent);
    bool Connect(int nEvent);
    bool ReadData_Entry(int nEvent);
    bool WriteData(int nEvent);
    bool Support_Entry(int nEvent);
    bool Quit_Entry(int nEvent);
    bool Reset_Entry(int nEvent);

  protected:
    // ---- COperation hooks ---------------------------------------------------------------
    // Takes the library's completions, and every event once a failed transfer has ended
    // the run.
    bool OnLinkEvent(int nEvent, std::uint64_t token) override;
    // Ends the open session (at the end of a run and at Shutdown).
    void CloseLink() override;
    // Cuts short the library call the event thread waits in (abort, Shutdown).
    void InterruptLink() override;

    static bool Accepted(int result) { return result == lan::kResultAccepted; }
    // What an accepted request waits for, and so which time-out bounds it (see above).
    enum class Answer { Command, DataBlock };
    // Arms the countdown of a request just accepted (not while the loader work finishes
    // after an abort: that bound stays).
    void ArmRequest(Answer kind);
    // Submits one request on the open session: (library.*call)(socket, callback, args...).
    // Accepted: the request's time-out runs (ArmRequest), sub = next, true. Refused, no
    // session, or a function the library lacks: sub-phase 98 (99 after an abort) with the
    // 1 s pending time-out, false. The entry then waits for the next event either way.
    template <class... Params, class... Args>
    bool Submit(int& sub, int next, Answer answer,
                int (lan::LanLibrary::*call)(lan::MtoMSocket*, lan::MtoMCallback, Params...) const,
                Args... args) {
        if (m_pBinding && Accepted((m_pBinding->Lib().*call)(
                              m_pBinding->Socket(), &lan::CMtoMBinding::Callback, args...))) {
            ArmRequest(answer);
            sub = next;
            return true;
        }
        Refused(sub);
        return false;
    }

    // The open session's library and socket (the binding may be null).
    lan::CMtoMBinding* Binding() const { return m_pBinding.get(); }
    // Ends the current session and opens a new one. False (binding kept, for the
    // destructor) when the library or the socket could not be had.
    bool NewBinding();
    void DeleteBinding();
    // A status line naming why the LAN library did not load.
    void ReportLibraryNotLoaded(const std::string& reason);
    // A status line naming the library's file and the first function it lacks, once per
    // operation (the run goes on: a call of a missing function fails like a refusal).
    void ReportIncompleteLibrary(const lan::LanLibrary& lib);
    void CancelRequest();

    // ---- Adapter state ---------------------------------------------------------------
    INodeChooser* m_pChooser = nullptr;
    bool m_bLargePacket = true;
    std::uint32_t m_dwRecvLength = 0;           // bytes delivered by the last read
    std::unique_ptr<std::uint8_t[]> m_pchBuff;  // kAdapterBufferSize bytes
    std::uint32_t m_dwFileLength = 0;
    std::unique_ptr<std::uint8_t[]> m_pchFileBuff;  // loader or extension block in flight
    bool m_bAborting = false;
    std::string m_csNodeAddress;
    std::atomic<bool> m_bSearching{false};
    bool m_bOldLoader = false;
    bool m_bExtensionSent = false;
    std::string m_csLoaderName;  // the model's SLOADER value
    std::uint32_t m_dwLoaderAddress = 0;
    std::uint32_t m_dwRequestAddress = 0;
    std::uint32_t m_dwRequestSize = 0;
    std::uint32_t m_dwWriteAddress = 0;
    std::uint32_t m_dwWriteSize = 0;
    const std::uint8_t* m_pchWriteSource = nullptr;  // the operation's; stays valid
    std::string m_csSupportName = lan::kCfCardSupport;
    bool m_bHardwareKnown = false;
    std::string m_csHardware;
    std::uint32_t m_dwFRomSize = 0;
    std::uint32_t m_dwDRamSize = 0;
    std::uint32_t m_dwSRamSize = 0;
    std::string m_csFileName;
    std::string m_csComment;

  private:
    void HandleCompletion(std::uint64_t generation, int result);

    // How a sub-step that waits for its request's completion takes nEvent: true when the
    // completion has come (go on). Otherwise *result is what the entry returns: false while
    // it keeps waiting, true when it is over (sub reset to reset). abortTicks 0: an abort is
    // deferred (loader work); otherwise it gives sub-phase 99 with that pending time-out and
    // cancels the request.
    bool Await(int nEvent, int& sub, int reset, int abortTicks, bool* result);
    // Any event but the completion while a transfer request (hardware, memory read or
    // write) is outstanding: a time-out ends the entry (not answered in time: 4008, sub
    // reset to 1) or, after a failure result, the whole run (EndRun with endTrace); an abort
    // gives sub-phase 99 with abortTicks and cancels the request. What the entry returns.
    bool TransferNotAnswered(int nEvent, int& sub, int abortTicks, const char* endTrace);
    // A refused request: sub-phase 98, ended by the time-out one second later.
    bool Refused(int& sub);
    // Sub-phases 98 and 99 of an entry: true (with *result) when sub was one of them.
    bool Closing(int nEvent, int& sub, int reset, bool cancelAt98, bool* result);
    // An abort while a transfer request is outstanding: sub-phase 99 with that pending
    // time-out; the request is cancelled now when cancel is set. The entry waits.
    bool AbortWaiting(int& sub, int ticks, bool cancel);
    // A failed transfer ends the run (see the header comment).
    bool EndRun(const char* trace);
    // An accepted request that was not answered in time: cancelled, 4008, *sub = reset;
    // the entry ends (true) and the closing steps follow.
    bool TimedOut(int& sub, int reset);
    // Swaps the open session for next under m_sessionMutex; returns the old one, which the
    // caller destroys outside the lock.
    std::unique_ptr<lan::CMtoMBinding> SwapBinding(std::unique_ptr<lan::CMtoMBinding> next);
    void DeferAbort();
    // The trace of a refused request of the loader work.
    void TraceRefusal() const;
    // Submit for DownloadSLOADER's sub-phases: a refusal is also traced, and the loader or
    // extension data in flight is dropped.
    template <class... Params, class... Args>
    bool SubmitLoaderWork(int next, Answer answer,
                          int (lan::LanLibrary::*call)(lan::MtoMSocket*, lan::MtoMCallback,
                                                       Params...) const,
                          Args... args);

    bool DownloadStep(int nEvent);
    // The loader or the extension program cannot be read: 4003, the loader work ends.
    bool LoaderUnreadable();
    bool ReadLoaderFile();
    bool OpenExtension();
    bool SendExtensionBlock();
    bool IssueWrite();

    // Entry sub-phases.
    int m_nSearchPhase = 1;
    int m_nReadIDPhase = 0;
    int m_nDownloadPhase = 0;
    int m_nReadHWPhase = 1;
    int m_nConnectPhase = 0;
    int m_nReadDataPhase = 1;
    int m_nWriteDataPhase = 1;
    int m_nSupportPhase = 1;
    int m_nQuitPhase = 1;
    int m_nResetPhase = 1;

    std::uint32_t m_dwWritten = 0;   // WriteData: bytes accepted so far
    std::uint32_t m_dwInFlight = 0;  // WriteData: bytes of the outstanding request
    // The extension program while its blocks go out.
    struct ExtensionFile {
        std::ifstream in;
        std::uint16_t remaining = 0;  // blocks not yet sent
        std::uint16_t block = 0;      // number of the next block
    };
    std::unique_ptr<ExtensionFile> m_pExtension;
    std::vector<char> m_vSupportName;  // the Support request's copy, NUL-terminated
    bool m_bRunEnded = false;          // a failed transfer posted completion: nothing runs any more
    bool m_bIncompleteReported = false;

    // Request time-outs in ticks, from the settings (-1: not read yet).
    int m_nReadTimeoutTicks = -1;
    int m_nWriteTimeoutTicks = -1;
    std::uint64_t m_nRequestArm = 0;  // the countdown generation of the request in flight
    int m_nRequestTicks = 0;          // and the ticks it was armed with

    // Replaced only under m_sessionMutex (on the event thread, or by Shutdown once that
    // has stopped); the abort's thread reads it under the lock, the event thread without.
    std::unique_ptr<lan::CMtoMBinding> m_pBinding;
    std::mutex m_sessionMutex;
    std::uint64_t m_nBindingGeneration = 0;
};

}  // namespace kz

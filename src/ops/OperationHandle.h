// COperationHandle: the one running operation of a front-end, whatever the command and the
// link. The window and the command-line tool create it, start it, answer its requests,
// abort it and delete it through this class only; neither knows the operation classes.
//
//   Create(kind, link, plan) ─► Start(view, prompt, chooser, node) ─► requests / Abort ─┐
//     the class of the command on the link                                              │
//     (CBackup … CCfSend, CBackupMtoM … CCfSendMtoM)                                    │
//     with the plan's path and comment                                                  ▼
//                       WM_OPERATION_COMPLETE ─► Error(), ImagePath(), PortOpenError() ─► delete
//
// The handle owns the operation as the COperation every operation is; which further parts
// it has depends on its link and its kind, and the handle notes them from the class it made,
// so a front-end asks the handle instead of casting:
//   every operation      the password answer, the final error, shutdown
//   serial link          the first second without abort, the power-reset cancel and limit,
//                        the port-open error
//   LAN                  the node chooser and a named node; no abort while it searches
//   memory operations    the image path, the partial image, and (serial) the model
//                        information request
// What a link or a kind lacks answers with nothing (an empty text, false, no effect).
//
// Thread-safety: the front-end's UI thread only (the operation's own threads never call
// it). The requests are answered while the operation's event thread waits for them; the
// results (Error, ImagePath, PartialPath, PortOpenError) are read after
// WM_OPERATION_COMPLETE.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <typeinfo>

#include "ops/engine/NodeChooser.h"
#include "ops/engine/Operation.h"
#include "ops/engine/OperationView.h"
#include "ops/engine/StepEngine.h"
#include "ops/memory/MemoryOperation.h"
#include "ops/memory/StartFlow.h"

namespace kz {

class CMemoryPlan;
class CProtocol;
class CProtocolMtoM;

enum class Link { Serial, Lan };

// The link COMMTYPE of "KZMNT.INI" selects: 1 the LAN, any other value the serial link.
// Read afresh at every call.
Link SelectedLink();

// Backup, restore and verify (as opposed to the CF transfers).
bool IsMemoryKind(OperationKind kind);

// Whether an abort may be given now.
enum class AbortRule {
    Allowed,
    FirstSecond,  // serial: the link is still being opened in the run's first second
    Searching,    // LAN: the network search runs inside the library and cannot be cut short
};

// The part of a serial run's start in which an abort is not taken.
inline constexpr std::chrono::milliseconds kAbortGuard{1000};

class COperationHandle {
  public:
    // The operation of kind (Backup … CfSend) on link, given the plan's path (the image file
    // or the CF folder) and, for a memory operation, its comment. Null for any other kind.
    static std::unique_ptr<COperationHandle> Create(OperationKind kind, Link link,
                                                    const StartPlan& plan);
    // Takes an operation built elsewhere (a scripted one in tests): it has the parts of its
    // link, but none of a kind.
    explicit COperationHandle(std::unique_ptr<CProtocol> op);
    explicit COperationHandle(std::unique_ptr<CProtocolMtoM> op);
    // Shuts the operation down and deletes it.
    ~COperationHandle();
    COperationHandle(const COperationHandle&) = delete;
    COperationHandle& operator=(const COperationHandle&) = delete;

    Link GetLink() const { return m_pLan != nullptr ? Link::Lan : Link::Serial; }
    // The operation's class (for tests and traces).
    const std::type_info& OperationType() const;
    // "Protocol" or "ProtocolMtoM": the base the operation runs on, for trace lines.
    const char* LinkName() const;

    // Gives the operation its front-end and starts it (EVENT_NONE); the abort's first second
    // counts from here. chooser and nodeAddress are the LAN's: the panel to use is
    // nodeAddress when it is not empty, else the chooser picks one of the panels the search
    // found. Call once.
    void Start(IOperationView* view, IOperationPrompt* prompt, INodeChooser* chooser = nullptr,
               const std::string& nodeAddress = {});

    // ---- Abort --------------------------------------------------------------------------
    AbortRule MayAbort() const;
    // What is left of the serial first second (zero once it has passed, and on the LAN).
    std::chrono::milliseconds FirstSecondLeft() const;
    // True while a LAN operation searches the network.
    bool Searching() const;
    // Queues EVENT_ABORT, whatever MayAbort says (the front-end applies the rule).
    void Abort();

    // ---- Requests (WM_PASSWORD_REQUEST, WM_MODEL_INFO_REQUEST, WM_POWER_RESET_DIALOG) ---
    // The password the user typed; empty for a refusal.
    void AnswerPassword(const std::string& password);
    // What the model-information dialog shows; nothing when the operation asks none.
    std::optional<ModelInfoExchange> ModelInfoRequest() const;
    // The dialog's model, file-name stem and rate go back in every case; ok false (the user
    // cancelled) also empties the file name, which ends the run as aborted.
    void AnswerModelInfo(bool ok, const std::string& modelName, const std::string& bkFile,
                         std::uint32_t baud);
    // The power-reset wait dialog's Cancel. False when the link has no such wait (LAN).
    bool CancelPowerReset();
    // Bounds the serial wait for a power reset (for a front-end nobody can cancel from).
    // Before Start.
    void SetPowerResetLimit(std::chrono::seconds limit);
    // Opens device for this run instead of the one the COM setting maps to (section PORTS),
    // without changing the settings. No effect on the LAN. Before Start.
    void SetSerialDevice(const std::string& device);
    // A verify goes on after a difference and lists every differing range at its end. No
    // effect on other operations. Before Start.
    void SetEveryDifference(bool every);
    // A backup writes exactly the plan's path, even when AUTOFILENAME is on. Before Start.
    void SetExactImagePath();
    // A backup goes on from the partial image an earlier run left (see
    // CMemoryPlan::SetResume). Before Start.
    void SetResume();

    // ---- Results (after WM_OPERATION_COMPLETE) -------------------------------------------
    // The final m_nError (msg::kCompleted when the run completed).
    int Error() const;
    // Why the serial port did not open (empty when it did, and on the LAN).
    std::string PortOpenError() const;
    // A memory operation's image file as the run ended (empty for a CF transfer).
    std::string ImagePath() const;
    // The partial image a backup created beside the target (empty when none was created);
    // a completed backup has renamed it to ImagePath().
    std::string PartialPath() const;
    // The panel a LAN run worked with: the node named at the start or the one chosen among
    // those the search found (empty on the serial link, and when none was chosen).
    std::string NodeAddress() const;

    // Stops the operation's threads and ends its link (the destructor does it too). A run
    // that the factory made and that was started is then recorded in the service record
    // (History.h): once, whichever of the two comes first.
    void Shutdown();
    // Blocks until every queued event has been handled (for tests).
    void WaitIdle();

  private:
    COperationHandle(std::unique_ptr<COperation> op, CProtocol* serial, CProtocolMtoM* lan);
    // The operation of class Op on the plan.
    template <class Op>
    static std::unique_ptr<COperationHandle> Make(const StartPlan& plan);
    static std::unique_ptr<COperationHandle> MakeFor(OperationKind kind, Link link,
                                                     const StartPlan& plan);

    // The parts of the operation's link and kind; null where it has none. They point into
    // the operation m_pOp owns.
    CProtocol* m_pSerial = nullptr;
    CProtocolMtoM* m_pLan = nullptr;
    CMemoryPlan* m_pMemory = nullptr;          // backup, restore and verify on either link
    CMemoryOperation* m_pModelInfo = nullptr;  // the serial memory operations ask for it
    std::unique_ptr<COperation> m_pOp;
    std::uint32_t m_dwStartTick = 0;

    // The service record of the run.
    void RecordRun();
    OperationKind m_kind = OperationKind::Backup;
    std::string m_csPlanPath;  // the plan's path (the CF folder)
    bool m_bRecord = false;    // made by the factory (a scripted operation is not recorded)
    bool m_bStarted = false;
    bool m_bRecorded = false;
    std::chrono::system_clock::time_point m_startTime;
};

// ---- The safety backup before a restore ------------------------------------------------
//
// A restore may first back the panel up into a folder, so that what the panel held can be
// put back. Both front-ends run it the same way:
//
//   CSafetyBackup safety(folder) ─► Prepare() ── false ─► status FailureLine(); the run ends
//        │ true: status StartLine()
//        ▼
//   CreateBackup(link) runs like any backup ── not completed ─► kSafetyBackupFailed; the
//        │ completed                                             restore does not start
//        ▼
//   Finish(image path): the file's final name; status DoneLine() ─► the restore starts (on
//        the LAN on the panel that was backed up: the backup's NodeAddress())
//
// The backup is written as "safety-<time>.mem" and renamed after the panel and the time once
// complete (SafetyBackup.h), so a file with the panel's name is always a whole backup.
//
// Thread-safety: the front-end's UI thread, like the handle.
class CSafetyBackup {
  public:
    // The folder of a restore's safety backup: option when given, else the SAFETYBACKUP
    // setting (relative to the program folder unless absolute); empty for none.
    static std::string FolderFor(const std::optional<std::string>& option);

    // stamp: the time the name carries; empty takes the local time at Prepare.
    explicit CSafetyBackup(std::string folder, std::string stamp = {});

    const std::string& Folder() const { return m_csFolder; }
    // Makes the folder when it is missing. False when there is no folder to write into;
    // FailureLine then says why.
    bool Prepare();
    std::string FailureLine() const;
    // The file the backup writes before it is named, and the comment of its image.
    const std::string& WorkingPath() const { return m_plan.path; }
    const std::string& Comment() const { return m_plan.comment; }
    // "Safety backup of the panel into <working path> before the restore."
    std::string StartLine() const;
    // The backup (on link) into WorkingPath(), exactly that file whatever AUTOFILENAME says.
    // After Prepare.
    std::unique_ptr<COperationHandle> CreateBackup(Link link) const;
    // After the backup completed: gives imagePath (the backup's ImagePath(); empty for the
    // working path) its final name and returns it.
    std::string Finish(const std::string& imagePath);
    // The final file (empty before Finish).
    const std::string& FinalPath() const { return m_csFinal; }
    // "The safety backup is <final path>."
    std::string DoneLine() const;

  private:
    std::string m_csFolder;
    std::string m_csStamp;
    std::string m_csReason;  // why the folder is not there
    StartPlan m_plan;
    std::string m_csFinal;
};

}  // namespace kz

// The main window's form and the controller of the one operation that may run at a time.
//
//   Idle ──BackUp/Verify/Restore/CF──► file selection ─► start checks ─► Running
//     ▲                                                                    │
//     └──────────── WM_OPERATION_COMPLETE: log, delete the operation ◄─────┘
//
// The form shows the file (1043), comment (1004), model (1006), the status list (1002 under
// its label 1029), the progress bar (1005 under 1030) and the red power warning (1023),
// which is shown only while data moves (and not while the power-reset dialog asks for a
// reset). Under the bar, the transfer's progress (bytes, rate, time left, area) shows while
// a run goes on, and its result line (the final message with a success or failure icon and
// colour) once it has ended, until the next run starts. The simple layout hides the status
// list and its label; the choice is stored as DISPMODE.
//
// Operations run on their own event threads and reach the form only through the
// OperationBridge (queued calls). The view never waits for an operation: the requests an
// operation makes (model information, password, questions, node choice) are answered from
// dialogs opened without a nested event loop, and the operation's thread waits for the
// answer.
//
// Closing the window during a run asks first (RequestClose). Yes aborts the run as Abort
// does, answers the run's open questions with Cancel, and waits, with a dialog that counts
// down, until the run has ended or kCloseWaitSeconds have passed; then closeReady() lets
// the frame close. Deleting the view while a run goes on answers every open request with
// Cancel, writes the log and deletes the operation.
//
// Thread-safety: GUI thread only.
#pragma once

#include <QAction>
#include <QElapsedTimer>
#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ops/OperationHandle.h"
#include "ops/engine/StepEngine.h"
#include "serial/Protocol.h"
#include "ui/OperationBridge.h"
#include "ui/UiIds.h"

class QDialog;
class QLabel;
class QLineEdit;
class QListWidget;
class QProgressBar;

namespace kz::ui {

class CPowerResetDlg;

// Command ids of menu 128 and tool bar 128.
namespace cmd {
inline constexpr int kBackUp = 32772;
inline constexpr int kRestore = 32773;
inline constexpr int kVerify = 32774;
inline constexpr int kTransferSetup = 32775;
inline constexpr int kAbort = 32777;
inline constexpr int kProperty = 32778;
inline constexpr int kComment = 32779;
inline constexpr int kToolBarSpare = 32788;
inline constexpr int kSimpleMode = 32789;
inline constexpr int kDetailMode = 32790;
inline constexpr int kCfReceive = 32791;
inline constexpr int kCfSend = 32792;
inline constexpr int kAbout = 57664;
inline constexpr int kExit = 57665;
inline constexpr int kToolBar = 59392;
inline constexpr int kStatusBar = 59393;
}  // namespace cmd

class CNQmntView : public QWidget, public IBridgeTarget {
    Q_OBJECT

  public:
    explicit CNQmntView(QWidget* parent = nullptr);
    ~CNQmntView() override;

    // The view's commands (ids of namespace cmd), for the frame's menu and tool bar.
    QAction* Action(int id) const;

    bool Busy() const { return busy_; }
    bool SimpleMode() const { return simple_; }
    // The running operation (null while idle).
    const COperationHandle* Operation() const { return op_.get(); }
    // The status list as the operation gave it (bytes), oldest first.
    const std::vector<std::string>& StatusLines() const { return statusLines_; }
    // The wait dialog while it is open.
    QDialog* WaitDialog() const;

    // How the last run ended, as its result line shows it (None: no run yet, or one runs).
    enum class Outcome { None, Success, Failure };
    Outcome LastOutcome() const { return outcome_; }
    // The status bar's message pane: "Ready", or what runs ("Backup running").
    QString StatusText() const;

    // Starts an operation (the commands make theirs with COperationHandle::Create); path and
    // comment go into the form, what the previous run left there is cleared, and the status
    // bar names the run with runningTextId. Nothing happens while another one runs.
    // On the LAN a non-empty node names the panel (no search).
    void Start(std::unique_ptr<COperationHandle> op, const std::string& path,
               const std::string& comment, int runningTextId = txt::kRunningOther,
               const std::string& node = {});
    // The same for a serial operation built elsewhere (tests bring scripted ones).
    void Start(std::unique_ptr<CProtocol> op, const std::string& path, const std::string& comment);

    // Command handlers.
    void OnBackUp() { StartCommand(OperationKind::Backup); }
    void OnRestore() { StartCommand(OperationKind::Restore); }
    void OnVerify() { StartCommand(OperationKind::Verify); }
    void OnCfReceive() { StartCommand(OperationKind::CfReceive); }
    void OnCfSend() { StartCommand(OperationKind::CfSend); }
    void OnAbort();
    void OnTransferSetup();
    void OnProperty();
    // The Property dialog for the image at path (a file dropped on the window); a file that
    // is no image is said so. Nothing while a run goes on.
    void ShowProperty(const std::string& path);
    void OnComment();
    // Switches the layout and stores it as DISPMODE.
    void SetSimpleLayout(bool simple);

    // Ends a running operation at once (the window is deleted): every open request is
    // answered with Cancel, the log is written, the operation is deleted.
    void EndOperation();

    // The window wants to close. True when nothing runs. During a run it asks first: No
    // keeps the run going; Yes starts the abort and its bounded wait, and closeReady()
    // follows when the run has ended. False in both cases (and while that wait goes on).
    bool RequestClose();
    bool Closing() const { return closing_; }
    // The bound of the wait for an aborted run when the window closes.
    static constexpr int kCloseWaitSeconds = 30;

  signals:
    // The form changed its size (layout switch); the frame fits itself to it.
    void layoutChanged();
    // An operation started or completed.
    void busyChanged(bool busy);
    // The status bar's message pane.
    void statusMessage(const QString& text);
    // The run aborted for closing has ended (or the wait's bound passed): close now.
    void closeReady();
    // A run failed while the window was not active: the window asks for the user's
    // attention (QApplication::alert follows at once).
    void attentionRequested();

  private:
    void BuildForm();
    void BuildActions();
    void ApplyLayout(bool simple);
    void UpdateCommands();
    void StartCommand(OperationKind kind);
    // A backup's target with a partial image of an interrupted run: asks whether to resume
    // it. False when the user cancelled; *resume says Yes.
    bool AskResume(const std::string& partial, bool* resume);
    // A restore with SAFETYBACKUP set: the safety backup runs first and the restore of plan
    // follows when it completed (ContinueAfterSafetyBackup).
    void StartSafetyBackup(const std::string& folder, const StartPlan& plan);
    // The safety backup's run has ended (ok: completed). Starts the restore and returns true,
    // or notes the failure and returns false (the restore does not start).
    bool ContinueAfterSafetyBackup(bool ok, const std::string& image, const std::string& node);
    // forced: the view ends the run itself (EndOperation); no result is announced.
    void OnComplete(bool forced = false);
    void ShowResult(Outcome outcome, const QString& text);
    // The close's wait: sends the abort once the run takes it, counts down, ends the run
    // when the bound has passed.
    void OnCloseTick();
    void FinishClose();

  public:
    // IBridgeTarget (GUI thread, queued from the operation).
    void OnStatusLine(const std::string& text) override;
    void OnClearStatusList() override;
    void OnProgress(int position) override;
    void OnModelName(const std::string& name) override;
    void OnPowerWarning(bool show) override;
    void OnTransferProgress(const TransferSnapshot& snapshot) override;
    void OnViewMessage(unsigned msg, std::uintptr_t wParam, RequestEvent* request) override;
    void RunQuestion(const std::shared_ptr<Question>& q) override;

  private:
    void OnModelInfoRequest(RequestEvent* request);
    void OnPasswordRequest(RequestEvent* request);
    void OnPowerResetDialog(std::uintptr_t wParam);
    // Opens dialog window-modal without a nested event loop; onDone runs once with the
    // result unless the operation ends first (then the dialog is just closed).
    void OpenForOperation(QDialog* dialog, std::function<void(int result)> onDone);
    void CloseOperationDialogs();
    // The status list's Copy and Select All (context menu and the usual keys).
    void AddStatusListActions();
    // Copies the selected status lines, one per line, in list order.
    void CopyStatusLines();

    QLineEdit* file_ = nullptr;         // 1043
    QLabel* comment_ = nullptr;         // 1004
    QLabel* model_ = nullptr;           // 1006
    QLabel* statusLabel_ = nullptr;     // 1029
    QListWidget* status_ = nullptr;     // 1002
    QLabel* processLabel_ = nullptr;    // 1030
    QProgressBar* progress_ = nullptr;  // 1005
    QLabel* warning_ = nullptr;         // 1023
    QLabel* progressText_ = nullptr;    // 1060: bytes, rate, time left, area
    QLabel* resultIcon_ = nullptr;      // 1061
    QLabel* resultText_ = nullptr;      // 1062: the last run's final message
    std::map<int, QAction*> actions_;

    std::vector<std::string> statusLines_;
    std::unique_ptr<OperationBridge> bridge_;
    std::unique_ptr<COperationHandle> op_;  // the running operation, either link
    bool busy_ = false;
    bool simple_ = true;
    bool powerWarning_ = false;  // what the operation asked for (hidden during the reset dialog)
    int runningTextId_ = txt::kRunningOther;
    Outcome outcome_ = Outcome::None;
    bool closing_ = false;
    bool closeAbortSent_ = false;
    QTimer closeTimer_;
    QElapsedTimer closeWait_;
    QPointer<QDialog> closeDialog_;
    std::string formComment_;  // the comment 1004 shows, as bytes
    QPointer<CPowerResetDlg> waitDialog_;
    std::vector<QPointer<QDialog>> operationDialogs_;
    QTimer commandTimer_;  // refreshes Abort while a LAN operation may be searching
    // The safety backup that runs before pendingRestore_; null when none runs.
    std::unique_ptr<CSafetyBackup> safety_;
    StartPlan pendingRestore_;
    // Lines of the safety backup that stay on the status list when a run clears it, and the
    // file the restore warning names; both last until the next command.
    std::vector<std::string> stickyLines_;
    std::string safetyFile_;
};

}  // namespace kz::ui

#include "ui/NQmntView.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QDialog>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QProgressBar>
#include <QStyle>
#include <QVBoxLayout>

#include "config/MessageIds.h"
#include "config/ModelDefs.h"
#include "config/Settings.h"
#include "config/StringTable.h"
#include "diag/DebugLog.h"
#include "diag/Trace.h"
#include "ops/memory/MemImageFile.h"
#include "ops/memory/ModelConfirm.h"
#include "ops/memory/StartFlow.h"
#include "ui/UiIds.h"
#include "ui/UiText.h"
#include "ui/dialogs/CommentDlg.h"
#include "ui/dialogs/ConfirmDlg.h"
#include "ui/dialogs/FileSelectDlg.h"
#include "ui/dialogs/NodeListDlg.h"
#include "ui/dialogs/PasswordDlg.h"
#include "ui/dialogs/PowerResetDlg.h"
#include "ui/dialogs/PropertyDlg.h"
#include "ui/dialogs/RestoreWarningDlg.h"
#include "ui/dialogs/TransferSetupDlg.h"

namespace kz::ui {

namespace {

// How often Abort's state is refreshed while a run may be searching the network.
constexpr int kCommandRefreshMs = 100;
// How often the close's wait tries the abort and counts down.
constexpr int kCloseTickMs = 100;

// The result line's colours: dark enough on a light form to read, and never the only sign
// (the icon and the text differ too).
constexpr const char* kSuccessStyle = "color: rgb(0, 110, 40);";
constexpr const char* kFailureStyle = "color: rgb(190, 0, 0); font-weight: bold;";

int RunningTextFor(OperationKind kind) {
    switch (kind) {
        case OperationKind::Backup:
            return txt::kRunningBackUp;
        case OperationKind::Verify:
            return txt::kRunningVerify;
        case OperationKind::Restore:
            return txt::kRunningRestore;
        case OperationKind::CfReceive:
            return txt::kRunningCfReceive;
        case OperationKind::CfSend:
            return txt::kRunningCfSend;
        default:
            break;
    }
    return txt::kRunningOther;
}

// The start's questions as modal message boxes (no operation runs yet).
class StartPrompt final : public IStartPrompt {
  public:
    explicit StartPrompt(QWidget* parent) : parent_(parent) {}
    bool AskOkCancel(int textId) override {
        std::unique_ptr<QMessageBox> box(MakeMessageBox(parent_, QMessageBox::Question, textId, 0,
                                                        QMessageBox::Ok | QMessageBox::Cancel));
        return box->exec() == QMessageBox::Ok;
    }
    void ShowMessage(int textId) override {
        std::unique_ptr<QMessageBox> box(
            MakeMessageBox(parent_, QMessageBox::Warning, textId, 0, QMessageBox::Ok));
        box->exec();
    }
    void ShowNote(const std::string& text) override {
        QMessageBox::information(parent_, Text(msg::kAppTitle), DisplayText(text));
    }

  private:
    QWidget* parent_;
};

QLabel* SunkenField(QWidget* parent, int id) {
    auto* label = new QLabel(parent);
    label->setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
    label->setTextFormat(Qt::PlainText);
    label->setMinimumWidth(360);
    SetControlId(label, id);
    return label;
}

}  // namespace

CNQmntView::CNQmntView(QWidget* parent)
    : QWidget(parent), bridge_(std::make_unique<OperationBridge>(this, this)) {
    simple_ = CSettings().GetDispMode();
    BuildForm();
    BuildActions();
    commandTimer_.setInterval(kCommandRefreshMs);
    connect(&commandTimer_, &QTimer::timeout, this, &CNQmntView::UpdateCommands);
    closeTimer_.setInterval(kCloseTickMs);
    connect(&closeTimer_, &QTimer::timeout, this, &CNQmntView::OnCloseTick);
    TraceMessage("KZmnt", "OnInitialUpdate Start\n");
    TraceMessage("KZmnt", "  Change Mode\n");
    ApplyLayout(simple_);
    TraceMessage("KZmnt", "OnInitialUpdate End\n");
}

CNQmntView::~CNQmntView() {
    EndOperation();
}

void CNQmntView::BuildForm() {
    auto* grid = new QGridLayout(this);
    grid->setContentsMargins(12, 10, 12, 8);
    grid->setHorizontalSpacing(10);
    grid->setVerticalSpacing(6);

    file_ = new QLineEdit(this);
    file_->setReadOnly(true);
    file_->setFocusPolicy(Qt::ClickFocus);  // shown, not edited: no focus frame at start
    file_->setMinimumWidth(360);
    SetControlId(file_, 1043);
    comment_ = SunkenField(this, 1004);
    model_ = SunkenField(this, 1006);
    grid->addWidget(new QLabel(Text(txt::kLabelFileName), this), 0, 0);
    grid->addWidget(file_, 0, 1);
    grid->addWidget(new QLabel(Text(txt::kLabelComment), this), 1, 0);
    grid->addWidget(comment_, 1, 1);
    grid->addWidget(new QLabel(Text(txt::kLabelModel), this), 2, 0);
    grid->addWidget(model_, 2, 1);

    statusLabel_ = new QLabel(Text(txt::kLabelStatus), this);
    SetControlId(statusLabel_, 1029);
    status_ = new QListWidget(this);
    status_->setMinimumHeight(150);
    status_->setUniformItemSizes(true);
    SetControlId(status_, 1002);
    AddStatusListActions();
    processLabel_ = new QLabel(Text(txt::kLabelProcess), this);
    SetControlId(processLabel_, 1030);
    progress_ = new QProgressBar(this);
    progress_->setRange(0, 100);
    progress_->setValue(0);
    progress_->setTextVisible(false);
    SetControlId(progress_, 1005);
    warning_ = new QLabel(Text(txt::kPowerWarning), this);
    warning_->setAlignment(Qt::AlignCenter);
    warning_->setStyleSheet(QStringLiteral("color: rgb(255, 0, 0);"));
    QSizePolicy keep = warning_->sizePolicy();
    keep.setRetainSizeWhenHidden(true);  // the form keeps its size when it shows
    warning_->setSizePolicy(keep);
    warning_->hide();
    SetControlId(warning_, 1023);

    // Under the bar: the transfer's progress while a run goes on, its result afterwards.
    // The row keeps its height when empty, so the window does not jump.
    auto* below = new QWidget(this);
    auto* row = new QHBoxLayout(below);
    row->setContentsMargins(0, 0, 0, 0);
    resultIcon_ = new QLabel(below);
    resultIcon_->setFixedSize(16, 16);
    resultIcon_->hide();
    SetControlId(resultIcon_, 1061);
    resultText_ = new QLabel(below);
    resultText_->setTextFormat(Qt::PlainText);
    resultText_->setWordWrap(true);
    resultText_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    resultText_->hide();
    SetControlId(resultText_, 1062);
    progressText_ = new QLabel(below);
    progressText_->setTextFormat(Qt::PlainText);
    SetControlId(progressText_, 1060);
    row->addWidget(resultIcon_, 0, Qt::AlignTop);
    row->addWidget(resultText_, 1);
    row->addWidget(progressText_, 1);
    below->setMinimumHeight(std::max(progressText_->sizeHint().height(), 16));

    grid->addWidget(statusLabel_, 3, 0, 1, 2);
    grid->addWidget(status_, 4, 0, 1, 2);
    grid->addWidget(processLabel_, 5, 0, 1, 2);
    grid->addWidget(progress_, 6, 0, 1, 2);
    grid->addWidget(below, 7, 0, 1, 2);
    grid->addWidget(warning_, 8, 0, 1, 2);
    grid->setColumnStretch(1, 1);
    grid->setRowStretch(4, 1);
}

void CNQmntView::BuildActions() {
    struct Entry {
        int id;
        int textId;
        QKeySequence key;
        void (CNQmntView::*handler)();
    };
    const Entry entries[] = {
        {cmd::kBackUp, txt::kItemBackUp, QKeySequence(Qt::CTRL | Qt::Key_B), &CNQmntView::OnBackUp},
        {cmd::kVerify, txt::kItemVerify, QKeySequence(Qt::CTRL | Qt::Key_E), &CNQmntView::OnVerify},
        {cmd::kRestore, txt::kItemRestore, QKeySequence(Qt::CTRL | Qt::Key_R),
         &CNQmntView::OnRestore},
        {cmd::kCfReceive, txt::kItemCfReceive, QKeySequence(Qt::CTRL | Qt::Key_G),
         &CNQmntView::OnCfReceive},
        {cmd::kCfSend, txt::kItemCfSend, QKeySequence(Qt::CTRL | Qt::Key_D), &CNQmntView::OnCfSend},
        {cmd::kAbort, txt::kItemAbort, QKeySequence(Qt::Key_Escape), &CNQmntView::OnAbort},
        {cmd::kTransferSetup, txt::kItemTransferSetup, QKeySequence(Qt::CTRL | Qt::Key_T),
         &CNQmntView::OnTransferSetup},
        {cmd::kProperty, txt::kItemProperty, QKeySequence(Qt::CTRL | Qt::Key_I),
         &CNQmntView::OnProperty},
        {cmd::kComment, txt::kItemComment, QKeySequence(Qt::CTRL | Qt::Key_M),
         &CNQmntView::OnComment},
    };
    for (const Entry& e : entries) {
        QAction* action = MakeCommandAction(this, e.id, e.textId, e.key);
        connect(action, &QAction::triggered, this, e.handler);
        actions_[e.id] = action;
    }
    QAction* simple = MakeCommandAction(this, cmd::kSimpleMode, txt::kItemSimpleMode);
    connect(simple, &QAction::triggered, this, [this] { SetSimpleLayout(true); });
    actions_[cmd::kSimpleMode] = simple;
    QAction* detail = MakeCommandAction(this, cmd::kDetailMode, txt::kItemDetailMode);
    connect(detail, &QAction::triggered, this, [this] { SetSimpleLayout(false); });
    actions_[cmd::kDetailMode] = detail;
    for (auto& [id, action] : actions_) {
        addAction(action);
    }
    UpdateCommands();
}

QAction* CNQmntView::Action(int id) const {
    const auto it = actions_.find(id);
    return it == actions_.end() ? nullptr : it->second;
}

QDialog* CNQmntView::WaitDialog() const {
    return waitDialog_.data();
}

void CNQmntView::UpdateCommands() {
    for (const int id : {cmd::kBackUp, cmd::kVerify, cmd::kRestore, cmd::kCfReceive, cmd::kCfSend,
                         cmd::kTransferSetup, cmd::kProperty, cmd::kComment}) {
        actions_[id]->setEnabled(!busy_);
    }
    actions_[cmd::kAbort]->setEnabled(busy_ && !closing_ && !(op_ && op_->Searching()));
    actions_[cmd::kSimpleMode]->setEnabled(!simple_);
    actions_[cmd::kDetailMode]->setEnabled(simple_);
}

// ---- Layouts -------------------------------------------------------------------------------

void CNQmntView::SetSimpleLayout(bool simple) {
    ApplyLayout(simple);
    // The user's choice is remembered across runs; a missing KZMNT.INI is created for it.
    CSettings settings;
    if (settings.CreateIfMissing()) {
        settings.SetDispMode(simple ? 1 : 0);
    }
}

void CNQmntView::ApplyLayout(bool simple) {
    simple_ = simple;
    // The progress label and bar move up to where the status list was.
    statusLabel_->setVisible(!simple);
    status_->setVisible(!simple);
    UpdateCommands();
    emit layoutChanged();
}

// ---- Starting ------------------------------------------------------------------------------

void CNQmntView::StartCommand(OperationKind kind) {
    if (busy_) {
        return;
    }
    stickyLines_.clear();
    safetyFile_.clear();
    const SelectionMode mode = SelectionModeFor(kind);
    CFileSelectDlg dialog(mode, this);
    if (dialog.exec() != QDialog::Accepted) {
        return;
    }
    const std::string chosen = dialog.FileName();
    file_->setText(DisplayText(chosen));
    if (kind == OperationKind::CfReceive) {
        TraceMessage("KZmnt", "OnCfRecv\n");
    }
    // The same rule the dialog applied, and a regular file for an image (a FIFO or a device
    // would block the operation).
    const std::string refusal = CheckSelectedPath(mode, chosen);
    if (!refusal.empty()) {
        QMessageBox::warning(this, Text(msg::kAppTitle), DisplayText(refusal));
        return;
    }
    StartPrompt prompt(this);
    std::optional<std::string> typed;
    if (kind == OperationKind::Backup) {
        typed = dialog.Comment();
        comment_->setText(DisplayText(*typed));
    }
    const StartPlan plan = PrepareStart(kind, chosen, typed, prompt);
    model_->clear();
    if (plan.outcome == StartOutcome::Declined) {
        file_->clear();
        comment_->clear();
        formComment_.clear();
        return;
    }
    if (plan.outcome != StartOutcome::Ready) {
        return;
    }
    if (IsMemoryKind(kind)) {
        formComment_ = plan.comment;
        comment_->setText(DisplayText(plan.comment));
    }
    bool resume = false;
    if (const std::string partial = ResumablePartial(kind, plan);
        !partial.empty() && !AskResume(partial, &resume)) {
        return;
    }
    if (kind == OperationKind::Restore) {
        if (const std::string folder = CSafetyBackup::FolderFor(std::nullopt); !folder.empty()) {
            StartSafetyBackup(folder, plan);
            return;
        }
    }
    std::unique_ptr<COperationHandle> op = COperationHandle::Create(kind, SelectedLink(), plan);
    if (op && resume) {
        op->SetResume();
    }
    Start(std::move(op), plan.path, IsMemoryKind(kind) ? formComment_ : std::string(),
          RunningTextFor(kind));
}

bool CNQmntView::AskResume(const std::string& partial, bool* resume) {
    std::unique_ptr<QMessageBox> box(
        MakeMessageBox(this, QMessageBox::Question, txt::kResumeQuestion, 0,
                       QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel));
    box->setObjectName(QStringLiteral("resumeQuestion"));
    box->setText(Text(txt::kResumeQuestion).replace(QStringLiteral("%s"), DisplayText(partial)));
    box->button(QMessageBox::Yes)->setText(Text(txt::kButtonYes));
    box->button(QMessageBox::No)->setText(Text(txt::kButtonNo));
    box->setDefaultButton(QMessageBox::Yes);
    const int answer = box->exec();
    *resume = answer == QMessageBox::Yes;
    return answer == QMessageBox::Yes || answer == QMessageBox::No;
}

void CNQmntView::StartSafetyBackup(const std::string& folder, const StartPlan& plan) {
    auto safety = std::make_unique<CSafetyBackup>(folder);
    if (!safety->Prepare()) {
        // Nothing runs: the form says why, and the restore is not started.
        OnClearStatusList();
        OnStatusLine(safety->FailureLine());
        OnStatusLine(GetString(msg::kSafetyBackupFailed));
        WriteDebugLog(statusLines_);
        ShowResult(Outcome::Failure, DisplayText(statusLines_.back()));
        return;
    }
    std::unique_ptr<COperationHandle> op = safety->CreateBackup(SelectedLink());
    stickyLines_.push_back(safety->StartLine());
    const std::string working = safety->WorkingPath();
    const std::string comment = safety->Comment();
    safety_ = std::move(safety);
    pendingRestore_ = plan;
    Start(std::move(op), working, comment, txt::kRunningRestore);
}

bool CNQmntView::ContinueAfterSafetyBackup(bool ok, const std::string& image,
                                           const std::string& node) {
    std::unique_ptr<CSafetyBackup> safety = std::move(safety_);
    if (!ok || closing_) {
        OnStatusLine(GetString(msg::kSafetyBackupFailed));
        return false;
    }
    safety->Finish(image);
    safetyFile_ = safety->FinalPath();
    stickyLines_.push_back(safety->DoneLine());
    OnStatusLine(stickyLines_.back());
    // On the LAN the restore goes to the panel that was just backed up.
    std::unique_ptr<COperationHandle> op =
        COperationHandle::Create(OperationKind::Restore, SelectedLink(), pendingRestore_);
    busy_ = false;
    Start(std::move(op), pendingRestore_.path, pendingRestore_.comment, txt::kRunningRestore, node);
    return true;
}

void CNQmntView::Start(std::unique_ptr<COperationHandle> op, const std::string& path,
                       const std::string& comment, int runningTextId, const std::string& node) {
    if (busy_ || !op) {
        return;
    }
    // Nothing of the previous run stays: its comment, model, status list, progress and
    // result would read as this run's.
    file_->setText(DisplayText(path));
    formComment_ = comment;
    comment_->setText(DisplayText(comment));
    model_->clear();
    OnClearStatusList();
    progress_->setValue(0);
    progressText_->clear();
    ShowResult(Outcome::None, {});
    runningTextId_ = runningTextId;
    op_ = std::move(op);
    busy_ = true;
    UpdateCommands();
    if (op_->GetLink() == Link::Lan) {
        commandTimer_.start();
    }
    emit busyChanged(true);
    emit statusMessage(StatusText());
    op_->Start(bridge_.get(), bridge_.get(), bridge_.get(), node);
}

QString CNQmntView::StatusText() const {
    return Text(busy_ ? runningTextId_ : txt::kReady);
}

void CNQmntView::ShowResult(Outcome outcome, const QString& text) {
    outcome_ = outcome;
    const bool shown = outcome != Outcome::None;
    resultIcon_->setVisible(shown);
    resultText_->setVisible(shown);
    progressText_->setVisible(!shown);
    if (!shown) {
        resultText_->clear();
        return;
    }
    const bool ok = outcome == Outcome::Success;
    resultIcon_->setPixmap(
        style()
            ->standardIcon(ok ? QStyle::SP_DialogApplyButton : QStyle::SP_MessageBoxCritical)
            .pixmap(16, 16));
    resultText_->setStyleSheet(QString::fromLatin1(ok ? kSuccessStyle : kFailureStyle));
    resultText_->setText(text);
}

void CNQmntView::Start(std::unique_ptr<CProtocol> op, const std::string& path,
                       const std::string& comment) {
    if (op) {
        Start(std::make_unique<COperationHandle>(std::move(op)), path, comment);
    }
}

// ---- Abort and completion ------------------------------------------------------------------

void CNQmntView::OnAbort() {
    // Silently nothing in a serial run's first second (the link is still being opened) and
    // while the network is searched.
    if (!busy_ || !op_ || op_->MayAbort() != AbortRule::Allowed) {
        return;
    }
    std::unique_ptr<QMessageBox> box(MakeMessageBox(this, QMessageBox::Question, msg::kAskAbort, 0,
                                                    QMessageBox::Ok | QMessageBox::Cancel));
    if (box->exec() != QMessageBox::Ok) {
        return;
    }
    // The run may have ended while the question was open.
    if (op_) {
        op_->Abort();
    }
}

void CNQmntView::OnComplete(bool forced) {
    if (op_) {
        TraceMessage("KZmnt", "CNQmntView::OnComplete [%s]\n", op_->LinkName());
        const int error = op_->Error();
        bool ok = error == 0 || error == msg::kCompleted;
        // With the automatic file name the form shows the file the backup wrote.
        const std::string image = op_->ImagePath();
        const std::string node = op_->NodeAddress();
        op_.reset();
        if (safety_) {
            // The restore starts only after a completed safety backup.
            if (!forced && ContinueAfterSafetyBackup(ok, image, node)) {
                return;
            }
            safety_.reset();
            ok = false;
        }
        WriteDebugLog(statusLines_);
        // The run's last status line is its final message (3299 or the error's text).
        const QString text = statusLines_.empty() ? Text(ok ? msg::kCompleted : error)
                                                  : DisplayText(statusLines_.back());
        if (!forced) {
            ShowResult(ok ? Outcome::Success : Outcome::Failure, text);
            if (ok && !image.empty()) {
                file_->setText(DisplayText(image));
            }
            if (!ok && !closing_ && !window()->isActiveWindow()) {
                emit attentionRequested();
                QApplication::alert(window());
            }
        }
    } else {
        WriteDebugLog(statusLines_);
    }
    commandTimer_.stop();
    const bool wasBusy = busy_;
    busy_ = false;
    UpdateCommands();
    if (wasBusy) {
        emit busyChanged(false);
        emit statusMessage(StatusText());
    }
    if (closing_) {
        FinishClose();
    }
}

void CNQmntView::EndOperation() {
    if (!op_) {
        return;
    }
    // Nothing may keep the operation's thread waiting for an answer: questions get Cancel,
    // the model and password requests are released by the operation's own shutdown.
    bridge_->Close();
    CloseOperationDialogs();
    delete waitDialog_.data();
    OnComplete(true);
    bridge_->Open();
}

// ---- What the operation sends --------------------------------------------------------------

void CNQmntView::OnStatusLine(const std::string& text) {
    statusLines_.push_back(text);
    status_->addItem(DisplayText(text));
    status_->setCurrentRow(status_->count() - 1);
}

void CNQmntView::AddStatusListActions() {
    // The lines can be selected and copied (to quote them in a service report); the list
    // still follows the newest line while a run adds them.
    status_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    status_->setContextMenuPolicy(Qt::ActionsContextMenu);
    auto* copy = new QAction(Text(txt::kCopy), status_);
    copy->setShortcut(QKeySequence::Copy);
    copy->setShortcutContext(Qt::WidgetShortcut);
    copy->setObjectName(QStringLiteral("statusCopy"));
    connect(copy, &QAction::triggered, this, &CNQmntView::CopyStatusLines);
    auto* all = new QAction(Text(txt::kSelectAll), status_);
    all->setShortcut(QKeySequence::SelectAll);
    all->setShortcutContext(Qt::WidgetShortcut);
    all->setObjectName(QStringLiteral("statusSelectAll"));
    connect(all, &QAction::triggered, status_, &QListWidget::selectAll);
    status_->addActions({copy, all});
}

void CNQmntView::CopyStatusLines() {
    QStringList lines;
    for (int row = 0; row < status_->count(); ++row) {
        if (status_->item(row)->isSelected()) {
            lines << status_->item(row)->text();
        }
    }
    if (!lines.isEmpty()) {
        QApplication::clipboard()->setText(lines.join(QLatin1Char('\n')) + QLatin1Char('\n'));
    }
}

void CNQmntView::OnClearStatusList() {
    statusLines_.clear();
    status_->clear();
    // The safety backup's lines stay in view during the restore that follows it.
    for (const std::string& line : stickyLines_) {
        OnStatusLine(line);
    }
}

void CNQmntView::OnProgress(int position) {
    // The bar's range is 0 to 100; a value outside would be ignored rather than shown full.
    progress_->setValue(std::clamp(position, 0, 100));
}

void CNQmntView::OnModelName(const std::string& name) {
    model_->setText(DisplayText(name));
}

void CNQmntView::OnPowerWarning(bool show) {
    powerWarning_ = show;
    // While the reset dialog asks the user to switch the panel off and on, a warning not to
    // switch it off would contradict it.
    warning_->setVisible(show && !waitDialog_);
}

void CNQmntView::OnTransferProgress(const TransferSnapshot& snapshot) {
    if (busy_) {
        progressText_->setText(DisplayText(FormatProgress(snapshot)));
    }
}

void CNQmntView::OnViewMessage(unsigned msg, std::uintptr_t wParam, RequestEvent* request) {
    switch (msg) {
        case WM_MODEL_INFO_REQUEST:
            OnModelInfoRequest(request);
            return;
        case WM_PASSWORD_REQUEST:
            OnPasswordRequest(request);
            return;
        case WM_POWER_RESET_DIALOG:
            OnPowerResetDialog(wParam);
            return;
        case WM_LAN_ABORT_REQUEST:
            if (op_ && op_->GetLink() == Link::Lan) {
                op_->Abort();
            }
            break;
        case WM_OPERATION_COMPLETE:
            OnComplete();
            break;
        default:
            break;
    }
    if (request) {
        request->Set();
    }
}

void CNQmntView::OpenForOperation(QDialog* dialog, std::function<void(int)> onDone) {
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    operationDialogs_.emplace_back(dialog);
    connect(dialog, &QDialog::finished, this,
            [this, dialog, onDone = std::move(onDone)](int result) {
                std::erase_if(operationDialogs_,
                              [dialog](const QPointer<QDialog>& d) { return d == dialog; });
                onDone(result);
            });
    dialog->open();
}

void CNQmntView::CloseOperationDialogs() {
    const auto dialogs = std::exchange(operationDialogs_, {});
    for (const QPointer<QDialog>& dialog : dialogs) {
        if (dialog) {
            disconnect(dialog, nullptr, this, nullptr);
            dialog->close();
        }
    }
}

void CNQmntView::OnModelInfoRequest(RequestEvent* request) {
    const std::optional<ModelInfoExchange> exchange = op_ ? op_->ModelInfoRequest() : std::nullopt;
    if (exchange && closing_) {
        op_->AnswerModelInfo(false, exchange->modelName, exchange->bkFile, exchange->baud);
    }
    if (!exchange || closing_) {
        if (request) {
            request->Set();
        }
        return;
    }
    const CModelDefs defs;
    const ModelInfo info = ConfirmModel(defs, ToDialogInput(*exchange, formComment_));
    OpenForOperation(new CConfirmDlg(info, this), [this, info, request](int result) {
        // The dialog's model, file-name stem and rate go back in every case; a refusal
        // also empties the file name, which the operation ends with 4001.
        if (op_) {
            op_->AnswerModelInfo(result == QDialog::Accepted, info.modelName, info.bkFileStem,
                                 info.baud);
        }
        if (request) {
            request->Set();
        }
    });
}

void CNQmntView::OnPasswordRequest(RequestEvent* request) {
    if (op_ && closing_) {
        op_->AnswerPassword({});
    }
    if (!op_ || closing_) {
        if (request) {
            request->Set();
        }
        return;
    }
    auto* dialog = new CPasswordDlg(nullptr);
    dialog->setWindowModality(Qt::ApplicationModal);
    OpenForOperation(dialog, [this, dialog, request](int result) {
        if (op_) {
            op_->AnswerPassword(result == QDialog::Accepted ? dialog->Password() : std::string());
        }
        if (request) {
            request->Set();
        }
    });
}

void CNQmntView::OnPowerResetDialog(std::uintptr_t wParam) {
    if (!op_ || op_->GetLink() != Link::Serial) {
        return;
    }
    if (wParam == 1) {
        if (waitDialog_) {
            return;
        }
        waitDialog_ = new CPowerResetDlg(
            [this] {
                if (op_) {
                    op_->CancelPowerReset();
                }
            },
            this);
        waitDialog_->setWindowTitle(Text(msg::kAppTitle));
        if (closing_) {
            // Nobody is to reset the panel: the window closes.
            op_->CancelPowerReset();
        }
        warning_->hide();
        waitDialog_->show();
        return;
    }
    delete waitDialog_.data();
    warning_->setVisible(powerWarning_);
}

void CNQmntView::RunQuestion(const std::shared_ptr<Question>& q) {
    if (closing_) {
        OperationBridge::Answer(q, false);  // the window closes: nobody is asked any more
        return;
    }
    QDialog* dialog = nullptr;
    switch (q->kind) {
        case Question::Kind::OkCancel:
            dialog = MakeMessageBox(this, QMessageBox::Question, q->textId, q->captionId,
                                    QMessageBox::Ok | QMessageBox::Cancel);
            break;
        case Question::Kind::Message:
            dialog = MakeMessageBox(this, QMessageBox::Information, q->textId, q->captionId,
                                    QMessageBox::Ok);
            break;
        case Question::Kind::RestoreWarning:
            dialog = new CRestoreWarningDlg(this, DisplayText(safetyFile_));
            break;
        case Question::Kind::ChooseNode: {
            auto* nodes = new CNodeListDlg(
                q->nodes, [this](const QString& line) { OnStatusLine(ToBytes(line)); }, this);
            OpenForOperation(nodes, [q, nodes](int result) {
                OperationBridge::Answer(q, result == QDialog::Accepted, nodes->Address());
            });
            return;
        }
    }
    auto* box = qobject_cast<QMessageBox*>(dialog);
    OpenForOperation(dialog, [q, box](int result) {
        const bool ok = box ? result == QMessageBox::Ok : result == QDialog::Accepted;
        OperationBridge::Answer(q, ok);
    });
}

// ---- Commands without an operation ---------------------------------------------------------

void CNQmntView::OnTransferSetup() {
    if (busy_) {
        return;
    }
    CTransferSetupDlg dialog(this);
    dialog.exec();
}

void CNQmntView::OnProperty() {
    if (busy_) {
        return;
    }
    CFileSelectDlg select(SelectionMode::Restore, FilePurpose::Property, this);
    if (select.exec() != QDialog::Accepted) {
        return;
    }
    ShowProperty(select.FileName());
}

void CNQmntView::ShowProperty(const std::string& path) {
    if (busy_) {
        return;
    }
    MemImageFile image;
    if (!image.LoadHeader(path)) {
        std::unique_ptr<QMessageBox> box(
            MakeMessageBox(this, QMessageBox::Warning, msg::kFileUnreadable, 0, QMessageBox::Ok));
        box->exec();
        return;
    }
    CPropertyDlg dialog(image, this);
    dialog.exec();
}

void CNQmntView::OnComment() {
    if (busy_) {
        return;
    }
    CCommentDlg dialog(DisplayText(formComment_), this);
    if (dialog.exec() != QDialog::Accepted) {
        return;
    }
    // The form shows the file whose comment was rewritten and the comment it now holds.
    const QString file = DisplayText(dialog.FileName());
    if (file != file_->text()) {
        file_->setText(file);
        model_->clear();
    }
    formComment_ = dialog.Comment();
    comment_->setText(DisplayText(formComment_));
}

}  // namespace kz::ui

// The window closing while an operation runs: the question, the abort through the same
// path as the Abort command, and the bounded, visible wait for the run to end.
#include <QMessageBox>
#include <QTimer>
#include <memory>

#include "config/MessageIds.h"
#include "ui/NQmntView.h"
#include "ui/UiIds.h"
#include "ui/UiText.h"
#include "ui/dialogs/PowerResetDlg.h"

namespace kz::ui {

namespace {

QString ClosingText(int seconds) {
    return Text(txt::kClosingWait).replace(QStringLiteral("%d"), QString::number(seconds));
}

}  // namespace

bool CNQmntView::RequestClose() {
    if (!busy_) {
        return true;
    }
    if (closing_) {
        return false;
    }
    std::unique_ptr<QMessageBox> box(MakeMessageBox(this, QMessageBox::Question, msg::kAskAbort, 0,
                                                    QMessageBox::Ok | QMessageBox::Cancel));
    box->setInformativeText(Text(txt::kCloseAbortNote));
    box->setDefaultButton(QMessageBox::Cancel);
    if (box->exec() != QMessageBox::Ok) {
        return false;
    }
    // The run may have ended while the question was open.
    if (!busy_) {
        return true;
    }
    closing_ = true;
    closeAbortSent_ = false;
    closeWait_.start();
    UpdateCommands();
    // The run's open questions get Cancel, so that it reaches its abort; later ones are
    // answered so as they come.
    const auto dialogs = operationDialogs_;
    for (const QPointer<QDialog>& dialog : dialogs) {
        if (dialog) {
            dialog->reject();
        }
    }
    if (waitDialog_ && op_) {
        op_->CancelPowerReset();
    }
    // The wait is shown, with the seconds it may still take; it has nothing to press.
    auto* wait = new QMessageBox(QMessageBox::Information, Text(msg::kAppTitle),
                                 ClosingText(kCloseWaitSeconds), QMessageBox::NoButton, this);
    wait->setObjectName(QStringLiteral("closingWait"));
    wait->setAttribute(Qt::WA_DeleteOnClose);
    wait->setWindowModality(Qt::WindowModal);
    closeDialog_ = wait;
    wait->show();
    closeTimer_.start();
    OnCloseTick();
    return false;
}

void CNQmntView::OnCloseTick() {
    if (!closing_) {
        return;
    }
    if (!op_) {
        FinishClose();
        return;
    }
    // The same abort as the command's, once the run takes one (not in a serial run's first
    // second, nor while the network is searched).
    if (!closeAbortSent_ && op_->MayAbort() == AbortRule::Allowed) {
        closeAbortSent_ = true;
        op_->Abort();
    }
    const qint64 left = kCloseWaitSeconds * 1000LL - closeWait_.elapsed();
    if (left <= 0) {
        // The run did not end in time: it is ended here, as deleting the window would.
        EndOperation();
        FinishClose();
        return;
    }
    if (closeDialog_) {
        const int seconds = static_cast<int>((left + 999) / 1000);
        qobject_cast<QMessageBox*>(closeDialog_.data())->setText(ClosingText(seconds));
    }
}

void CNQmntView::FinishClose() {
    if (!closing_) {
        return;
    }
    closing_ = false;
    closeTimer_.stop();
    if (closeDialog_) {
        closeDialog_->close();
    }
    UpdateCommands();
    // Queued: the frame closes after the completion has been handled.
    QTimer::singleShot(0, this, [this] { emit closeReady(); });
}

}  // namespace kz::ui

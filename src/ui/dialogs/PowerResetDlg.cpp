#include "ui/dialogs/PowerResetDlg.h"
#include "ui/DialogLayout.h"

#include <QCloseEvent>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "config/MessageIds.h"
#include "ui/UiText.h"

namespace kz::ui {

namespace {
constexpr int kMessage = 20315;
constexpr int kCancelText = 20310;
}  // namespace

CPowerResetDlg::CPowerResetDlg(std::function<void()> onCancel, QWidget* parent)
    : QDialog(parent), m_onCancel(std::move(onCancel)) {
    setModal(false);
    setWindowTitle(Text(msg::kAppTitle));
    auto* cancel = new QPushButton(Text(kCancelText), this);
    SetControlId(cancel, kCancel);
    cancel->setAutoDefault(false);
    cancel->setDefault(false);
    connect(cancel, &QPushButton::clicked, this, &CPowerResetDlg::reject);

    QHBoxLayout* buttons = ButtonRow({cancel});
    buttons->addStretch();
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(Text(kMessage), this));
    layout->addLayout(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    FinishDialog(this);
}

void CPowerResetDlg::reject() {
    if (m_onCancel) {
        m_onCancel();
    }
}

void CPowerResetDlg::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
        case Qt::Key_Escape:
        case Qt::Key_Return:
        case Qt::Key_Enter:
            return;
        default:
            QDialog::keyPressEvent(event);
    }
}

void CPowerResetDlg::closeEvent(QCloseEvent* event) {
    event->ignore();
    reject();
}

}  // namespace kz::ui

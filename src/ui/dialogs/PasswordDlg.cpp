#include "ui/dialogs/PasswordDlg.h"
#include "ui/DialogLayout.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "ui/UiText.h"

namespace kz::ui {

namespace {
constexpr int kCaption = 20312;
constexpr int kPrompt = 20313;
constexpr int kOkText = 20314;
constexpr int kCancelText = 20310;
}  // namespace

CPasswordDlg::CPasswordDlg(QWidget* parent) : QDialog(parent) {
    setWindowTitle(Text(kCaption));
    m_pEdit = new QLineEdit(this);
    SetControlId(m_pEdit, kEdit);
    m_pEdit->setEchoMode(QLineEdit::Password);
    m_pEdit->setMaxLength(kMaxLength);
    m_pEdit->setMinimumWidth(m_pEdit->fontMetrics().horizontalAdvance(QLatin1Char('M')) * 16);

    auto* ok = new QPushButton(Text(kOkText), this);
    SetControlId(ok, kOk);
    ok->setDefault(true);
    auto* cancel = new QPushButton(Text(kCancelText), this);
    SetControlId(cancel, kCancel);
    connect(ok, &QPushButton::clicked, this, &CPasswordDlg::OnOk);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);

    QHBoxLayout* buttons = ButtonRow({ok, cancel});
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(Text(kPrompt), this));
    layout->addWidget(m_pEdit);
    layout->addLayout(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    m_pEdit->setFocus();
    FinishDialog(this);
}

void CPasswordDlg::OnOk() {
    const QString text = m_pEdit->text();
    if (text.isEmpty()) {
        return;
    }
    m_csPassword = ToBytes(text.left(kMaxLength));
    accept();
}

void CPasswordDlg::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
        case Qt::Key_Escape:
            return;
        case Qt::Key_Return:
        case Qt::Key_Enter:
            // The Cancel button keeps Enter when it has the focus, as any focused button.
            if (auto* button = qobject_cast<QPushButton*>(focusWidget());
                button != nullptr && button != FindControl<QPushButton>(this, kOk)) {
                button->click();
            } else {
                OnOk();
            }
            return;
        default:
            QDialog::keyPressEvent(event);
    }
}

}  // namespace kz::ui

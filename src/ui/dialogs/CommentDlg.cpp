#include "ui/dialogs/CommentDlg.h"
#include "ui/DialogLayout.h"

#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>

#include "ops/memory/MemImageFile.h"
#include "ops/memory/StartFlow.h"
#include "ui/UiText.h"
#include "ui/dialogs/FileDialogSupport.h"

namespace kz::ui {

CCommentDlg::CCommentDlg(const QString& formComment, QWidget* parent) : QDialog(parent) {
    setWindowTitle(Text(txt::kCommentEditCaption));

    m_pName = new QComboBox(this);
    m_pName->setEditable(true);
    m_pName->setInsertPolicy(QComboBox::NoInsert);
    m_pName->setMinimumContentsLength(48);
    m_pName->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    SetControlId(m_pName, kNameCombo);
    QPushButton* browser = MakeButton(this, txt::kBrowser, kBrowserButton);
    m_pComment = new QLineEdit(this);
    SetControlId(m_pComment, kCommentEdit);
    MakeCommentEdit(m_pComment);
    m_pOk = MakeButton(this, txt::kOk, ctl::kOk);
    QPushButton* cancel = MakeButton(this, txt::kCancel, ctl::kCancel);
    m_pOk->setDefault(true);
    browser->setAutoDefault(false);
    cancel->setAutoDefault(false);

    auto* grid = new QGridLayout;
    auto* nameLabel = new QLabel(Text(txt::kFileName), this);
    nameLabel->setBuddy(m_pName);
    auto* commentLabel = new QLabel(Text(txt::kComment), this);
    commentLabel->setBuddy(m_pComment);
    grid->addWidget(nameLabel, 0, 0);
    grid->addWidget(m_pName, 0, 1);
    grid->addWidget(browser, 0, 2);
    grid->addWidget(commentLabel, 1, 0);
    grid->addWidget(m_pComment, 1, 1, 1, 2);
    grid->setColumnStretch(1, 1);
    QHBoxLayout* buttons = ButtonRow({m_pOk, cancel});
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(grid);
    layout->addStretch();
    layout->addLayout(buttons);

    FillRecentFiles(m_pName);
    if (m_pName->count() > 0) {
        m_pName->setCurrentIndex(0);
    }
    if (Validate() && m_pComment->text().isEmpty()) {
        m_pComment->setText(formComment);
    }

    connect(m_pName, &QComboBox::editTextChanged, this, [this] { Validate(); });
    connect(browser, &QPushButton::clicked, this, &CCommentDlg::OnBrowser);
    connect(m_pOk, &QPushButton::clicked, this, &CCommentDlg::accept);
    connect(cancel, &QPushButton::clicked, this, &CCommentDlg::reject);
    FinishDialog(this);
}

bool CCommentDlg::Validate() {
    const auto comment = ImageComment(ToBytes(m_pName->currentText()));
    m_pComment->setText(comment ? DisplayText(*comment) : QString());
    m_pComment->setEnabled(comment.has_value());
    m_pOk->setEnabled(comment.has_value());
    return comment.has_value();
}

void CCommentDlg::OnBrowser() {
    if (const auto chosen = BrowseImageFile(this, windowTitle())) {
        m_pName->setEditText(DisplayText(*chosen));
        Validate();
    }
}

void CCommentDlg::accept() {
    const std::string name = ToBytes(m_pName->currentText());
    const std::string comment = LimitComment(ToBytes(m_pComment->text()));
    if (!m_pOk->isEnabled()) {
        return;
    }
    if (!MemImageFile::SetImageComment(name, comment)) {
        // The typed comment stays in the edit so that it can be stored again.
        QMessageBox::warning(this, windowTitle(), Text(txt::kCommentNotWritten));
        return;
    }
    m_csFileName = name;
    m_csComment = comment;
    QDialog::accept();
}

}  // namespace kz::ui

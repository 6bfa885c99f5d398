#include "ui/dialogs/FileSelectDlg.h"
#include "ui/DialogLayout.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>

#include "config/Settings.h"
#include "ops/memory/StartFlow.h"
#include "ui/UiText.h"
#include "ui/dialogs/FileDialogSupport.h"
#include "ui/dialogs/FolderBrowser.h"

namespace kz::ui {

CFileSelectDlg::CFileSelectDlg(SelectionMode mode, QWidget* parent)
    : QDialog(parent), m_mode(mode) {
    m_pName = new QComboBox(this);
    m_pName->setEditable(true);
    m_pName->setInsertPolicy(QComboBox::NoInsert);
    m_pName->setMinimumContentsLength(48);
    m_pName->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    SetControlId(m_pName, kNameCombo);
    m_pBrowser = MakeButton(this, txt::kBrowser, kBrowserButton);
    m_pAuto = new QCheckBox(Text(txt::kAutoFileName), this);
    SetControlId(m_pAuto, kAutoFileNameCheck);
    m_pNameLabel = new QLabel(this);
    SetControlId(m_pNameLabel, kNameLabel);
    m_pNameLabel->setBuddy(m_pName);
    m_pComment = new QLineEdit(this);
    SetControlId(m_pComment, kCommentEdit);
    MakeCommentEdit(m_pComment);
    m_pComment->setReadOnly(true);
    m_pCommentLabel = new QLabel(Text(txt::kComment), this);
    SetControlId(m_pCommentLabel, kCommentLabel);
    m_pCommentLabel->setBuddy(m_pComment);
    m_pOk = MakeButton(this, txt::kOk, ctl::kOk);
    QPushButton* cancel = MakeButton(this, txt::kCancel, ctl::kCancel);
    m_pOk->setDefault(true);
    m_pBrowser->setAutoDefault(false);
    cancel->setAutoDefault(false);

    auto* grid = new QGridLayout;
    grid->addWidget(m_pNameLabel, 0, 0);
    grid->addWidget(m_pName, 0, 1);
    grid->addWidget(m_pBrowser, 0, 2);
    grid->addWidget(m_pAuto, 1, 1, 1, 2);
    grid->addWidget(m_pCommentLabel, 2, 0);
    grid->addWidget(m_pComment, 2, 1, 1, 2);
    grid->setColumnStretch(1, 1);
    QHBoxLayout* buttons = ButtonRow({m_pOk, cancel});
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(grid);
    layout->addStretch();
    layout->addLayout(buttons);

    FillRecentFiles(m_pName);
    m_pAuto->setChecked(CSettings().GetAutoFileName());
    const bool cf = mode == SelectionMode::CfReceive || mode == SelectionMode::CfSend;
    m_pAuto->setVisible(mode == SelectionMode::Backup);
    m_pComment->setVisible(!cf);
    m_pCommentLabel->setVisible(!cf);
    m_pOk->setEnabled(false);
    ApplyFolderMode();

    connect(m_pName, &QComboBox::editTextChanged, this, &CFileSelectDlg::Validate);
    connect(m_pAuto, &QCheckBox::clicked, this, &CFileSelectDlg::OnAutoFileNameClicked);
    connect(m_pBrowser, &QPushButton::clicked, this, &CFileSelectDlg::OnBrowser);
    connect(m_pOk, &QPushButton::clicked, this, &CFileSelectDlg::accept);
    connect(cancel, &QPushButton::clicked, this, &CFileSelectDlg::reject);
}

bool CFileSelectDlg::FolderMode() const {
    return IsFolderSelection(m_mode, m_pAuto->isChecked());
}

std::string CFileSelectDlg::NameBytes() const {
    return ToBytes(m_pName->currentText());
}

void CFileSelectDlg::ApplyFolderMode() {
    const bool folder = FolderMode();
    setWindowTitle(Text(folder ? txt::kFolderSelectionCaption : txt::kFileSelectionCaption));
    m_pNameLabel->setText(Text(folder ? txt::kFolderNameLabel : txt::kFileNameLabel));
    if (folder) {
        m_pComment->clear();
    }
}

void CFileSelectDlg::OnAutoFileNameClicked(bool checked) {
    // The controller and the backup read AUTOFILENAME from the file: when it cannot be
    // stored, the box goes back so the dialog does not ask for the other kind of name. A
    // missing KZMNT.INI is created: the change must reach the file to count.
    CSettings settings;
    if (!settings.CreateIfMissing() || !settings.SetAutoFileName(checked ? 1 : 0)) {
        m_pAuto->setChecked(!checked);
        QMessageBox::warning(this, windowTitle(), Text(settings.SaveError()));
        return;
    }
    ApplyFolderMode();
    Validate();
}

void CFileSelectDlg::OnBrowser() {
    if (FolderMode()) {
        CFolderBrowser browser(this, WorkFolder());
        if (browser.DoModal() != CFolderBrowser::kOk || browser.Folder().empty()) {
            return;
        }
        CSettings().SetWorkPath(browser.Folder());
        m_pComment->clear();
        m_pName->setEditText(DisplayText(browser.Folder()));
    } else {
        const auto chosen = BrowseImageFile(this, windowTitle());
        if (!chosen) {
            return;
        }
        const std::string path = WithMemExtension(*chosen);
        const auto slash = path.rfind('/');
        if (slash != std::string::npos) {
            CSettings().SetWorkPath(path.substr(0, slash));
        }
        // The name's validation shows the image's comment, or clears it.
        m_pName->setEditText(DisplayText(path));
    }
    Validate();
}

void CFileSelectDlg::Validate() {
    const std::string name = NameBytes();
    m_pOk->setEnabled(!name.empty() && FileSelectionValid(m_mode, m_pAuto->isChecked(), name));
    if (m_mode == SelectionMode::Backup) {
        m_pComment->setReadOnly(false);
    }
    const auto comment = ImageComment(name);
    m_pComment->setText(comment ? DisplayText(*comment) : QString());
}

void CFileSelectDlg::accept() {
    const std::string name = NameBytes();
    if (name.empty()) {
        return;
    }
    if (!FileSelectionValid(m_mode, m_pAuto->isChecked(), name)) {
        // The file system changed since the name was checked.
        Validate();
        return;
    }
    m_csFileName = name;
    const bool cf = m_mode == SelectionMode::CfReceive || m_mode == SelectionMode::CfSend;
    m_csComment = cf ? std::string() : LimitComment(ToBytes(m_pComment->text()));
    QDialog::accept();
}

}  // namespace kz::ui

#include "ui/dialogs/FileSelectDlg.h"
#include "ui/DialogLayout.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalBlocker>

#include "config/Settings.h"
#include "ops/memory/StartFlow.h"
#include "ui/UiText.h"
#include "ui/dialogs/FileDialogSupport.h"
#include "ui/dialogs/FolderBrowser.h"

namespace kz::ui {

namespace {

constexpr int kTitleFormat = 20406;
constexpr int kEmptyHint = 20407;

FilePurpose PurposeOf(SelectionMode mode) {
    switch (mode) {
        case SelectionMode::Backup:
            return FilePurpose::Backup;
        case SelectionMode::Verify:
            return FilePurpose::Verify;
        case SelectionMode::CfReceive:
            return FilePurpose::CfReceive;
        case SelectionMode::CfSend:
            return FilePurpose::CfSend;
        default:
            return FilePurpose::Restore;
    }
}

// The command's name in the title.
int PurposeText(FilePurpose purpose) {
    return 20400 + static_cast<int>(purpose);
}

int HintText(SelectionProblem problem) {
    switch (problem) {
        case SelectionProblem::None:
        case SelectionProblem::UnknownMode:
            return 0;
        case SelectionProblem::Empty:
            return kEmptyHint;
        case SelectionProblem::FolderExists:
            return 20408;
        case SelectionProblem::NoMemExtension:
            return 20409;
        case SelectionProblem::NothingThere:
            return 20410;
        case SelectionProblem::FileExists:
            return 20411;
        case SelectionProblem::DotInFolder:
            return 20412;
        case SelectionProblem::NoSuchFolder:
            return 20413;
    }
    return 0;
}

}  // namespace

CFileSelectDlg::CFileSelectDlg(SelectionMode mode, QWidget* parent)
    : CFileSelectDlg(mode, PurposeOf(mode), parent) {}

std::string CFileSelectDlg::LastFileKey(FilePurpose purpose) {
    static const char* const kKeys[] = {"BACKUP",    "RESTORE", "VERIFY",
                                        "CFRECEIVE", "CFSEND",  "PROPERTY"};
    return kKeys[static_cast<int>(purpose)];
}

CFileSelectDlg::CFileSelectDlg(SelectionMode mode, FilePurpose purpose, QWidget* parent)
    : QDialog(parent), m_mode(mode), m_purpose(purpose) {
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
    m_pHint = new QLabel(this);
    m_pHint->setObjectName(QString::fromLatin1(kHintName));
    m_pHint->setWordWrap(true);
    // Two lines are kept free so that the dialog does not jump as the hint comes and goes.
    m_pHint->setMinimumHeight(m_pHint->fontMetrics().lineSpacing() * 2);
    m_pHint->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    m_pComment = new QLineEdit(this);
    SetControlId(m_pComment, kCommentEdit);
    MakeCommentEdit(m_pComment);
    ShowReadOnly(m_pComment);
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
    grid->addWidget(m_pHint, 1, 1, 1, 2);
    grid->addWidget(m_pAuto, 2, 1, 1, 2);
    grid->addWidget(m_pCommentLabel, 3, 0);
    grid->addWidget(m_pComment, 3, 1, 1, 2);
    grid->setColumnStretch(1, 1);
    QHBoxLayout* buttons = ButtonRow({m_pOk, cancel});
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(grid);
    layout->addStretch();
    layout->addLayout(buttons);

    CSettings settings;
    m_pAuto->setChecked(settings.GetAutoFileName());
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
    const std::string last = settings.GetLastFile(LastFileKey(m_purpose));
    if (last.empty()) {
        m_pHint->setText(Text(kEmptyHint));
    } else {
        m_pName->setEditText(DisplayText(last));
        Validate();
    }
    FinishDialog(this);
}

bool CFileSelectDlg::FolderMode() const {
    return IsFolderSelection(m_mode, m_pAuto->isChecked());
}

std::string CFileSelectDlg::NameBytes() const {
    return ToBytes(m_pName->currentText());
}

void CFileSelectDlg::ApplyFolderMode() {
    const bool folder = FolderMode();
    setWindowTitle(
        Text(kTitleFormat)
            .arg(Text(folder ? txt::kFolderSelectionCaption : txt::kFileSelectionCaption),
                 Text(PurposeText(m_purpose))));
    m_pNameLabel->setText(Text(folder ? txt::kFolderNameLabel : txt::kFileNameLabel));
    if (folder) {
        m_pComment->clear();
    }
    FillRecentList();
}

void CFileSelectDlg::FillRecentList() {
    const QString text = m_pName->currentText();
    const QSignalBlocker quiet(m_pName);
    m_pName->clear();
    FillRecentFiles(m_pName, FolderMode() ? RecentKind::Folders : RecentKind::Images);
    m_pName->setEditText(text);
}

std::string CFileSelectDlg::BrowseFolder() const {
    const QString name = m_pName->currentText().trimmed();
    if (!name.isEmpty()) {
        const QFileInfo info(name);
        if (info.isDir()) {
            return ToBytes(info.absoluteFilePath()) + "/";
        }
        if (info.absoluteDir().exists()) {
            return ToBytes(info.absolutePath()) + "/";
        }
    }
    return WorkFolder();
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
        CFolderBrowser browser(this, BrowseFolder());
        if (browser.DoModal() != CFolderBrowser::kOk || browser.Folder().empty()) {
            return;
        }
        CSettings().SetWorkPath(browser.Folder());
        m_pComment->clear();
        m_pName->setEditText(DisplayText(browser.Folder()));
    } else {
        const auto chosen = BrowseImageFile(this, windowTitle(), BrowseFolder());
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
    const SelectionProblem problem = FileSelectionProblem(m_mode, m_pAuto->isChecked(), name);
    m_pOk->setEnabled(problem == SelectionProblem::None);
    const int hint = HintText(problem);
    m_pHint->setText(hint != 0 ? Text(hint) : QString());
    if (m_mode == SelectionMode::Backup) {
        ShowReadOnly(m_pComment, false);
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
    // The next selection for this command starts from this name. Nothing is created for
    // it: without KZMNT.INI the name is simply not kept.
    CSettings().SetLastFile(LastFileKey(m_purpose), name);
    QDialog::accept();
}

}  // namespace kz::ui

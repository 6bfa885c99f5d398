// The file selection dialog (dialog 143): the image file, or the folder, that a backup,
// restore, verify or CF transfer works on, and the comment of a backup.
//
//   mode 1 (backup), AUTOFILENAME on, 4 (CF receive), 5 (CF send): folder mode
//   modes 1 (AUTOFILENAME off), 2 (restore), 3 (verify):            file mode
//
// The title names the command the name is for. The name starts as the last one taken for
// that command (section LASTFILE of the settings); the recent list offers the images of
// File1..File5 when a file is asked for and their folders when a folder is.
// OK is enabled only while the name is acceptable for the mode (FileSelectionValid); while
// it is not, the line under the name says why. Check box 1032 (backup only) switches
// AUTOFILENAME in the settings at once. Browser starts in the folder of the name shown.
// The dialog works modal (exec) and window-modal (open, then finished(int)).
//
// Thread-safety: GUI thread only.
#pragma once

#include <QDialog>
#include <string>

#include "ops/memory/FileSelection.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace kz::ui {

// The command a name is chosen for: it names the dialog and keeps its own last name.
enum class FilePurpose { Backup, Restore, Verify, CfReceive, CfSend, Property };

class CFileSelectDlg : public QDialog {
    Q_OBJECT
  public:
    static constexpr int kNameCombo = 1000;
    static constexpr int kBrowserButton = 1001;
    static constexpr int kCommentEdit = 1018;
    static constexpr int kAutoFileNameCheck = 1032;
    static constexpr int kNameLabel = 1038;
    static constexpr int kCommentLabel = 1041;

    // Object name of the line that says why OK is disabled.
    static constexpr const char* kHintName = "selectionHint";

    // The purpose follows from the mode (restore for mode 2).
    explicit CFileSelectDlg(SelectionMode mode, QWidget* parent = nullptr);
    CFileSelectDlg(SelectionMode mode, FilePurpose purpose, QWidget* parent = nullptr);

    // The key of section LASTFILE that keeps the purpose's last name.
    static std::string LastFileKey(FilePurpose purpose);

    // After OK: the chosen file or folder (bytes as typed or browsed) and the comment
    // (bytes, at most kCommentLimit; empty in modes 4 and 5).
    std::string FileName() const { return m_csFileName; }
    std::string Comment() const { return m_csComment; }

    SelectionMode Mode() const { return m_mode; }
    // True while the dialog asks for a folder.
    bool FolderMode() const;

  public slots:
    // Takes the controls' values and closes with OK; keeps the dialog open while the name
    // is empty or no longer acceptable.
    void accept() override;

  private:
    void ApplyFolderMode();
    void FillRecentList();
    // The folder Browser starts in: the name's own folder when it is one, else the folder
    // it lies in, else WORKPATH.
    std::string BrowseFolder() const;
    void OnAutoFileNameClicked(bool checked);
    void OnBrowser();
    void Validate();
    std::string NameBytes() const;

    SelectionMode m_mode;
    FilePurpose m_purpose;
    std::string m_csFileName;
    std::string m_csComment;
    QComboBox* m_pName = nullptr;
    QPushButton* m_pBrowser = nullptr;
    QCheckBox* m_pAuto = nullptr;
    QLabel* m_pNameLabel = nullptr;
    QLabel* m_pCommentLabel = nullptr;
    QLabel* m_pHint = nullptr;
    QLineEdit* m_pComment = nullptr;
    QPushButton* m_pOk = nullptr;
};

}  // namespace kz::ui

// The Comment Edit dialog (dialog 133): rewrites the comment stored in a backup image.
// The file is chosen from the recent list (combo 1019), typed, or browsed (1042); the
// comment edit 1018 and OK are enabled only while the name is a file whose image header
// loads. OK stores the comment; when it cannot be stored the dialog says so and stays
// open.
//
// Thread-safety: GUI thread only.
#pragma once

#include <QDialog>
#include <QString>
#include <string>

class QComboBox;
class QLineEdit;
class QPushButton;

namespace kz::ui {

class CCommentDlg : public QDialog {
    Q_OBJECT
  public:
    static constexpr int kNameCombo = 1019;
    static constexpr int kBrowserButton = 1042;
    static constexpr int kCommentEdit = 1018;

    // The name starts as the newest recent file (File1) and the edit shows its image's
    // comment. formComment, the comment the main window shows, is offered instead when
    // that image has none.
    explicit CCommentDlg(const QString& formComment, QWidget* parent = nullptr);

    // After OK: the file whose comment was rewritten and the comment stored (bytes).
    std::string FileName() const { return m_csFileName; }
    std::string Comment() const { return m_csComment; }

  public slots:
    // Stores the comment; closes with OK only when it was stored.
    void accept() override;

  private:
    // Shows the comment of the named image; returns true when its header loaded.
    bool Validate();
    void OnBrowser();

    std::string m_csFileName;
    std::string m_csComment;
    QComboBox* m_pName = nullptr;
    QLineEdit* m_pComment = nullptr;
    QPushButton* m_pOk = nullptr;
};

}  // namespace kz::ui

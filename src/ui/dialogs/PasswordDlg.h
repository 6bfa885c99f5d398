// The panel password (dialog 142): a hidden edit of at most 24 characters, the most the
// panel's password code holds. OK or Enter with an empty edit does nothing; Escape does
// nothing; Cancel ends with Rejected.
#pragma once

#include <QDialog>
#include <string>

class QLineEdit;

namespace kz::ui {

class CPasswordDlg : public QDialog {
    Q_OBJECT
  public:
    static constexpr int kEdit = 1035;
    static constexpr int kOk = 1028;
    static constexpr int kCancel = 1029;
    static constexpr int kMaxLength = 24;

    explicit CPasswordDlg(QWidget* parent = nullptr);

    // The password after OK (UTF-8).
    std::string Password() const { return m_csPassword; }

  protected:
    void keyPressEvent(QKeyEvent* event) override;

  private:
    void OnOk();

    QLineEdit* m_pEdit;
    std::string m_csPassword;
};

}  // namespace kz::ui

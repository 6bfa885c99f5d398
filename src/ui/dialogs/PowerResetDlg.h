// The wait while the panel is switched off and on (dialog 140), modeless. Cancel, and the
// window's close box, only tell the owner through onCancel: the dialog stays until its
// owner deletes it. Enter and Escape do nothing.
#pragma once

#include <QDialog>
#include <functional>

namespace kz::ui {

class CPowerResetDlg : public QDialog {
    Q_OBJECT
  public:
    static constexpr int kCancel = 2;

    explicit CPowerResetDlg(std::function<void()> onCancel, QWidget* parent = nullptr);

    // Escape and the close box end here: only the owner's callback runs.
    void reject() override;

  protected:
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

  private:
    std::function<void()> m_onCancel;
};

}  // namespace kz::ui

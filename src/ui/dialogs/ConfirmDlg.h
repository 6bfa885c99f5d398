// The model-information dialog (dialog 135): shows the model the running memory operation
// recognised (ConfirmModel's result) so that the user confirms it with OK or stops the
// operation with Cancel. The controller reads everything else from the same ModelInfo.
//
// Thread-safety: GUI thread only.
#pragma once

#include <QDialog>

#include "ops/memory/ModelConfirm.h"

namespace kz::ui {

class CConfirmDlg : public QDialog {
    Q_OBJECT
  public:
    static constexpr int kMessage = 1023;

    // The caption is the text of info.captionId ("ModelInfomation" without one).
    explicit CConfirmDlg(const ModelInfo& info, QWidget* parent = nullptr);
};

}  // namespace kz::ui

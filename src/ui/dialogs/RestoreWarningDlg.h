// The restore warning (dialog 141, "Restoration is started."): the last chance to stop
// before a restore overwrites the unit's memory. OK (1028) accepts, Cancel (1029) and
// Escape reject.
//
// Thread-safety: GUI thread only.
#pragma once

#include <QDialog>

namespace kz::ui {

class CRestoreWarningDlg : public QDialog {
    Q_OBJECT
  public:
    static constexpr int kOkButton = 1028;
    static constexpr int kCancelButton = 1029;

    static constexpr int kSafetyBackup = 1320;

    // safetyBackup: the file of the safety backup taken before this restore (none: empty).
    explicit CRestoreWarningDlg(QWidget* parent = nullptr, const QString& safetyBackup = {});
};

}  // namespace kz::ui

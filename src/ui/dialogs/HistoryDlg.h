// Help → History: the service record "KZMNT-history.jsonl" of the program folder as a
// read-only table, the same rows and columns `kzmnt-cli history` prints (start, duration,
// operation, link, model, core ID, bytes, result, file, SHA-256), oldest first with the
// newest in view. Without a record it says that nothing has been recorded.
//
// Thread-safety: GUI thread only.
#pragma once

#include <QDialog>
#include <QStringList>

class QTreeWidget;

namespace kz::ui {

class CHistoryDlg : public QDialog {
    Q_OBJECT
  public:
    static constexpr int kTable = 1310;
    static constexpr int kEmpty = 1311;
    static constexpr int kClose = 1312;

    explicit CHistoryDlg(QWidget* parent = nullptr);

    // The table's rows (cells joined by '\t'), head row excluded.
    QStringList Rows() const;

  private:
    QTreeWidget* table_;
};

}  // namespace kz::ui

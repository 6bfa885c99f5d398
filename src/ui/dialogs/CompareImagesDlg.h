// File → Compare images: two backup images side by side without a panel. The user picks
// image A and image B (typed, or with Browser), Compare lists what differs, line for line as
// `kzmnt-cli diff` prints it (header fields, differing ranges, their count, equal or not); a
// file that is no image is named instead. The list is read-only; its lines can be selected
// and copied.
//
// Thread-safety: GUI thread only.
#pragma once

#include <QDialog>
#include <QStringList>

class QLineEdit;
class QListWidget;

namespace kz::ui {

class CCompareImagesDlg : public QDialog {
    Q_OBJECT
  public:
    static constexpr int kFirst = 1300;
    static constexpr int kSecond = 1301;
    static constexpr int kBrowseFirst = 1302;
    static constexpr int kBrowseSecond = 1303;
    static constexpr int kCompare = 1304;
    static constexpr int kResult = 1305;
    static constexpr int kClose = 1306;

    explicit CCompareImagesDlg(QWidget* parent = nullptr);

    // Compares the two files named in the fields and shows the result.
    void Compare();
    // The result list's lines, as shown.
    QStringList Lines() const;

  private:
    QLineEdit* first_;
    QLineEdit* second_;
    QListWidget* result_;
};

}  // namespace kz::ui

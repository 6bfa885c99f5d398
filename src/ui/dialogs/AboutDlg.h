// About (dialog 100): the program's icon, name and version, and the release history from
// "HISTORY.TXT" in the program folder, up to the line that begins with "END_TEXT" (what
// follows is kept for the developers). A missing history file leaves the box empty.
#pragma once

#include <QDialog>
#include <QString>
#include <string>

namespace kz::ui {

class CAboutDlg : public QDialog {
    Q_OBJECT
  public:
    static constexpr int kHistory = 1024;
    static constexpr int kOk = 1;

    explicit CAboutDlg(QWidget* parent = nullptr);

    // The history text shown for the file at path: its lines up to the first one whose
    // first 8 characters are "END_TEXT"; empty when the file cannot be read.
    static QString HistoryText(const std::string& path);
};

}  // namespace kz::ui

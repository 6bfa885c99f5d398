// The window's field tools: File → Compare images, Help → History and the restore warning
// after a safety backup.
#include <QLineEdit>
#include <filesystem>

#include "Shots.h"
#include "ops/History.h"
#include "ops/memory/MemImageFile.h"
#include "ui/UiText.h"
#include "ui/dialogs/CompareImagesDlg.h"
#include "ui/dialogs/HistoryDlg.h"
#include "ui/dialogs/RestoreWarningDlg.h"

namespace kz::shots {

using namespace kz::ui;

std::vector<Shot> FieldToolShots() {
    return {
        {"restore_warning_safety",
         []() -> QWidget* {
             return new CRestoreWarningDlg(
                 nullptr, QStringLiteral("/srv/kz/safety/KZ-DEMO_8C93_20261208-101500.mem"));
         }},
        {"compare_images",
         []() -> QWidget* {
             const std::string a = SampleFolder() + "sample.mem";
             const std::string b = SampleFolder() + "sample-after.mem";
             std::filesystem::copy_file(a, b, std::filesystem::copy_options::overwrite_existing);
             MemImageFile::SetImageComment(b, "Line 4 press, after the firmware update");
             auto* dialog = new CCompareImagesDlg;
             FindControl<QLineEdit>(dialog, CCompareImagesDlg::kFirst)
                 ->setText(QString::fromStdString(a));
             FindControl<QLineEdit>(dialog, CCompareImagesDlg::kSecond)
                 ->setText(QString::fromStdString(b));
             dialog->Compare();
             return dialog;
         }},
        {"history",
         []() -> QWidget* {
             const std::string path = HistoryPath();
             std::filesystem::remove(path);
             HistoryEntry backup;
             backup.start = "2026-12-08T10:15:00Z";
             backup.seconds = 1503.2;
             backup.operation = "backup";
             backup.link = "serial /dev/ttyUSB0";
             backup.coreId = "8C93";
             backup.model = "KZ-DEMO";
             backup.file = "/home/service/backups/line4-press.mem";
             backup.sha256 = "3f9a0c41d2e7b5a8";
             backup.bytes = 1179648;
             backup.result = 3299;
             backup.text = "Processing was completed.";
             AppendHistory(path, backup);
             HistoryEntry verify = backup;
             verify.start = "2026-12-08T10:42:10Z";
             verify.seconds = 812.0;
             verify.operation = "verify";
             verify.result = 4004;
             verify.text = "Data which is not in agreement by verification.";
             AppendHistory(path, verify);
             return new CHistoryDlg;
         }},
    };
}

}  // namespace kz::shots

// The main window: the detailed and simple layouts at rest, and the detailed layout in
// the middle of a backup (status lines, progress, the red power warning).
#include <QLabel>
#include <QLineEdit>

#include "Shots.h"
#include "config/StringTable.h"
#include "ui/MainFrame.h"
#include "ui/NQmntView.h"
#include "ui/UiText.h"

namespace kz::shots {

namespace {

QWidget* Frame(bool simple) {
    auto* frame = new ui::CMainFrame;
    frame->View()->SetSimpleLayout(simple);
    return frame;
}

}  // namespace

std::vector<Shot> WindowShots() {
    return {
        {"main-detailed", [] { return Frame(false); }},
        {"main-simple", [] { return Frame(true); }},
        {"main-backup-running",
         [] {
             auto* frame = static_cast<ui::CMainFrame*>(Frame(false));
             ui::CNQmntView* view = frame->View();
             ui::FindControl<QLineEdit>(view, 1043)
                 ->setText(QStringLiteral("/home/service/backups/line4-press.mem"));
             ui::FindControl<QLabel>(view, 1004)->setText(QStringLiteral("Line 4 press"));
             // In Japanese the model's name is Shift_JIS, as older model files hold it.
             const std::string model = CurrentLanguage() == Language::Japanese
                                           ? std::string("KZ-\x83\x66\x83\x82")
                                           : std::string("KZ-DEMO");
             view->OnModelName(model);
             for (const int id : {3200, 3203}) {
                 std::string line = GetString(id);
                 if (const auto at = line.find("%s"); at != std::string::npos) {
                     line.replace(at, 2, model);
                 }
                 view->OnStatusLine(line);
             }
             view->OnStatusLine("    FEPROM 000000-0FFFFF");
             view->OnProgress(42);
             view->OnPowerWarning(true);
             return frame;
         }},
    };
}

}  // namespace kz::shots

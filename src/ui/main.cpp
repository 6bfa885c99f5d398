// kzmnt, the desktop application.
//   kzmnt [--folder DIR]
// DIR is the program folder (KZMNT.INI, loader files, KZMNT.log); by default the folder of
// the executable. A second copy started while one runs brings the running window to the
// front and ends, saying so on stderr (or, when that window does not answer, in a message
// box too); when the lock that tells whether a copy runs cannot be taken at all, the
// program says why (on stderr and in a message box) and does not start.
#include <QApplication>
#include <QMessageBox>
#include <cstdio>
#include <cstring>
#include <string>

#include "config/MessageIds.h"
#include "config/StringTable.h"
#include "diag/Trace.h"
#include "platform/Format.h"
#include "platform/InstanceLock.h"
#include "platform/ProgramFolder.h"
#include "ui/InstanceBeacon.h"
#include "ui/MainFrame.h"
#include "ui/QtTexts.h"
#include "ui/UiText.h"

namespace {

constexpr char kUsage[] = "usage: kzmnt [--folder DIR]\n";
constexpr int kRaisedRunning = 20421;
constexpr int kRunningSilent = 20422;

// Why the single-instance lock cannot be taken.
std::string LockProblem(const kz::platform::InstanceLock& lock) {
    if (lock.GetState() == kz::platform::InstanceLock::State::FolderNotPrivate) {
        return kz::Format(kz::GetString(kz::msg::kLockFolderNotPrivate).c_str(),
                          lock.Folder().c_str());
    }
    return kz::Format(kz::GetString(kz::msg::kLockFileUnusable).c_str(), lock.Path().c_str(),
                      std::strerror(lock.Error()));
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--folder") == 0 && i + 1 < argc) {
            kz::platform::SetProgramFolder(argv[++i]);
        } else if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        } else {
            std::fputs(kUsage, stderr);
            return 2;
        }
    }
    kz::TraceMessage("KZmnt", "InitInstance Start\n");
    const kz::platform::InstanceLock lock("KZ Maintenance Tool");
    const QString beaconPath = kz::ui::CInstanceBeacon::PathForLock(lock.Path());
    if (lock.GetState() == kz::platform::InstanceLock::State::OtherCopy) {
        kz::LoadConfiguredResourceFile();
        const bool raised = kz::ui::CInstanceBeacon::RaiseRunning(beaconPath);
        const std::string text = kz::GetString(raised ? kRaisedRunning : kRunningSilent);
        std::fprintf(stderr, "kzmnt: %s\n", text.c_str());
        std::fflush(stderr);
        if (raised) {
            return 0;
        }
        QApplication app(argc, argv);
        kz::ui::InstallQtTexts(app);
        QMessageBox::information(nullptr, kz::ui::Text(kz::msg::kAppTitle),
                                 QString::fromStdString(text));
        return 1;
    }
    kz::LoadConfiguredResourceFile();
    if (!lock.Held()) {
        const std::string problem = LockProblem(lock);
        std::fprintf(stderr, "kzmnt: %s\n", problem.c_str());
        std::fflush(stderr);
        QApplication app(argc, argv);
        kz::ui::InstallQtTexts(app);
        QMessageBox::critical(nullptr, kz::ui::Text(kz::msg::kAppTitle),
                              QString::fromStdString(problem));
        return 1;
    }

    QApplication app(argc, argv);
    kz::ui::InstallQtTexts(app);
    kz::ui::CMainFrame frame;
    // A second start asks this window to come to the front; without the socket it still
    // ends at once, and says that this window did not answer.
    kz::ui::CInstanceBeacon beacon;
    QObject::connect(&beacon, &kz::ui::CInstanceBeacon::raiseRequested, &frame,
                     [&frame] { kz::ui::BringToFront(&frame); });
    beacon.Listen(beaconPath);
    frame.show();
    kz::TraceMessage("KZmnt", "InitInstance End\n");
    return app.exec();
}

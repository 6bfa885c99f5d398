// kzmnt, the desktop application.
//   kzmnt [--folder DIR]
// DIR is the program folder (KZMNT.INI, loader files, KZMNT.log); by default the folder of
// the executable. A second copy started while one runs ends at once, without a window; when
// the lock that tells whether a copy runs cannot be taken at all, the program says why
// (on stderr and in a message box) and does not start.
#include <QApplication>
#include <QLibraryInfo>
#include <QMessageBox>
#include <QTranslator>
#include <cstdio>
#include <cstring>
#include <string>

#include "config/MessageIds.h"
#include "config/StringTable.h"
#include "diag/Trace.h"
#include "platform/Format.h"
#include "platform/InstanceLock.h"
#include "platform/ProgramFolder.h"
#include "ui/MainFrame.h"
#include "ui/UiText.h"

namespace {

constexpr char kUsage[] = "usage: kzmnt [--folder DIR]\n";

// Qt's own texts (the file dialog, edit menus, message box buttons) follow the program's
// language.
void InstallQtTexts(QApplication& app, QTranslator& qtTexts) {
    if (kz::CurrentLanguage() == kz::Language::Japanese &&
        qtTexts.load(QStringLiteral("qtbase_ja"),
                     QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        app.installTranslator(&qtTexts);
    }
}

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
    if (lock.GetState() == kz::platform::InstanceLock::State::OtherCopy) {
        return 1;
    }
    kz::LoadConfiguredResourceFile();
    if (!lock.Held()) {
        const std::string problem = LockProblem(lock);
        std::fprintf(stderr, "kzmnt: %s\n", problem.c_str());
        std::fflush(stderr);
        QApplication app(argc, argv);
        QTranslator qtTexts;
        InstallQtTexts(app, qtTexts);
        QMessageBox::critical(nullptr, kz::ui::Text(kz::msg::kAppTitle),
                              QString::fromStdString(problem));
        return 1;
    }

    QApplication app(argc, argv);
    QTranslator qtTexts;
    InstallQtTexts(app, qtTexts);
    kz::ui::CMainFrame frame;
    frame.show();
    kz::TraceMessage("KZmnt", "InitInstance End\n");
    return app.exec();
}

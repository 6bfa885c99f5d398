// kzmnt, the desktop application.
//   kzmnt [--folder DIR]
// DIR is the program folder (KZMNT.INI, loader files, KZMNT.log); by default the folder of
// the executable. A second copy started while one runs ends at once, without a window.
#include <QApplication>
#include <QLibraryInfo>
#include <QTranslator>
#include <cstdio>
#include <cstring>
#include <string>

#include "config/StringTable.h"
#include "diag/Trace.h"
#include "platform/InstanceLock.h"
#include "platform/ProgramFolder.h"
#include "ui/MainFrame.h"

namespace {

constexpr char kUsage[] = "usage: kzmnt [--folder DIR]\n";

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
    if (!lock.Held()) {
        return 1;
    }
    kz::LoadConfiguredResourceFile();

    QApplication app(argc, argv);
    // Qt's own texts (the file dialog, edit menus) follow the program's language.
    QTranslator qtTexts;
    if (kz::CurrentLanguage() == kz::Language::Japanese &&
        qtTexts.load(QStringLiteral("qtbase_ja"),
                     QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        app.installTranslator(&qtTexts);
    }
    kz::ui::CMainFrame frame;
    frame.show();
    kz::TraceMessage("KZmnt", "InitInstance End\n");
    return app.exec();
}

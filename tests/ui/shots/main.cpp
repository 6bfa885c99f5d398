// Renders the main window and every dialog, in English and in Japanese, to PNG files:
//   kzmnt_screenshots DIR   writes DIR/en/<name>.png and DIR/ja/<name>.png
// The widgets run on the offscreen platform in a sample program folder (settings with a
// Shift_JIS model name, a backup image, a history file). Exit status 1 when a picture
// could not be written.
#include <QApplication>
#include <QDir>
#include <QFont>
#include <QPixmap>
#include <QTest>
#include <cstdio>
#include <memory>

#include "Shots.h"
#include "config/StringTable.h"
#include "ops/memory/MemImageFile.h"
#include "platform/ProgramFolder.h"
#include "support/TempDir.h"

namespace kz::shots {

namespace {

test::TempDir* g_folder = nullptr;

// The demo panel's model, a second one named in Shift_JIS ("KZ-デモ"), and the serial line.
constexpr char kSampleIni[] =
    "[CONFIG]\r\nCOM=3\r\nBau=115200\r\nWriteTimeout=30\r\nReadTimeout=10\r\nRetry=3\r\n"
    "DISPMODE=0\r\nAUTOFILENAME=0\r\n"
    "File1=/home/service/backups/line4-press.mem\r\nFile2=/home/service/backups/kz-demo.mem\r\n"
    "[PORTS]\r\nCOM3=/dev/serial/by-id/usb-FTDI_USB_Serial-if00-port0\r\n"
    "[KZ-DEMO]\r\nID=8C93\r\nILOADER=DEMO.LDR\r\nBAU=115200\r\nSIGNATURE=1,8C930001,EQ\r\n"
    "IOCODE=C3\r\nCHKMEM=100000,20000\r\nBK_FILE=DEMO\r\nFROM1=0,100000\r\n"
    "SRAM1=400000,20000,20000\r\n"
    "[KZ-\x83\x66\x83\x82]\r\nID=8C94\r\nILOADER=DEMO.LDR\r\nFROM1=0,80000\r\nFROM2=200000,"
    "80000\r\n"
    "SRAM1=400000,10000,10000\r\n";

constexpr char kHistory[] =
    "KZ maintenance tool\n\n3.0  Backup, restore and verify over the LAN.\n"
    "     CF card files over serial and LAN.\n2.1  Automatic backup file names.\n"
    "END_TEXT\nNotes below this line are not shown.\n";

void WriteSampleImage(const std::string& path) {
    MemImageFile image;
    image.SetFileName(path);
    image.SetHeaderKind(1);
    image.SetModelName("KZ-DEMO");
    image.SetDescriptorVersion();
    image.SetCoreID("8C93");
    image.SetIOCode("C3");
    image.SetComment("Line 4 press, before the firmware update");
    image.WriteHeader();
}

bool Render(QWidget* widget, const QString& file) {
    widget->show();
    QApplication::processEvents();
    QTest::qWait(50);
    QWidget* target = widget->window();
    return target->grab().save(file, "PNG");
}

}  // namespace

std::string SampleFolder() {
    return g_folder ? g_folder->str() : std::string();
}

}  // namespace kz::shots

int main(int argc, char** argv) {
    using namespace kz;
    QApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: kzmnt_screenshots DIR\n");
        return 2;
    }
    const QString outDir = QString::fromLocal8Bit(argv[1]);

    test::TempDir folder;
    shots::g_folder = &folder;
    folder.Write("KZMNT.INI", shots::kSampleIni);
    folder.Write("HISTORY.TXT", shots::kHistory);
    shots::WriteSampleImage(folder.str() + "sample.mem");
    platform::SetProgramFolder(folder.str());

    std::vector<shots::Shot> all = shots::WindowShots();
    for (auto* list : {&shots::RunShots, &shots::FileDialogShots, &shots::SetupDialogShots,
                       &shots::FieldToolShots}) {
        auto more = (*list)();
        all.insert(all.end(), more.begin(), more.end());
    }

    int failures = 0;
    const std::pair<Language, const char*> languages[] = {{Language::English, "en"},
                                                          {Language::Japanese, "ja"}};
    for (const auto& [language, tag] : languages) {
        SetLanguage(language);
        QDir().mkpath(outDir + "/" + tag);
        for (const shots::Shot& shot : all) {
            std::unique_ptr<QWidget> widget(shot.make());
            const QString file =
                outDir + "/" + tag + "/" + QString::fromStdString(shot.name) + ".png";
            if (!widget || !shots::Render(widget.get(), file)) {
                std::fprintf(stderr, "could not render %s\n", qPrintable(file));
                ++failures;
            }
        }
    }
    std::printf("%zu pictures in %s\n", all.size() * 2, qPrintable(outDir));
    return failures == 0 ? 0 : 1;
}

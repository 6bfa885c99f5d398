// A backup, a verify and a restore through the window against the simulated panel, with
// every dialog answered as a user would: the file name typed into the file selection, the
// model information and the restore warning confirmed. A backup without a panel ends with a
// failure the simple layout shows; closing the window during a backup aborts it and keeps
// the image that was there.
#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QProgressBar>
#include <QTest>
#include <QTreeWidget>
#include <filesystem>
#include <random>

#include "UiTestSupport.h"
#include "config/MessageIds.h"
#include "config/StringTable.h"
#include "lan/LanLibrary.h"
#include "lan/NetworkSearch.h"
#include "sim/LanServer.h"
#include "sim/PanelDescription.h"
#include "support/PanelFixture.h"
#include "support/SimBench.h"
#include "ui/MainFrame.h"
#include "ui/NQmntView.h"
#include "ui/UiText.h"
#include "ui/dialogs/ConfirmDlg.h"
#include "ui/dialogs/NodeListDlg.h"
#include "ui/dialogs/RestoreWarningDlg.h"

using namespace kz;
using namespace kz::ui;

namespace {

// Types path (and a comment) into the file selection and presses OK.
void ChooseFile(const std::string& path, const QString& comment = {}) {
    uitest::WhenModal([path, comment](QWidget* dialog) {
        auto* name = FindControl<QComboBox>(dialog, 1000);
        QVERIFY(name);
        name->setEditText(QString::fromStdString(path));
        if (!comment.isEmpty()) {
            FindControl<QLineEdit>(dialog, 1018)->setText(comment);
        }
        auto* ok = FindControl<QAbstractButton>(dialog, 1);
        QVERIFY(ok && ok->isEnabled());
        ok->click();
    });
}

// Waits for the dialog of type T the operation opens and presses its button buttonId.
template <class T>
bool Confirm(int buttonId) {
    if (!QTest::qWaitFor([] { return qobject_cast<T*>(QApplication::activeModalWidget()); },
                         60000)) {
        return false;
    }
    auto* button = FindControl<QAbstractButton>(QApplication::activeModalWidget(), buttonId);
    if (!button) {
        return false;
    }
    button->click();
    return true;
}

QString LastStatusLine(CNQmntView* view) {
    auto* list = FindControl<QListWidget>(view, 1002);
    return list->count() ? list->item(list->count() - 1)->text() : QString();
}

}  // namespace

class WindowRunTest : public QObject {
    Q_OBJECT

  private slots:
    void BackupVerifyRestoreThroughTheWindow() {
        test::ModelChoices choices;
        choices.loaderFile = "DEMO.LDR";
        choices.offset = 0x4000;
        const sim::PanelDescription panel = test::TestPanel();
        test::SimBench bench({}, panel, test::ModelSection(panel, choices));
        SetLanguage(Language::English);
        CMainFrame frame;
        frame.show();
        CNQmntView* view = frame.View();
        const std::string image = bench.folder.Path("panel.mem");
        const QString completed = Text(msg::kCompleted);

        ChooseFile(image, QStringLiteral("through the window"));
        view->Action(cmd::kBackUp)->trigger();
        QVERIFY(view->Busy());
        QVERIFY(Confirm<CConfirmDlg>(1));
        QTRY_VERIFY_WITH_TIMEOUT(!view->Busy(), 60000);
        QCOMPARE(LastStatusLine(view), completed);
        QCOMPARE(FindControl<QLabel>(view, 1006)->text(), QStringLiteral("KZ-TEST"));
        const std::string backup = bench.folder.dir().Read("panel.mem");
        QCOMPARE(backup.size(), std::size_t{1024 + 0x10000 + 0x4000});

        ChooseFile(image);
        view->Action(cmd::kVerify)->trigger();
        QVERIFY(Confirm<CConfirmDlg>(1));
        QTRY_VERIFY_WITH_TIMEOUT(!view->Busy(), 60000);
        QCOMPARE(LastStatusLine(view), completed);
        QCOMPARE(FindControl<QLabel>(view, 1004)->text(), QStringLiteral("through the window"));

        for (std::uint32_t a = 0; a < 0x10000; a += 5) {
            bench.panel->SetMemoryByte(a, 0);
        }
        ChooseFile(image);
        view->Action(cmd::kRestore)->trigger();
        QVERIFY(Confirm<CRestoreWarningDlg>(1028));
        QVERIFY(Confirm<CConfirmDlg>(1));
        QTRY_VERIFY_WITH_TIMEOUT(!view->Busy(), 60000);
        QCOMPARE(LastStatusLine(view), completed);
        QVERIFY(bench.panel->MemoryEquals(
            0, std::span(reinterpret_cast<const std::uint8_t*>(backup.data()) + 1024, 0x10000)));
        // The log holds the last run's status list; the recent list the image.
        QVERIFY(bench.folder.dir().Read("KZMNT.log").find("Processing was completed.") !=
                std::string::npos);
        QVERIFY(bench.folder.dir().Read("KZMNT.INI").find("File1=" + image) != std::string::npos);
    }

    // With the automatic file name the form shows, at the end, the file the backup wrote.
    void AnAutomaticallyNamedBackupShowsItsFile() {
        test::ModelChoices choices;
        choices.loaderFile = "DEMO.LDR";
        choices.offset = 0x4000;
        const sim::PanelDescription panel = test::TestPanel();
        test::SimBench bench({}, panel, test::ModelSection(panel, choices));
        bench.WriteIni("AUTOFILENAME=1\r\n", test::ModelSection(panel, choices));
        SetLanguage(Language::English);
        CMainFrame frame;
        frame.show();
        CNQmntView* view = frame.View();
        const std::string folder = bench.folder.Path("images");
        std::filesystem::create_directory(folder);
        ChooseFile(folder);
        view->Action(cmd::kBackUp)->trigger();
        QVERIFY(Confirm<CConfirmDlg>(1));
        QTRY_VERIFY_WITH_TIMEOUT(!view->Busy(), 60000);
        QCOMPARE(view->LastOutcome(), CNQmntView::Outcome::Success);
        const QString shown = FindControl<QLineEdit>(view, 1043)->text();
        QVERIFY2(shown.startsWith(QString::fromStdString(folder) + "/bk") && shown.endsWith(".MEM"),
                 qPrintable(shown));
        QVERIFY(std::filesystem::is_regular_file(shown.toStdString()));
    }

    // The simple layout has no status list: the result line is where the failure shows.
    void ABackupWithoutAPanelShowsItsFailure() {
        uitest::ProgramFolder folder("[CONFIG]\r\nDISPMODE=1\r\nCOM=1\r\n[PORTS]\r\nCOM1=" +
                                     std::string("/nonexistent/kz-tty") + "\r\n");
        CMainFrame frame;
        frame.show();
        CNQmntView* view = frame.View();
        QVERIFY(view->SimpleMode());
        ChooseFile(folder.Path("none.mem"));
        view->Action(cmd::kBackUp)->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(!view->Busy(), 60000);
        QCOMPARE(view->LastOutcome(), CNQmntView::Outcome::Failure);
        auto* result = FindControl<QLabel>(view, 1062);
        QVERIFY(result->isVisible());
        QCOMPARE(result->text(), DisplayText(view->StatusLines().back()));
        QVERIFY(result->text() != Text(msg::kCompleted));
    }

    // Closing during a backup asks, aborts the run, waits for its end and closes; the image
    // that was there before is kept byte for byte.
    void ClosingDuringABackupAbortsItAndKeepsTheOldImage() {
        test::ModelChoices choices;
        choices.loaderFile = "DEMO.LDR";
        choices.offset = 0x1000;
        const sim::PanelDescription panel = test::TestPanel();
        test::SimBench bench({}, panel, test::ModelSection(panel, choices));
        sim::FaultConfig slow;
        slow.answerDelay = std::chrono::milliseconds(30);  // a run that lasts some seconds
        bench.panel->SetFaults(slow);
        SetLanguage(Language::English);
        const std::string old = "an image from an earlier backup";
        bench.folder.dir().Write("panel.mem", old);
        auto frame = std::make_unique<CMainFrame>();
        frame->show();
        CNQmntView* view = frame->View();
        ChooseFile(bench.folder.Path("panel.mem"));
        uitest::WhenModal(
            [](QWidget* d) { qobject_cast<QMessageBox*>(d)->button(QMessageBox::Ok)->click(); },
            30000);  // the overwrite question
        view->Action(cmd::kBackUp)->trigger();
        QVERIFY(Confirm<CConfirmDlg>(1));
        // Data moves: the bar has left zero and the progress text counts the bytes.
        QTRY_VERIFY_WITH_TIMEOUT(FindControl<QProgressBar>(view, 1005)->value() > 0, 60000);
        QVERIFY(FindControl<QLabel>(view, 1060)->text().contains(QStringLiteral(" of ")));
        uitest::WhenModal([](QWidget* d) {
            auto* box = qobject_cast<QMessageBox*>(d);
            QVERIFY(box && box->text() == Text(msg::kAskAbort));
            box->button(QMessageBox::Ok)->click();
        });
        QVERIFY(!frame->close());
        QVERIFY(view->Busy());
        QTRY_VERIFY_WITH_TIMEOUT(!frame->isVisible(), 60000);
        QVERIFY(!view->Busy());
        QCOMPARE(bench.folder.dir().Read("panel.mem"), old);
        QVERIFY(bench.folder.dir().Read("KZMNT.log").find(GetString(msg::kAborted)) !=
                std::string::npos);
    }

    // On the LAN the search runs first and the user takes the panel from the node list.
    void LanBackupTakesThePanelFromTheNodeList() {
        uitest::ProgramFolder folder(
            "[CONFIG]\r\nCOMMTYPE=1\r\nAUTOFILENAME=0\r\n[DEMO]\r\nID=8C93\r\n"
            "SLOADER=SLOADER.BIN\r\nFROM1=00000000,00020000\r\nSRAM1=00400000,00010000,8000\r\n");
        folder.Write("SLOADER.BIN", std::string("\x00\x10\x00\x00SLDR", 8));
        std::filesystem::copy_file(KZ_KEVROSA_FILE, folder.dir().path() / lan::kLibraryFile);
        sim::PanelDescription panel = sim::DemoPanel();
        panel.fromSize = panel.regions[0].size = 0x20000;
        panel.sramSize = panel.regions[1].size = 0x10000;
        // The node list takes a panel on the default port: serve it on a loopback address
        // of this test's own (suites run in parallel).
        std::unique_ptr<sim::LanServer> server;
        std::mt19937 random(std::random_device{}());
        for (int attempt = 0; attempt < 20 && !server; ++attempt) {
            auto candidate = std::make_unique<sim::LanServer>(panel);
            const std::uint32_t host = 0x7F000000 | (random() & 0xFFFF00) | 1;
            std::string error;
            if (candidate->Start(static_cast<std::uint16_t>(lan::kDefaultPort), host, &error)) {
                server = std::move(candidate);
            }
        }
        QVERIFY(server);
        folder.Write("Kevrosa.conf", server->Endpoint() + "\n");

        CMainFrame frame;
        frame.show();
        CNQmntView* view = frame.View();
        ChooseFile(folder.Path("lan.mem"), QStringLiteral("over the LAN"));
        view->Action(cmd::kBackUp)->trigger();
        QVERIFY(QTest::qWaitFor(
            [] { return qobject_cast<CNodeListDlg*>(QApplication::activeModalWidget()); }, 60000));
        QWidget* nodes = QApplication::activeModalWidget();
        auto* list = FindControl<QTreeWidget>(nodes, 1015);
        QCOMPARE(list->topLevelItemCount(), 1);
        const QString host = QString::fromStdString(server->Endpoint()).section(':', 0, 0);
        QCOMPARE(list->topLevelItem(0)->text(0), host);
        list->setCurrentItem(list->topLevelItem(0));
        FindControl<QAbstractButton>(nodes, 1027)->click();
        QTRY_VERIFY_WITH_TIMEOUT(!view->Busy(), 60000);
        QCOMPARE(LastStatusLine(view), Text(msg::kCompleted));
        QCOMPARE(folder.Read("lan.mem").size(), std::size_t{1024 + 0x20000 + 0x10000});
        server->Stop();
    }
};

QTEST_MAIN(WindowRunTest)
#include "WindowRunTest.moc"

// The window's field tools against the simulated panel: the safety backup a restore takes
// first when SAFETYBACKUP is set (and the restore that does not start when it fails), File →
// Compare images, Help → History after a completed and a failed run, and the offer to
// resume a backup that an abort cut off.
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
#include <fstream>
#include <iterator>

#include "UiTestSupport.h"
#include "config/MessageIds.h"
#include "config/StringTable.h"
#include "ops/memory/MemImageFile.h"
#include "platform/Format.h"
#include "support/PanelFixture.h"
#include "support/SimBench.h"
#include "ui/MainFrame.h"
#include "ui/NQmntView.h"
#include "ui/UiText.h"
#include "ui/dialogs/CompareImagesDlg.h"
#include "ui/dialogs/ConfirmDlg.h"
#include "ui/dialogs/FileDialogSupport.h"
#include "ui/dialogs/HistoryDlg.h"
#include "ui/dialogs/RestoreWarningDlg.h"

using namespace kz;
using namespace kz::ui;
namespace fs = std::filesystem;

namespace {

// Types path into the file selection and presses OK.
void ChooseFile(const std::string& path) {
    uitest::WhenModal([path](QWidget* dialog) {
        auto* name = FindControl<QComboBox>(dialog, 1000);
        QVERIFY(name);
        name->setEditText(QString::fromStdString(path));
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

std::string ReadAll(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

// The test panel's model section: five transfer units of 16 KiB.
std::string Models() {
    test::ModelChoices choices;
    choices.loaderFile = "DEMO.LDR";
    choices.offset = 0x4000;
    return test::ModelSection(test::TestPanel(), choices);
}

std::unique_ptr<test::SimBench> MakeBench(const std::string& extraConfig = {}) {
    auto bench =
        std::make_unique<test::SimBench>(test::LinkSettings{}, test::TestPanel(), Models());
    if (!extraConfig.empty()) {
        bench->WriteIni(extraConfig, Models());
    }
    return bench;
}

// A backup of the panel into path through the window, model information confirmed.
bool BackUp(CNQmntView* view, const std::string& path) {
    ChooseFile(path);
    view->Action(cmd::kBackUp)->trigger();
    if (!Confirm<CConfirmDlg>(1)) {
        return false;
    }
    return QTest::qWaitFor([view] { return !view->Busy(); }, 60000) &&
           view->LastOutcome() == CNQmntView::Outcome::Success;
}

// The .mem files in folder.
std::vector<std::string> ImagesIn(const std::string& folder) {
    std::vector<std::string> found;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
        found.push_back(entry.path().filename().string());
    }
    return found;
}

// An image of one FROM area (0x100 bytes) and one SRAM area (0x40 bytes, stored as a unit of
// 0x80), data bytes i & 0xFF with the changes given.
std::string WriteImage(const std::string& path, const std::string& comment,
                       const std::vector<std::pair<std::size_t, std::uint8_t>>& changes = {}) {
    MemImageFile image;
    image.SetHeaderKind(kImageHeaderKind);
    image.SetHeaderFormat(kImageHeaderFormat);
    image.SetModelName("KZ-TEST");
    image.SetDescriptorVersion();
    image.SetCoreID("8C93");
    image.SetComment(comment);
    image.SetUnit(0x80);
    const std::vector<MemArea> areas = {{kAreaFrom, 0, 0x100, 0x100},
                                        {kAreaSram, 0x400000, 0x40, 0x40}};
    image.SetAreas(areas);
    const auto header = image.HeaderBytes();
    std::string bytes(header.begin(), header.end());
    std::string data(0x180, '\0');
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<char>(i & 0xFF);
    }
    for (const auto& [at, value] : changes) {
        data[at] = static_cast<char>(value);
    }
    std::ofstream(path, std::ios::binary) << bytes << data;
    return path;
}

}  // namespace

class FieldToolsTest : public QObject {
    Q_OBJECT

  private slots:
    void init() { SetLanguage(Language::English); }

    // With SAFETYBACKUP set, a restore first backs the panel up into that folder (relative
    // to the program folder); the restore warning names the file, which holds the panel as
    // it was, and only then is the image written.
    void RestoreTakesASafetyBackupFirst() {
        auto bench = MakeBench("SAFETYBACKUP=safety\r\n");
        CMainFrame frame;
        frame.show();
        CNQmntView* view = frame.View();
        const std::string image = bench->folder.Path("panel.mem");
        QVERIFY(BackUp(view, image));
        const std::string backup = ReadAll(image);
        for (std::uint32_t a = 0; a < 0x10000; a += 5) {
            bench->panel->SetMemoryByte(a, 0);
        }

        ChooseFile(image);
        view->Action(cmd::kRestore)->trigger();
        QVERIFY(Confirm<CConfirmDlg>(1));  // the safety backup's model information
        QVERIFY(QTest::qWaitFor(
            [] { return qobject_cast<CRestoreWarningDlg*>(QApplication::activeModalWidget()); },
            60000));
        const std::string folder = bench->folder.Path("safety");
        const std::vector<std::string> files = ImagesIn(folder);
        QCOMPARE(files.size(), std::size_t{1});
        QVERIFY2(files[0].starts_with("KZ-TEST_8C93_") && files[0].ends_with(".mem"),
                 files[0].c_str());
        const std::string safety = folder + "/" + files[0];
        auto* note = FindControl<QLabel>(QApplication::activeModalWidget(),
                                         CRestoreWarningDlg::kSafetyBackup);
        QVERIFY(note);
        QVERIFY2(note->text().contains(QString::fromStdString(safety)), qPrintable(note->text()));
        // Nothing has been written yet: the panel still holds what the safety backup read.
        QVERIFY(!bench->panel->MemoryEquals(
            0, std::span(reinterpret_cast<const std::uint8_t*>(backup.data()) + 1024, 0x10000)));
        QVERIFY(Confirm<CRestoreWarningDlg>(CRestoreWarningDlg::kOkButton));
        QVERIFY(Confirm<CConfirmDlg>(1));
        QTRY_VERIFY_WITH_TIMEOUT(!view->Busy(), 60000);
        QCOMPARE(view->LastOutcome(), CNQmntView::Outcome::Success);

        QVERIFY(bench->panel->MemoryEquals(
            0, std::span(reinterpret_cast<const std::uint8_t*>(backup.data()) + 1024, 0x10000)));
        const std::string kept = ReadAll(safety);
        QCOMPARE(kept.size(), backup.size());
        for (std::uint32_t a = 0; a < 0x10000; a += 5) {
            QCOMPARE(kept[1024 + a], '\0');
        }
        // The restore's status list keeps the line that names the safety backup.
        const std::vector<std::string>& lines = view->StatusLines();
        QVERIFY(std::find(lines.begin(), lines.end(),
                          Format(GetString(msg::kSafetyBackupDone).c_str(), safety.c_str())) !=
                lines.end());
        QCOMPARE(lines.back(), GetString(msg::kCompleted));
    }

    // A safety backup that does not complete ends the run before anything is written to the
    // panel: a folder that cannot be made, and a backup the user cancels.
    void AFailedSafetyBackupWritesNothing() {
        auto bench = MakeBench("SAFETYBACKUP=blocked/safety\r\n");
        bench->folder.dir().Write("blocked", "a file where the folder should be");
        CMainFrame frame;
        frame.show();
        CNQmntView* view = frame.View();
        const std::string image = bench->folder.Path("panel.mem");
        QVERIFY(BackUp(view, image));
        for (std::uint32_t a = 0; a < 0x10000; a += 7) {
            bench->panel->SetMemoryByte(a, 0x5A);
        }
        const std::vector<std::uint8_t> before = bench->panel->ReadMemory(0, 0x10000);
        const std::uint32_t writesBefore = bench->panel->Counters().writeBlocks;

        ChooseFile(image);
        view->Action(cmd::kRestore)->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(view->LastOutcome() == CNQmntView::Outcome::Failure, 10000);
        QVERIFY(!view->Busy());
        QCOMPARE(view->StatusLines().back(), GetString(msg::kSafetyBackupFailed));
        QVERIFY(view->StatusLines().front().starts_with(
            Format(GetString(msg::kSafetyBackupFolder).c_str(),
                   bench->folder.Path("blocked/safety").c_str(), "")));

        bench->WriteIni("SAFETYBACKUP=" + bench->folder.Path("safety") + "\r\n", Models());
        ChooseFile(image);
        view->Action(cmd::kRestore)->trigger();
        QVERIFY(Confirm<CConfirmDlg>(ctl::kCancel));  // the safety backup's model information
        QTRY_VERIFY_WITH_TIMEOUT(!view->Busy(), 60000);
        QCOMPARE(view->LastOutcome(), CNQmntView::Outcome::Failure);
        QCOMPARE(view->StatusLines().back(), GetString(msg::kSafetyBackupFailed));
        QVERIFY(ImagesIn(bench->folder.Path("safety")).empty());
        QCOMPARE(bench->panel->Counters().writeBlocks, writesBefore);
        QVERIFY(bench->panel->MemoryEquals(0, before));
    }

    // File → Compare images lists what `kzmnt-cli diff` prints; an unreadable file is named.
    void CompareImagesListsTheDifferences() {
        uitest::ProgramFolder folder;
        const std::string a = WriteImage(folder.Path("a.mem"), "first");
        const std::string b =
            WriteImage(folder.Path("b.mem"), "second", {{0x10, 0xAA}, {0x11, 0xAB}, {0x13F, 0xBB}});
        CCompareImagesDlg dialog;
        FindControl<QLineEdit>(&dialog, CCompareImagesDlg::kFirst)
            ->setText(QString::fromStdString(a));
        FindControl<QLineEdit>(&dialog, CCompareImagesDlg::kSecond)
            ->setText(QString::fromStdString(b));
        FindControl<QAbstractButton>(&dialog, CCompareImagesDlg::kCompare)->click();
        QCOMPARE(dialog.Lines(),
                 QStringList({"Comment: first | second", "FROM1 at 00000010, length 2: 10 | AA",
                              "SRAM1 at 0040003F, length 1: 3F | BB",
                              "2 differing ranges, 3 bytes in all (at most 100 are listed).",
                              "The images differ."}));

        FindControl<QLineEdit>(&dialog, CCompareImagesDlg::kSecond)
            ->setText(QString::fromStdString(a));
        dialog.Compare();
        QCOMPARE(dialog.Lines(), QStringList({"The images are equal."}));

        FindControl<QLineEdit>(&dialog, CCompareImagesDlg::kSecond)
            ->setText(QString::fromStdString(folder.Path("missing.mem")));
        dialog.Compare();
        QCOMPARE(dialog.Lines().size(), 1);
        QVERIFY(dialog.Lines()[0].contains(QStringLiteral("missing.mem")));

        // The frame's File menu opens it.
        CMainFrame frame;
        bool opened = false;
        uitest::WhenModal([&opened](QWidget* d) {
            opened = qobject_cast<CCompareImagesDlg*>(d) != nullptr;
            qobject_cast<QDialog*>(d)->accept();
        });
        frame.findChild<QAction*>(QStringLiteral("compareImages"))->trigger();
        QVERIFY(opened);
    }

    // Help → History shows the service record: nothing at first, then a completed backup and
    // a failed verify, oldest first, with their results.
    void HistoryShowsCompletedAndFailedRuns() {
        auto bench = MakeBench();
        CMainFrame frame;
        frame.show();
        CNQmntView* view = frame.View();
        {
            CHistoryDlg empty(&frame);
            QVERIFY(!FindControl<QLabel>(&empty, CHistoryDlg::kEmpty)->isHidden());
            QVERIFY(empty.Rows().isEmpty());
        }
        const std::string image = bench->folder.Path("panel.mem");
        QVERIFY(BackUp(view, image));
        bench->panel->SetMemoryByte(0x10, 0x99);
        ChooseFile(image);
        view->Action(cmd::kVerify)->trigger();
        QVERIFY(Confirm<CConfirmDlg>(1));
        QTRY_VERIFY_WITH_TIMEOUT(!view->Busy(), 60000);
        QCOMPARE(view->LastOutcome(), CNQmntView::Outcome::Failure);

        QStringList rows;
        uitest::WhenModal([&rows](QWidget* d) {
            auto* dialog = qobject_cast<CHistoryDlg*>(d);
            QVERIFY(dialog);
            rows = dialog->Rows();
            QVERIFY(FindControl<QLabel>(dialog, CHistoryDlg::kEmpty)->isHidden());
            dialog->accept();
        });
        frame.findChild<QAction*>(QStringLiteral("history"))->trigger();
        QCOMPARE(rows.size(), 2);
        const QStringList backup = rows[0].split('\t');
        const QStringList verify = rows[1].split('\t');
        QCOMPARE(backup.size(), 10);
        QCOMPARE(backup[2], QStringLiteral("backup"));
        QCOMPARE(backup[4], QStringLiteral("KZ-TEST"));
        QCOMPARE(backup[5], QStringLiteral("8C93"));
        QCOMPARE(backup[7], Text(msg::kCompleted));
        QCOMPARE(backup[8], QString::fromStdString(image));
        QCOMPARE(backup[9].size(), 12);
        QCOMPARE(verify[2], QStringLiteral("verify"));
        QCOMPARE(verify[7], Text(msg::kVerifyMismatch));
        QCOMPARE(verify[9], backup[9]);  // the image used is the one written
    }

    // A backup the user aborted leaves its partial image; the next backup into that file
    // offers to resume. Cancel starts nothing; Yes goes on from the partial image and ends
    // with the image an uninterrupted backup writes, byte for byte.
    void ResumeOfferFinishesTheInterruptedBackup() {
        auto bench = MakeBench();
        sim::FaultConfig slow;
        slow.answerDelay = std::chrono::milliseconds(30);
        bench->panel->SetFaults(slow);
        CMainFrame frame;
        frame.show();
        CNQmntView* view = frame.View();
        const std::string path = bench->folder.Path("cut.mem");
        const std::string partial = path + ".partial";

        ChooseFile(path);
        view->Action(cmd::kBackUp)->trigger();
        QVERIFY(Confirm<CConfirmDlg>(1));
        QTRY_VERIFY_WITH_TIMEOUT(FindControl<QProgressBar>(view, 1005)->value() > 0 &&
                                     view->Operation() &&
                                     view->Operation()->MayAbort() == AbortRule::Allowed,
                                 60000);
        uitest::WhenModal(
            [](QWidget* d) { qobject_cast<QMessageBox*>(d)->button(QMessageBox::Ok)->click(); });
        view->Action(cmd::kAbort)->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(!view->Busy(), 60000);
        QCOMPARE(view->StatusLines().back(), GetString(msg::kAborted));
        QVERIFY(!fs::exists(path));
        const std::string cut = ReadAll(partial);
        QVERIFY(cut.size() > kImageHeaderSize);
        bench->panel->SetFaults({});

        auto answer = [](QMessageBox::StandardButton button, QString* text) {
            uitest::WhenModal([button, text](QWidget* d) {
                auto* box = qobject_cast<QMessageBox*>(d);
                QVERIFY(box && box->objectName() == QStringLiteral("resumeQuestion"));
                *text = box->text();
                box->button(button)->click();
            });
        };
        QString asked;
        ChooseFile(path);
        answer(QMessageBox::Cancel, &asked);
        view->Action(cmd::kBackUp)->trigger();
        QVERIFY(asked.contains(QString::fromStdString(partial)));
        QVERIFY(!view->Busy());
        QVERIFY(ReadAll(partial) == cut);

        ChooseFile(path);
        answer(QMessageBox::Yes, &asked);
        view->Action(cmd::kBackUp)->trigger();
        QVERIFY(Confirm<CConfirmDlg>(1));
        QTRY_VERIFY_WITH_TIMEOUT(!view->Busy(), 60000);
        QCOMPARE(view->LastOutcome(), CNQmntView::Outcome::Success);
        const std::vector<std::string>& lines = view->StatusLines();
        const std::string resumed = GetString(msg::kResumeFrom).substr(0, 16);
        QVERIFY(std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
            return line.starts_with(resumed) && line.find(partial) != std::string::npos;
        }));
        QVERIFY(!fs::exists(partial));

        const std::string whole = bench->folder.Path("whole.mem");
        QVERIFY(BackUp(view, whole));
        QVERIFY(ReadAll(path) == ReadAll(whole));
    }
};

QTEST_MAIN(FieldToolsTest)
#include "FieldToolsTest.moc"

// The file selection, model-information, comment and property dialogs as the user sees
// them: which names OK accepts, what the check box and the browse buttons change, which
// comment is shown and stored.
#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <filesystem>

#include "UiTestSupport.h"
#include "config/ModelDefs.h"
#include "config/Settings.h"
#include "ops/memory/MemImageFile.h"
#include "ops/memory/ModelConfirm.h"
#include "ui/DialogLayout.h"
#include "ui/UiText.h"
#include "ui/dialogs/CommentDlg.h"
#include "ui/dialogs/ConfirmDlg.h"
#include "ui/dialogs/FileSelectDlg.h"
#include "ui/dialogs/FolderBrowser.h"
#include "ui/dialogs/PropertyDlg.h"

using namespace kz;
using namespace kz::ui;
using kz::uitest::ProgramFolder;
using kz::uitest::WhenModal;

namespace {

// A Shift_JIS model ("KZ-デモ") with two SRAM entries, one whose size starts with a letter.
const std::string kIni =
    "[CONFIG]\r\nAUTOFILENAME=0\r\n"
    "[KZ-\x83\x66\x83\x82]\r\nID=8C93\r\nFROM1=0,100000\r\nFROM2=200000,80000\r\n"
    "SRAM1=400000,20000,10000\r\nSRAM2=500000,A000,A000\r\n";

void WriteImage(const std::string& path, const std::string& comment) {
    MemImageFile image;
    image.SetFileName(path);
    image.SetHeaderKind(1);
    image.SetModelName("KZ-\x83\x66\x83\x82");
    image.SetDescriptorVersion();
    image.SetCoreID("8C93");
    image.SetIOCode("C3");
    image.SetComment(comment);
    QVERIFY(image.WriteHeader());
}

QString Q(const std::string& bytes) {
    return QString::fromUtf8(bytes.data(), qsizetype(bytes.size()));
}

template <class T>
T* Control(const QWidget* dialog, int id) {
    T* control = FindControl<T>(dialog, id);
    if (!control) {
        qFatal("control %d missing", id);
    }
    return control;
}

// Presses the file dialog's accept, and closes it should it refuse, so a test never hangs.
void Choose(QFileDialog* files) {
    QMetaObject::invokeMethod(files, "accept");
    if (files->isVisible()) {
        files->reject();
    }
}

void Type(QComboBox* combo, const QString& text) {
    combo->setEditText(text);
}

}  // namespace

class FileDialogsTest : public QObject {
    Q_OBJECT
  private slots:
    void SelectionRulesPerMode_data() {
        QTest::addColumn<int>("mode");
        QTest::addColumn<bool>("autoName");
        QTest::addColumn<QString>("name");  // below the program folder
        QTest::addColumn<bool>("ok");
        // Existing: image.mem (an image), dir/ (a folder), dir.mem/ (a folder).
        QTest::newRow("backup file: no extension") << 1 << false << "new" << false;
        QTest::newRow("backup file: .MEM any case") << 1 << false << "new.MEM" << true;
        QTest::newRow("backup file: existing image") << 1 << false << "image.mem" << true;
        QTest::newRow("backup file: folder named .mem") << 1 << false << "dir.mem" << false;
        QTest::newRow("backup file: empty") << 1 << false << "" << false;
        QTest::newRow("backup folder: new") << 1 << true << "newdir" << true;
        QTest::newRow("backup folder: existing") << 1 << true << "dir" << true;
        QTest::newRow("backup folder: a .mem name") << 1 << true << "dir/x.mem" << false;
        QTest::newRow("restore: image") << 2 << false << "image.mem" << true;
        QTest::newRow("restore: missing") << 2 << false << "gone.mem" << false;
        QTest::newRow("verify: a folder exists too") << 3 << true << "dir" << true;
        QTest::newRow("CF receive: new folder") << 4 << false << "newdir" << true;
        QTest::newRow("CF receive: a file") << 4 << false << "image.mem" << false;
        QTest::newRow("CF send: existing folder") << 5 << false << "dir" << true;
        QTest::newRow("CF send: missing folder") << 5 << false << "newdir" << false;
    }
    void SelectionRulesPerMode() {
        QFETCH(int, mode);
        QFETCH(bool, autoName);
        QFETCH(QString, name);
        QFETCH(bool, ok);
        ProgramFolder folder(kIni + "[CONFIG]\r\nAUTOFILENAME=" + (autoName ? "1" : "0") + "\r\n");
        CSettings().SetAutoFileName(autoName);
        WriteImage(folder.Path("image.mem"), "stored comment");
        std::filesystem::create_directory(folder.Path("dir"));
        std::filesystem::create_directory(folder.Path("dir.mem"));

        CFileSelectDlg dialog(static_cast<SelectionMode>(mode));
        const bool folderMode = (mode == 1 && autoName) || mode >= 4;
        // The title names the command as well.
        QCOMPARE(dialog.windowTitle(), Text(folderMode ? 5015 : 5014) + " - " + Text(20399 + mode));
        QCOMPARE(Control<QLabel>(&dialog, 1038)->text(), Text(folderMode ? 5017 : 5016));
        QCOMPARE(!Control<QCheckBox>(&dialog, 1032)->isHidden(), mode == 1);
        QLineEdit* comment = Control<QLineEdit>(&dialog, 1018);
        QCOMPARE(!comment->isHidden(), mode <= 3);
        QVERIFY(comment->isReadOnly());
        QVERIFY(!Control<QPushButton>(&dialog, 1)->isEnabled());

        Type(Control<QComboBox>(&dialog, 1000), name.isEmpty() ? name : Q(folder.Path("")) + name);
        QCOMPARE(Control<QPushButton>(&dialog, 1)->isEnabled(), ok);
        // While OK is disabled, the line under the name says why.
        QCOMPARE(dialog.findChild<QLabel*>(CFileSelectDlg::kHintName)->text().isEmpty(), ok);
        if (!name.isEmpty()) {
            QCOMPARE(comment->isReadOnly(), mode != 1);  // typed only for a backup
        }
        const bool image = name == "image.mem";
        QCOMPARE(comment->text(), image ? QString("stored comment") : QString());
        // Enter closes the dialog exactly when OK could.
        dialog.show();
        QTest::keyClick(Control<QComboBox>(&dialog, 1000)->lineEdit(), Qt::Key_Return);
        QCOMPARE(dialog.result() == QDialog::Accepted, ok);
        QCOMPARE(dialog.FileName().empty(), !ok);
    }

    void CheckBoxSwitchesModeAndStoresAtOnce() {
        ProgramFolder folder(kIni);
        CFileSelectDlg dialog(SelectionMode::Backup);
        QCheckBox* box = Control<QCheckBox>(&dialog, 1032);
        QVERIFY(!box->isChecked());
        Type(Control<QComboBox>(&dialog, 1000), Q(folder.Path("newdir")));
        QVERIFY(!Control<QPushButton>(&dialog, 1)->isEnabled());
        Control<QLineEdit>(&dialog, 1018)->setText("typed");

        box->click();
        QVERIFY(CSettings().GetAutoFileName());
        QVERIFY(dialog.FolderMode());
        QVERIFY(dialog.windowTitle().startsWith(Text(5015)));
        QVERIFY(Control<QLineEdit>(&dialog, 1018)->text().isEmpty());
        QVERIFY(Control<QPushButton>(&dialog, 1)->isEnabled());

        box->click();
        QVERIFY(!CSettings().GetAutoFileName());
        QVERIFY(dialog.windowTitle().startsWith(Text(5014)));
        QVERIFY(!Control<QPushButton>(&dialog, 1)->isEnabled());
    }

    void CheckBoxGoesBackWhenTheSettingCannotBeStored() {
        ProgramFolder folder;
        folder.Write("KZMNT.INI", "[CONFIG]\rAUTOFILENAME=0\r");  // never written over
        CFileSelectDlg dialog(SelectionMode::Backup);
        QString shown;
        WhenModal([&](QWidget* box) {
            shown = qobject_cast<QMessageBox*>(box)->text();
            box->close();
        });
        Control<QCheckBox>(&dialog, 1032)->click();
        QVERIFY(!shown.isEmpty());
        QVERIFY(!Control<QCheckBox>(&dialog, 1032)->isChecked());
        QVERIFY(dialog.windowTitle().startsWith(Text(5014)));
    }

    void CommentIsShownAndStoredWithinTheLimit() {
        ProgramFolder folder(kIni);
        const std::string sixtySix(66, 'c');
        WriteImage(folder.Path("long.mem"), sixtySix);
        {
            CFileSelectDlg dialog(SelectionMode::Restore);
            Type(Control<QComboBox>(&dialog, 1000), Q(folder.Path("long.mem")));
            QCOMPARE(Control<QLineEdit>(&dialog, 1018)->text(), QString(64, 'c'));
        }
        CFileSelectDlg dialog(SelectionMode::Backup);
        dialog.accept();  // an empty name keeps the dialog open
        QCOMPARE(dialog.result(), int(QDialog::Rejected));
        Type(Control<QComboBox>(&dialog, 1000), Q(folder.Path("new.mem")));
        QLineEdit* comment = Control<QLineEdit>(&dialog, 1018);
        comment->setFocus();
        for (int i = 0; i < 30; ++i) {  // typed; 3 bytes each in UTF-8
            QTest::sendKeyEvent(QTest::Click, comment, Qt::Key_unknown, QString(QChar(0x30C7)),
                                Qt::NoModifier);
        }
        QCOMPARE(comment->text(), QString(21, QChar(0x30C7)));
        Control<QPushButton>(&dialog, 1)->click();
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QCOMPARE(dialog.FileName(), folder.Path("new.mem"));
        QCOMPARE(dialog.Comment().size(), std::size_t(63));
    }

    void BrowsersFillTheNameAndWorkPath() {
        ProgramFolder folder(kIni);
        std::filesystem::create_directory(folder.Path("work"));
        folder.Write("work/noext", "x");
        CFileSelectDlg dialog(SelectionMode::Restore);
        WhenModal([&](QWidget* w) {
            auto* files = qobject_cast<QFileDialog*>(w);
            QVERIFY(files);
            files->selectFile(Q(folder.Path("work/noext")));
            Choose(files);
        });
        Control<QPushButton>(&dialog, 1001)->click();
        QCOMPARE(Control<QComboBox>(&dialog, 1000)->currentText(),
                 Q(folder.Path("work/noext.mem")));
        QCOMPARE(CSettings().GetWorkPath(), folder.Path("work"));

        CFileSelectDlg cf(SelectionMode::CfReceive);
        const std::string target = folder.Path("work/cf");
        std::filesystem::create_directory(target);
        QString title;
        WhenModal([&](QWidget* w) {
            title = w->windowTitle();
            auto* files = qobject_cast<QFileDialog*>(w);
            QVERIFY(files);
            QCOMPARE(files->directory().absolutePath() + "/", Q(folder.Path("work/")));
            files->selectFile(Q(target));
            Choose(files);
        });
        Control<QPushButton>(&cf, 1001)->click();
        QCOMPARE(title, QString("Please choose a folder."));
        QCOMPARE(Control<QComboBox>(&cf, 1000)->currentText(), Q(target));
        QCOMPARE(CSettings().GetWorkPath(), target);
        QVERIFY(Control<QPushButton>(&cf, 1)->isEnabled());
    }

    void TooLongFolderIsNotTaken() {
        ProgramFolder folder(kIni);
        std::string deep = folder.Path("");
        while (deep.size() < CFolderBrowser::kMaxFolderPath) {
            deep += std::string(40, 'd') + "/";
        }
        deep.pop_back();
        std::filesystem::create_directories(deep);
        WhenModal([&](QWidget* w) {
            auto* files = qobject_cast<QFileDialog*>(w);
            QVERIFY(files);
            files->selectFile(Q(deep));
            Choose(files);
        });
        CFolderBrowser browser(nullptr, folder.Path(""));
        QCOMPARE(browser.DoModal(), CFolderBrowser::kOk);
        QVERIFY(browser.Folder().empty());
    }

    void ModelInformationShowsTheModel_data() {
        QTest::addColumn<int>("mode");
        QTest::addColumn<QString>("caption");
        QTest::addColumn<QString>("firstSram");
        QTest::newRow("backup") << 1 << "Backup Confirmation"
                                << "Address=400000 , Size=20000";
        QTest::newRow("restore") << 2 << "Restore Confirmation"
                                 << "Address=400000 , Size=20000";
        QTest::newRow("verify") << 3 << "Verify Confirmation"
                                << "Address=400000 , Size=10000";
    }
    void ModelInformationShowsTheModel() {
        QFETCH(int, mode);
        QFETCH(QString, caption);
        QFETCH(QString, firstSram);
        ProgramFolder folder(kIni);
        ModelInfoInput in;
        in.mode = static_cast<DialogMode>(mode);
        in.coreId = "8C93";
        in.ioCode = "C3";
        in.comment = "before the update";
        const CModelDefs defs;
        CConfirmDlg dialog(ConfirmModel(defs, in));
        QCOMPARE(dialog.windowTitle(), caption);
        const QString model = QString::fromUtf8("KZ-デモ");
        QCOMPARE(Control<QLineEdit>(&dialog, 1017)->text(), QString("93"));
        QCOMPARE(Control<QLineEdit>(&dialog, 1018)->text(), model);
        QCOMPARE(Control<QLineEdit>(&dialog, 1019)->text(), QString("C3"));
        QCOMPARE(Control<QLineEdit>(&dialog, 1020)->text(), QString("before the update"));
        QVERIFY(Control<QLabel>(&dialog, 1023)->text().contains("\"" + model + "\""));
        QCOMPARE(Control<QListWidget>(&dialog, 1015)->count(), 2);
        QListWidget* sram = Control<QListWidget>(&dialog, 1016);
        QCOMPARE(sram->count(), 1);  // "A000" reads as 0
        QCOMPARE(sram->item(0)->text(), firstSram);
        QCOMPARE(CConfirmDlg(ModelInfo{}).windowTitle(), QString("ModelInfomation"));
    }

    void CommentDialogEnablesAndWrites() {
        ProgramFolder folder(kIni);
        const std::string image = folder.Path("image.mem");
        WriteImage(image, "");
        CSettings().AddRecentFile(image);
        CCommentDlg dialog("from the form");
        QComboBox* name = Control<QComboBox>(&dialog, 1019);
        QLineEdit* comment = Control<QLineEdit>(&dialog, 1018);
        QPushButton* ok = Control<QPushButton>(&dialog, 1);
        QCOMPARE(name->currentText(), Q(image));
        QCOMPARE(comment->text(), QString("from the form"));  // the image has none
        QVERIFY(comment->isEnabled() && ok->isEnabled());

        Type(name, Q(folder.Path("KZMNT.INI")));  // not an image
        QVERIFY(comment->text().isEmpty());
        QVERIFY(!comment->isEnabled() && !ok->isEnabled());

        Type(name, Q(image));
        comment->setText(QString::fromUtf8("新しいコメント"));
        std::filesystem::remove(image);
        QString shown;
        WhenModal([&](QWidget* box) {
            shown = qobject_cast<QMessageBox*>(box)->text();
            box->close();
        });
        ok->click();
        QCOMPARE(shown, Text(20217));
        QCOMPARE(dialog.result(), int(QDialog::Rejected));  // still open
        QCOMPARE(comment->text(), QString::fromUtf8("新しいコメント"));

        WriteImage(image, "old");
        ok->click();
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        MemImageFile stored;
        QVERIFY(stored.LoadHeader(image));
        QCOMPARE(Q(stored.GetImageComment()), QString::fromUtf8("新しいコメント"));
        QCOMPARE(dialog.FileName(), image);
    }

    void PropertyShowsTheHeader() {
        ProgramFolder folder(kIni);
        WriteImage(folder.Path("image.mem"), "Line 4 press");
        MemImageFile image;
        QVERIFY(image.LoadHeader(folder.Path("image.mem")));
        CPropertyDlg dialog(image);
        QCOMPARE(dialog.windowTitle(), QString("Property"));
        QCOMPARE(Control<QLineEdit>(&dialog, 1017)->text(), QString("93"));
        QCOMPARE(Control<QLineEdit>(&dialog, 1018)->text(), QString::fromUtf8("KZ-デモ"));
        QCOMPARE(Control<QLineEdit>(&dialog, 1019)->text(), QString("C3"));
        QCOMPARE(Control<QLineEdit>(&dialog, 1020)->text(), QString("Line 4 press"));
        QCOMPARE(Control<QListWidget>(&dialog, 1015)->item(1)->text(),
                 QString("Address=200000 , Size=80000"));
        QCOMPARE(Control<QListWidget>(&dialog, 1016)->count(), 2);
        // Fields that cannot be changed do not look as if they could.
        for (QLineEdit* field : dialog.findChildren<QLineEdit*>()) {
            QVERIFY(field->isReadOnly());
            QCOMPARE(field->palette().color(QPalette::Base),
                     field->palette().color(QPalette::Window));
        }
    }

    void TheNameStartsWithTheLastOneOfItsCommand() {
        ProgramFolder folder(kIni);
        WriteImage(folder.Path("a.mem"), "first");
        {
            CFileSelectDlg restore(SelectionMode::Restore);
            QVERIFY(Control<QComboBox>(&restore, 1000)->currentText().isEmpty());
            Type(Control<QComboBox>(&restore, 1000), Q(folder.Path("a.mem")));
            Control<QPushButton>(&restore, 1)->click();
            QCOMPARE(restore.result(), int(QDialog::Accepted));
        }
        CFileSelectDlg again(SelectionMode::Restore);
        QCOMPARE(Control<QComboBox>(&again, 1000)->currentText(), Q(folder.Path("a.mem")));
        QVERIFY(Control<QPushButton>(&again, 1)->isEnabled());
        QCOMPARE(Control<QLineEdit>(&again, 1018)->text(), QString("first"));
        // Verify and Property keep names of their own, and say which command they are for.
        CFileSelectDlg verify(SelectionMode::Verify);
        QVERIFY(Control<QComboBox>(&verify, 1000)->currentText().isEmpty());
        QCOMPARE(verify.windowTitle(), QString("File selection - Verify"));
        CFileSelectDlg property(SelectionMode::Restore, FilePurpose::Property);
        QVERIFY(Control<QComboBox>(&property, 1000)->currentText().isEmpty());
        QCOMPARE(property.windowTitle(), QString("File selection - Property"));
        // A name that has gone since is shown with the reason OK is disabled.
        std::filesystem::remove(folder.Path("a.mem"));
        CFileSelectDlg gone(SelectionMode::Restore);
        QVERIFY(!Control<QPushButton>(&gone, 1)->isEnabled());
        QCOMPARE(gone.findChild<QLabel*>(CFileSelectDlg::kHintName)->text(), Text(20410));
    }

    void TheHintSaysWhyInBothLanguages() {
        ProgramFolder folder(kIni);
        std::filesystem::create_directory(folder.Path("dir"));
        for (const Language language : {Language::English, Language::Japanese}) {
            kz::uitest::LanguageScope scope(language);
            CFileSelectDlg dialog(SelectionMode::Backup);
            QLabel* hint = dialog.findChild<QLabel*>(CFileSelectDlg::kHintName);
            QCOMPARE(hint->text(), Text(20407));  // nothing typed yet
            Type(Control<QComboBox>(&dialog, 1000), Q(folder.Path("new")));
            QCOMPARE(hint->text(), Text(20409));
            QVERIFY(hint->text().contains(".mem"));
            Type(Control<QComboBox>(&dialog, 1000), Q(folder.Path("dir")));
            QCOMPARE(hint->text(), Text(20408));
            Type(Control<QComboBox>(&dialog, 1000), Q(folder.Path("new.mem")));
            QVERIFY(hint->text().isEmpty());
            // The whole title shows, in either language.
            CFileSelectDlg cf(SelectionMode::CfReceive);
            cf.show();
            QVERIFY(QTest::qWaitForWindowExposed(&cf));
            QVERIFY(cf.width() >= TitleWidth(&cf, cf.windowTitle()));
            QVERIFY(!cf.windowFlags().testFlag(Qt::WindowMaximizeButtonHint));
        }
    }

    void TheRecentListOffersImagesOrFolders() {
        ProgramFolder folder(kIni);
        WriteImage(folder.Path("img.mem"), "");
        std::filesystem::create_directory(folder.Path("cf"));
        CSettings settings;
        QVERIFY(settings.AddRecentFile(folder.Path("newcf")));  // a folder still to make
        QVERIFY(settings.AddRecentFile(folder.Path("img.mem")));
        QVERIFY(settings.AddRecentFile(folder.Path("cf")));
        auto items = [](const CFileSelectDlg& dialog) {
            QStringList names;
            const auto* combo = Control<QComboBox>(&dialog, 1000);
            for (int i = 0; i < combo->count(); ++i) {
                names << combo->itemText(i);
            }
            return names;
        };
        CFileSelectDlg restore(SelectionMode::Restore);
        QCOMPARE(items(restore), QStringList({Q(folder.Path("img.mem"))}));
        CFileSelectDlg send(SelectionMode::CfSend);
        QCOMPARE(items(send), QStringList({Q(folder.Path("cf")), Q(folder.Path("newcf"))}));
        // The backup's check box switches between the two lists, keeping the typed name.
        CFileSelectDlg backup(SelectionMode::Backup);
        Type(Control<QComboBox>(&backup, 1000), "typed");
        QCOMPARE(items(backup), QStringList({Q(folder.Path("img.mem"))}));
        Control<QCheckBox>(&backup, 1032)->click();
        QCOMPARE(items(backup), QStringList({Q(folder.Path("cf")), Q(folder.Path("newcf"))}));
        QCOMPARE(Control<QComboBox>(&backup, 1000)->currentText(), QString("typed"));
    }

    void BrowserStartsInTheFolderOfTheName() {
        ProgramFolder folder(kIni);
        std::filesystem::create_directories(folder.Path("deep/er"));
        CSettings().SetWorkPath(folder.Path(""));
        CFileSelectDlg dialog(SelectionMode::Restore);
        Type(Control<QComboBox>(&dialog, 1000), Q(folder.Path("deep/er/x.mem")));
        QString started;
        WhenModal([&](QWidget* w) {
            started = qobject_cast<QFileDialog*>(w)->directory().absolutePath();
            qobject_cast<QFileDialog*>(w)->reject();
        });
        Control<QPushButton>(&dialog, 1001)->click();
        QCOMPARE(started, Q(folder.Path("deep/er")));

        CFileSelectDlg cf(SelectionMode::CfSend);
        Type(Control<QComboBox>(&cf, 1000), Q(folder.Path("deep")));
        WhenModal([&](QWidget* w) {
            started = qobject_cast<QFileDialog*>(w)->directory().absolutePath();
            qobject_cast<QFileDialog*>(w)->reject();
        });
        Control<QPushButton>(&cf, 1001)->click();
        QCOMPARE(started, Q(folder.Path("deep")));
    }
};

QTEST_MAIN(FileDialogsTest)
#include "FileDialogsTest.moc"

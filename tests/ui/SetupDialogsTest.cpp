// The setup, password, wait, node list, network search and about dialogs: what they store,
// refuse and hand back.
#include <QComboBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QTest>
#include <QTreeWidget>
#include <future>
#include <string>

#include "UiTestSupport.h"
#include "config/Settings.h"
#include "ui/DialogLayout.h"
#include "ui/UiText.h"
#include "ui/dialogs/AboutDlg.h"
#include "ui/dialogs/NetworkSearchDlg.h"
#include "ui/dialogs/NodeListDlg.h"
#include "ui/dialogs/PasswordDlg.h"
#include "ui/dialogs/PowerResetDlg.h"
#include "ui/dialogs/TransferSetupDlg.h"

using namespace kz;
using namespace kz::ui;
using kz::uitest::ProgramFolder;
using kz::uitest::WhenModal;

namespace {

constexpr char kSerialIni[] =
    "[CONFIG]\r\nCOM=3\r\nBau=38400\r\nWriteTimeout=30\r\nReadTimeout=10\r\nRetry=3\r\n";

// Answers the next message box with OK and keeps its text.
void ExpectMessage(QString* text) {
    WhenModal([text](QWidget* w) {
        auto* box = qobject_cast<QMessageBox*>(w);
        *text = box != nullptr ? box->text() : QStringLiteral("<not a message box>");
        if (box != nullptr) {
            box->accept();
        }
    });
}

template <class T = QWidget>
T* Control(QWidget& dlg, int id) {
    T* w = FindControl<T>(&dlg, id);
    if (w == nullptr) {
        qFatal("control %d missing", id);
    }
    return w;
}

void Click(QWidget& dlg, int id) {
    Control<QAbstractButton>(dlg, id)->click();
}

}  // namespace

class SetupDialogsTest : public QObject {
    Q_OBJECT
  private slots:
    void TransferSetupRangesAndFocus_data() {
        QTest::addColumn<int>("field");
        QTest::addColumn<QString>("value");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("Retry 100") << 1010 << "100" << false;
        QTest::newRow("Retry 99") << 1010 << "99" << true;
        QTest::newRow("Write 65536") << 1008 << "65536" << false;
        QTest::newRow("Write 0") << 1008 << "0" << true;
        QTest::newRow("Read 65536") << 1009 << "65536" << false;
        QTest::newRow("Read 65535") << 1009 << "65535" << true;
        QTest::newRow("Write huge") << 1008 << "9999999999" << false;
    }
    void TransferSetupRangesAndFocus() {
        QFETCH(int, field);
        QFETCH(QString, value);
        QFETCH(bool, accepted);
        ProgramFolder folder(std::string(kSerialIni) + "COMMTYPE=1\r\n");
        CTransferSetupDlg dlg;
        dlg.show();
        Click(dlg, CTransferSetupDlg::kSio);
        Control<QComboBox>(dlg, 1006)->setCurrentIndex(4);
        Control<QLineEdit>(dlg, field)->setText(value);
        QString message;
        if (!accepted) {
            ExpectMessage(&message);
        }
        Click(dlg, CTransferSetupDlg::kSet);
        CSettings stored;
        QCOMPARE(stored.GetCommType(), 0);  // stored first, also when a value is refused
        if (accepted) {
            QCOMPARE(dlg.result(), int(QDialog::Accepted));
            QCOMPARE(stored.GetComPort(), 5);
            const int number = value.toInt();
            QCOMPARE(field == 1008   ? stored.GetWriteTimeout()
                     : field == 1009 ? stored.GetReadTimeout()
                                     : stored.GetRetry(),
                     number);
        } else {
            QCOMPARE(message, Text(2000));
            QVERIFY(dlg.isVisible());
            QCOMPARE(dlg.focusWidget(), Control(dlg, field));
            QCOMPARE(stored.GetComPort(), 3);
            QCOMPARE(stored.GetRetry(), 3);
            QCOMPARE(stored.GetWriteTimeout(), 30);
        }
    }

    void EthernetStoresOnlyTheLinkAndSioRefills() {
        ProgramFolder folder(std::string(kSerialIni) + "COMMTYPE=1\r\n");
        CTransferSetupDlg dlg;
        QVERIFY(Control<QRadioButton>(dlg, 1026)->isChecked());
        QVERIFY(!Control(dlg, 1010)->isEnabled());
        Click(dlg, CTransferSetupDlg::kSio);
        QVERIFY(Control(dlg, 1010)->isEnabled());
        QCOMPARE(Control<QComboBox>(dlg, 1006)->currentIndex(), 2);
        QCOMPARE(Control<QComboBox>(dlg, 1007)->currentIndex(), 2);
        QCOMPARE(Control<QLineEdit>(dlg, 1008)->text(), QString("30"));
        Control<QLineEdit>(dlg, 1010)->setText("7");
        Click(dlg, CTransferSetupDlg::kEthernet);
        QCOMPARE(Control<QLineEdit>(dlg, 1010)->text(), QString("7"));  // contents stay
        Click(dlg, CTransferSetupDlg::kSio);
        QCOMPARE(Control<QLineEdit>(dlg, 1010)->text(), QString("3"));  // refilled
        Control<QLineEdit>(dlg, 1010)->setText("7");
        Click(dlg, CTransferSetupDlg::kEthernet);
        Click(dlg, CTransferSetupDlg::kSet);
        QCOMPARE(dlg.result(), int(QDialog::Accepted));
        QCOMPARE(folder.Read("KZMNT.INI"), std::string(kSerialIni) + "COMMTYPE=1\r\n\r\n");
    }

    void EnterMovesTheFocusAndNeverStores() {
        ProgramFolder folder(kSerialIni);
        CTransferSetupDlg dlg;
        dlg.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dlg));
        Control(dlg, 1006)->setFocus();
        for (int id : {1007, 1008, 1009, 1010, 1011, 1006}) {
            QTest::keyClick(dlg.focusWidget(), Qt::Key_Return);
            QCOMPARE(dlg.focusWidget()->objectName(), QString::number(id));
        }
        Control(dlg, 2)->setFocus();
        QTest::keyClick(dlg.focusWidget(), Qt::Key_Enter);
        QCOMPARE(dlg.focusWidget(), Control(dlg, 1006));
        QVERIFY(dlg.isVisible());
        QCOMPARE(dlg.result(), 0);
        QCOMPARE(folder.Read("KZMNT.INI"), std::string(kSerialIni));
    }

    void DevicePickerWritesPorts() {
        ProgramFolder folder(std::string(kSerialIni) + "[PORTS]\r\nCOM1=/dev/ttyUSB0\r\n");
        CTransferSetupDlg dlg;
        auto* device = dlg.findChild<QComboBox*>(CTransferSetupDlg::kDeviceName);
        QVERIFY(device && device->isEditable());
        QCOMPARE(device->currentText(), QString("/dev/ttyS2"));  // COM3 unmapped
        auto* com = Control<QComboBox>(dlg, 1006);
        com->setCurrentIndex(0);
        emit com->activated(0);
        QCOMPARE(device->currentText(), QString("/dev/ttyUSB0"));
        Click(dlg, CTransferSetupDlg::kSet);  // unchanged device: PORTS as it was
        QCOMPARE(CSettings().GetSerialDeviceName(1), std::string("/dev/ttyUSB0"));
        QCOMPARE(CSettings().GetComPort(), 1);

        CTransferSetupDlg again;
        auto* typed = again.findChild<QComboBox*>(CTransferSetupDlg::kDeviceName);
        typed->setEditText(" /dev/pts/7 ");
        Click(again, CTransferSetupDlg::kSet);
        QCOMPARE(again.result(), int(QDialog::Accepted));
        QCOMPARE(CSettings().GetSerialDeviceName(1), std::string("/dev/pts/7"));
    }

    void DeviceListDescribesAdaptersAndRefreshes() {
        ProgramFolder folder(kSerialIni);
        test::TempDir root;
        kz::uitest::MakeSerialDeviceTree(root);
        CTransferSetupDlg dlg(nullptr, root.str());
        auto* list = dlg.findChild<QTreeWidget*>(CTransferSetupDlg::kDeviceListName);
        QVERIFY(list);
        auto rows = [list] {
            QStringList lines;
            for (int i = 0; i < list->topLevelItemCount(); ++i) {
                const QTreeWidgetItem* item = list->topLevelItem(i);
                lines << QStringList{item->text(0), item->text(1), item->text(2), item->text(3)}
                             .join('|');
            }
            return lines;
        };
        QCOMPARE(rows(), QStringList({"/dev/ttyS0|||", "/dev/ttyUSB0|FTDI|FT232R USB UART|A10K2RQ7",
                                      "/dev/ttyACM0||USB Serial Adapter|"}));
        // Every column shows whole.
        int columns = 0;
        for (int c = 0; c < list->columnCount(); ++c) {
            columns += list->columnWidth(c);
        }
        QVERIFY(list->minimumWidth() >= columns);

        // Choosing a row takes its device; SET stores it for the port.
        auto* device = dlg.findChild<QComboBox*>(CTransferSetupDlg::kDeviceName);
        emit list->itemClicked(list->topLevelItem(1), 0);
        QCOMPARE(device->currentText(), QString("/dev/ttyUSB0"));

        // An adapter plugged in later shows after Refresh; what the user typed stays.
        root.Write("dev/ttyUSB1", "");
        device->setEditText("/dev/pts/4");
        dlg.findChild<QPushButton*>(CTransferSetupDlg::kRefreshName)->click();
        QCOMPARE(list->topLevelItemCount(), 4);
        QCOMPARE(list->topLevelItem(2)->text(0), QString("/dev/ttyUSB1"));
        QCOMPARE(device->count(), 4);
        QCOMPARE(device->currentText(), QString("/dev/pts/4"));
        Click(dlg, CTransferSetupDlg::kSet);
        QCOMPARE(CSettings().GetSerialDeviceName(3), std::string("/dev/pts/4"));

        test::TempDir nothing;
        CTransferSetupDlg none(nullptr, nothing.str());
        auto* empty = none.findChild<QTreeWidget*>(CTransferSetupDlg::kDeviceListName);
        QCOMPARE(empty->topLevelItemCount(), 1);
        QCOMPARE(empty->topLevelItem(0)->text(0), Text(20420));
    }

    // Titles whole in both languages, no minimise or maximise button.
    void DialogsFitTheirTitlesAndOnlyClose() {
        ProgramFolder folder(kSerialIni);
        for (const Language language : {Language::English, Language::Japanese}) {
            kz::uitest::LanguageScope scope(language);
            CPowerResetDlg wait([] {});
            CTransferSetupDlg setup;
            CNodeListDlg nodes({}, {});
            CPasswordDlg password;
            for (QDialog* dialog :
                 std::initializer_list<QDialog*>{&wait, &setup, &nodes, &password}) {
                dialog->show();
                QVERIFY(QTest::qWaitForWindowExposed(dialog));
                QVERIFY2(dialog->width() >= TitleWidth(dialog, dialog->windowTitle()),
                         qPrintable(dialog->windowTitle()));
                const Qt::WindowFlags flags = dialog->windowFlags();
                QVERIFY(flags.testFlag(Qt::CustomizeWindowHint));
                QVERIFY(!flags.testFlag(Qt::WindowMinimizeButtonHint));
                QVERIFY(!flags.testFlag(Qt::WindowMaximizeButtonHint));
                QVERIFY(flags.testFlag(Qt::WindowCloseButtonHint));
                dialog->hide();
            }
        }
    }

    void PortBeyondTheListIsKept() {
        ProgramFolder folder("[CONFIG]\r\nCOM=12\r\n[PORTS]\r\nCOM12=/dev/ttyACM0\r\n");
        CTransferSetupDlg dlg;
        QCOMPARE(Control<QComboBox>(dlg, 1006)->currentIndex(), -1);
        QCOMPARE(dlg.findChild<QComboBox*>(CTransferSetupDlg::kDeviceName)->currentText(),
                 QString("/dev/ttyACM0"));
        Click(dlg, CTransferSetupDlg::kSet);
        QCOMPARE(dlg.result(), int(QDialog::Accepted));
        QCOMPARE(CSettings().GetComPort(), 12);
        QCOMPARE(CSettings().GetSerialDeviceName(12), std::string("/dev/ttyACM0"));
    }

    void SetCreatesAMissingFileAndReportsFailures() {
        ProgramFolder folder;
        {
            CTransferSetupDlg dlg;
            Control<QLineEdit>(dlg, 1010)->setText("12");
            Click(dlg, CTransferSetupDlg::kSet);
            QCOMPARE(dlg.result(), int(QDialog::Accepted));
            QCOMPARE(CSettings().GetRetry(), 12);
        }
        // A file the settings cannot read is left alone and the user is told.
        const std::string binary("[CONFIG]\r\nRetry=4\r\n\x01\x02", 20);
        folder.Write("KZMNT.INI", binary);
        CTransferSetupDlg dlg;
        dlg.show();
        QString message;
        ExpectMessage(&message);
        Click(dlg, CTransferSetupDlg::kSet);
        QCOMPARE(message, Text(CSettings::kSaveUnreadable));
        QVERIFY(dlg.isVisible());
        QCOMPARE(folder.Read("KZMNT.INI"), binary);
    }

    void PasswordRules() {
        ProgramFolder folder;
        CPasswordDlg dlg;
        dlg.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dlg));
        auto* edit = Control<QLineEdit>(dlg, 1035);
        QCOMPARE(edit->echoMode(), QLineEdit::Password);
        Click(dlg, CPasswordDlg::kOk);  // empty: nothing happens
        QTest::keyClick(edit, Qt::Key_Return);
        QTest::keyClick(edit, Qt::Key_Escape);
        QVERIFY(dlg.isVisible());
        QCOMPARE(dlg.result(), 0);
        QTest::keyClicks(edit, "abcdefghijklmnopqrstuvwxyz0123");
        QTest::keyClick(edit, Qt::Key_Return);
        QCOMPARE(dlg.result(), int(QDialog::Accepted));
        QCOMPARE(dlg.Password(), std::string("abcdefghijklmnopqrstuvwx"));

        CPasswordDlg cancelled;
        Control<QLineEdit>(cancelled, 1035)->setText("secret");
        Click(cancelled, CPasswordDlg::kCancel);
        QCOMPARE(cancelled.result(), int(QDialog::Rejected));
    }

    void PowerResetCancelOnlyCallsBack() {
        ProgramFolder folder;
        int cancels = 0;
        CPowerResetDlg dlg([&cancels] { ++cancels; });
        dlg.show();
        QCOMPARE(dlg.windowTitle(), Text(1000));
        QVERIFY(!dlg.isModal());
        Click(dlg, CPowerResetDlg::kCancel);
        QCOMPARE(cancels, 1);
        QVERIFY(!dlg.close());  // the close box
        QCOMPARE(cancels, 2);
        QTest::keyClick(&dlg, Qt::Key_Escape);
        QTest::keyClick(&dlg, Qt::Key_Return);
        QCOMPARE(cancels, 2);
        QVERIFY(dlg.isVisible());
    }

    void NetworkSearchInput_data() {
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("port");
        QTest::addColumn<QString>("shownAddress");
        QTest::addColumn<int>("expectedPort");  // 0: refused
        QTest::newRow("short") << "192.9.201"
                               << "8000"
                               << "192.9.201.0" << 8000;
        QTest::newRow("zeros") << " 010.001.002.003 "
                               << ""
                               << "10.1.2.3" << 8000;
        QTest::newRow("five parts") << "1.2.3.4.5"
                                    << " 9000x"
                                    << "1.2.3.4" << 9000;
        QTest::newRow("empty") << ""
                               << "65535"
                               << "" << 65535;
        QTest::newRow("port 80") << ""
                                 << "80"
                                 << "" << 0;
        QTest::newRow("port 65536") << "10.0.0.1"
                                    << "65536"
                                    << "10.0.0.1" << 0;
    }
    void NetworkSearchInput() {
        QFETCH(QString, address);
        QFETCH(QString, port);
        QFETCH(QString, shownAddress);
        QFETCH(int, expectedPort);
        ProgramFolder folder;
        CNetworkSearchDlg dlg;
        dlg.show();
        auto* portEdit = Control<QLineEdit>(dlg, 1025);
        QCOMPARE(portEdit->text(), QString("8000"));
        Control<QLineEdit>(dlg, 1024)->setText(address);
        portEdit->setText(port);
        QString message;
        if (expectedPort == 0) {
            ExpectMessage(&message);
        }
        Click(dlg, CNetworkSearchDlg::kOk);
        QCOMPARE(Control<QLineEdit>(dlg, 1024)->text().trimmed(), shownAddress);
        if (expectedPort == 0) {
            QCOMPARE(message, QString("Please enter an integer between 1024 and 65535."));
            QVERIFY(dlg.isVisible());
            QCOMPARE(dlg.focusWidget(), portEdit);
            QCOMPARE(portEdit->selectedText(), port);
        } else {
            QCOMPARE(dlg.result(), int(QDialog::Accepted));
            QCOMPARE(dlg.Address(), shownAddress.toStdString());
            QCOMPARE(dlg.Port(), expectedPort);
        }
    }

    void NodeListExecute() {
        ProgramFolder folder;
        CNodeListDlg dlg({"192.168.0.10", "192.168.0.11"}, {});
        auto* list = Control<QTreeWidget>(dlg, 1015);
        QCOMPARE(list->topLevelItemCount(), 2);
        // The first row is selected when the list opens.
        QCOMPARE(list->selectedItems(), QList<QTreeWidgetItem*>{list->topLevelItem(0)});
        list->clearSelection();
        Click(dlg, CNodeListDlg::kExecute);  // no selection: nothing happens
        QCOMPARE(dlg.result(), 0);
        list->topLevelItem(1)->setSelected(true);
        Click(dlg, CNodeListDlg::kExecute);
        QCOMPARE(dlg.result(), int(QDialog::Accepted));
        QCOMPARE(dlg.Address(), std::string("192.168.0.11"));
        QCOMPARE(dlg.Port(), 8000);

        CNodeListDlg none({}, {});
        auto* empty = Control<QTreeWidget>(none, 1015);
        QCOMPARE(empty->topLevelItemCount(), 1);
        QCOMPARE(empty->topLevelItem(0)->text(1), Text(3005));
    }

    void NodeListSearchRunsOffTheWindowThread() {
        ProgramFolder folder;
        QStringList status;
        CNodeListDlg dlg({}, [&status](const QString& line) { status << line; });
        std::promise<void> release;
        std::shared_future<void> released = release.get_future().share();
        int searchedPort = 0;
        std::string searchedTarget;
        dlg.SetSearchFunction([&, released](int port, const std::string& target) {
            searchedPort = port;
            searchedTarget = target;
            released.wait();
            return std::vector<std::string>{"192.168.0.20"};
        });
        WhenModal([](QWidget* w) {
            FindControl<QLineEdit>(w, 1024)->setText("192.168.0.20");
            FindControl<QLineEdit>(w, 1025)->setText("8100");
            FindControl<QPushButton>(w, 1028)->click();
        });
        QSignalSpy finished(&dlg, &CNodeListDlg::searchFinished);
        Click(dlg, CNodeListDlg::kSearch);
        QVERIFY(dlg.Searching());
        QVERIFY(!Control(dlg, 1027)->isEnabled() && !Control(dlg, 1029)->isEnabled());
        QCOMPARE(Control<QPushButton>(dlg, 1026)->text(), QString("192.168.0.20 : 8100"));
        dlg.reject();  // refused while searching
        QCOMPARE(dlg.result(), 0);
        release.set_value();
        QVERIFY(finished.wait(10000));
        QCOMPARE(searchedPort, 8100);
        QCOMPARE(searchedTarget, std::string("192.168.0.20 : 8100"));
        QCOMPARE(status, QStringList({Text(3003), Text(3004)}));
        QVERIFY(Control(dlg, 1027)->isEnabled());
        QCOMPARE(Control<QTreeWidget>(dlg, 1015)->topLevelItem(0)->text(0),
                 QString("192.168.0.20"));

        QCOMPARE(Control<QTreeWidget>(dlg, 1015)->selectedItems().size(), 1);

        // Cancel in the search dialog starts nothing and keeps the panels found so far.
        WhenModal([](QWidget* w) { FindControl<QPushButton>(w, 1029)->click(); });
        Click(dlg, CNodeListDlg::kSearch);
        QVERIFY(!dlg.Searching());
        auto* list = Control<QTreeWidget>(dlg, 1015);
        QCOMPARE(list->topLevelItemCount(), 1);
        QCOMPARE(list->topLevelItem(0)->text(0), QString("192.168.0.20"));
        Click(dlg, CNodeListDlg::kExecute);
        QCOMPARE(dlg.result(), int(QDialog::Accepted));
        QCOMPARE(dlg.Address(), std::string("192.168.0.20"));
    }

    void AboutShowsHistoryUpToTheEndMark() {
        ProgramFolder folder;
        QCOMPARE(CAboutDlg::HistoryText(folder.Path("HISTORY.TXT")), QString());
        folder.Write("HISTORY.TXT", "3.0 LAN\r\n\r\n2.1 names\r\nEND_TEXTS hidden\r\nnotes\r\n");
        QCOMPARE(CAboutDlg::HistoryText(folder.Path("HISTORY.TXT")),
                 QString("3.0 LAN\n\n2.1 names\n"));
        folder.Write("HISTORY.TXT", "3.0 LAN\n END_TEXT stays\nKZ-\x83\x66\x83\x82");
        CAboutDlg dlg;
        QCOMPARE(Control<QPlainTextEdit>(dlg, 1024)->toPlainText(),
                 QString::fromUtf8("3.0 LAN\n END_TEXT stays\nKZ-デモ\n"));
        QVERIFY(Control<QPlainTextEdit>(dlg, 1024)->isReadOnly());
    }
};

QTEST_MAIN(SetupDialogsTest)
#include "SetupDialogsTest.moc"

// The main window across starts: its position and size come back from KZMNT.INI when they
// fit a screen, and a second start brings the running window to the front through the
// local socket.
#include <QGuiApplication>
#include <QLocalSocket>
#include <QScreen>
#include <QTest>
#include <atomic>
#include <thread>

#include "UiTestSupport.h"
#include "config/Settings.h"
#include "ui/InstanceBeacon.h"
#include "ui/MainFrame.h"
#include "ui/NQmntView.h"
#include "ui/WindowPlacement.h"

using namespace kz;
using namespace kz::ui;

class FrameTest : public QObject {
    Q_OBJECT
  private slots:
    void ThePlacementComesBackAtTheNextStart() {
        uitest::ProgramFolder folder("[CONFIG]\r\nDISPMODE=0\r\n");
        const QRect screen = QGuiApplication::primaryScreen()->geometry();
        const QPoint at = screen.topLeft() + QPoint(40, 30);
        {
            CMainFrame frame;
            frame.show();
            QVERIFY(QTest::qWaitForWindowExposed(&frame));
            frame.move(at);
            frame.resize(frame.width() + 37, 540);
            QVERIFY(frame.close());
        }
        const auto stored = CSettings().GetWindowPlacement();
        QVERIFY(stored.has_value());
        QCOMPARE(QPoint(stored->x, stored->y), at);
        QCOMPARE(stored->height, 540);

        CMainFrame again;
        QCOMPARE(again.pos(), at);
        QCOMPARE(again.width(), stored->width);
        QCOMPARE(again.height(), 540);
    }

    // The simple layout keeps its own height; the detailed height chosen before comes back
    // with the detailed layout, and is what is stored.
    void TheSimpleLayoutKeepsTheDetailedHeightForLater() {
        uitest::ProgramFolder folder(
            "[CONFIG]\r\nDISPMODE=1\r\n[WINDOW]\r\nX=10\r\nY=20\r\nWIDTH=700\r\nHEIGHT=520\r\n");
        CMainFrame frame;
        QCOMPARE(frame.width(), 700);
        QVERIFY(frame.height() < 520);
        frame.show();
        QVERIFY(frame.close());
        QCOMPARE(CSettings().GetWindowPlacement()->height, 520);
    }

    void APlacementOffEveryScreenOrUnreadableIsIgnored_data() {
        QTest::addColumn<QString>("window");
        const QRect screen = QGuiApplication::primaryScreen()->virtualGeometry();
        QTest::newRow("right of every screen")
            << QString("X=%1\r\nY=10\r\nWIDTH=600\r\nHEIGHT=400\r\n").arg(screen.right() + 50);
        QTest::newRow("title bar above the screens")
            << QString("X=10\r\nY=%1\r\nWIDTH=600\r\nHEIGHT=400\r\n").arg(screen.top() - 300);
        QTest::newRow("no number") << QString("X=left\r\nY=10\r\nWIDTH=600\r\nHEIGHT=400\r\n");
        QTest::newRow("no size") << QString("X=10\r\nY=10\r\nWIDTH=0\r\nHEIGHT=400\r\n");
    }
    void APlacementOffEveryScreenOrUnreadableIsIgnored() {
        QFETCH(QString, window);
        QSize natural;
        {
            uitest::ProgramFolder plain("[CONFIG]\r\nDISPMODE=0\r\n");
            natural = CMainFrame().size();
        }
        uitest::ProgramFolder folder("[CONFIG]\r\nDISPMODE=0\r\n[WINDOW]\r\n" +
                                     window.toStdString());
        QVERIFY(!StoredPlacement().has_value());
        const CMainFrame frame;
        QCOMPARE(frame.size(), natural);
    }

    // A second start asks the running window over the local socket; the window comes out
    // of the minimised state and the caller hears that it did.
    void ASecondStartBringsTheWindowToTheFront() {
        uitest::ProgramFolder folder;
        const QString path = QString::fromStdString(folder.Path("kzmnt.lock"));
        const QString socket = CInstanceBeacon::PathForLock(folder.Path("kzmnt.lock"));
        QCOMPARE(socket, path + ".sock");
        // Nobody listens yet: the second start hears nothing, and is told so at once.
        QVERIFY(!CInstanceBeacon::RaiseRunning(socket, 500));

        CMainFrame frame;
        frame.showMinimized();
        QTRY_VERIFY(frame.isMinimized());
        // A socket file left by a copy that crashed does not stop the next one.
        folder.Write("kzmnt.lock.sock", "");
        CInstanceBeacon beacon;
        QObject::connect(&beacon, &CInstanceBeacon::raiseRequested, &frame,
                         [&frame] { BringToFront(&frame); });
        QVERIFY(beacon.Listen(socket));

        std::atomic<int> answered{-1};
        std::thread second([&] { answered = CInstanceBeacon::RaiseRunning(socket) ? 1 : 0; });
        QTRY_VERIFY(answered != -1);
        second.join();
        QCOMPARE(answered.load(), 1);
        QVERIFY(!frame.isMinimized());
        QVERIFY(frame.isVisible());

        // Anything else on the socket is answered with nothing.
        std::atomic<int> other{-1};
        std::thread stranger([&] {
            QLocalSocket probe;
            probe.connectToServer(socket);
            bool ok = false;
            if (probe.waitForConnected(3000)) {
                probe.write("hello\n");
                probe.waitForBytesWritten(3000);
                ok = probe.waitForReadyRead(3000) && probe.readAll().contains("ok");
            }
            other = ok ? 1 : 0;
        });
        QTRY_VERIFY(other != -1);
        stranger.join();
        QCOMPARE(other.load(), 0);
    }
};

QTEST_MAIN(FrameTest)
#include "FrameTest.moc"

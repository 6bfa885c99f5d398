// The controller's state machine with a scripted operation: busy and the commands, the
// abort rules, completion (log, operation deleted), the requests answered from dialogs,
// the wait dialog, the result line and the status bar, the form cleared at a start, the
// transfer's progress text, closing the window mid-run (asked, aborted, waited for), the
// layouts and DISPMODE, the instance lock and what a start says when that lock cannot be
// taken.
#include <unistd.h>
#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QDesktopServices>
#include <QDialog>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QMimeData>
#include <QProcess>
#include <QProcessEnvironment>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTest>
#include <QToolBar>
#include <QUrl>

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <thread>

#include "UiTestSupport.h"
#include "config/MessageIds.h"
#include "config/Settings.h"
#include "ops/memory/MemImageFile.h"
#include "platform/Clock.h"
#include "platform/InstanceLock.h"
#include "serial/Protocol.h"
#include "ui/InstanceBeacon.h"
#include "ui/MainFrame.h"
#include "ui/NQmntView.h"
#include "ui/UiIds.h"
#include "ui/UiText.h"

using namespace kz;
using namespace kz::ui;

namespace {

// Runs its script on the start; aborting ends it with 4001. What it learns is kept for the
// test (written on the operation's thread, read after the run).
class ScriptedOp : public CProtocol {
  public:
    using Script = std::function<void(ScriptedOp&)>;
    ScriptedOp(Script script, std::shared_ptr<std::atomic<bool>> deleted)
        : script_(std::move(script)), deleted_(std::move(deleted)) {}
    ~ScriptedOp() override {
        Shutdown();
        *deleted_ = true;
    }
    bool Diapatcher(int nEvent) override {
        if (nEvent == EVENT_NONE && !started_) {
            started_ = true;
            script_(*this);
        } else if (nEvent == EVENT_ABORT && m_nError == 0) {
            m_nError = 4001;
            AddStatusLine("aborted");
            PostComplete();
        }
        return false;
    }
    bool Cancelled() const { return m_bPowerResetCancel; }
    using CProtocol::AddStatusLine;
    using CProtocol::BeginTransfer;
    using CProtocol::PostComplete;
    using CProtocol::PostToView;
    using CProtocol::Prompt;
    using CProtocol::ReportCompletion;
    using CProtocol::RequestFromView;
    using CProtocol::SetModelName;
    using CProtocol::SetProgress;
    using CProtocol::SetTransferArea;
    using CProtocol::ShowPowerWarning;
    using CProtocol::TransferMoved;
    std::atomic<int> answer{-1};

  private:
    Script script_;
    std::shared_ptr<std::atomic<bool>> deleted_;
    bool started_ = false;
};

struct Run {
    std::shared_ptr<std::atomic<bool>> deleted = std::make_shared<std::atomic<bool>>(false);
    ScriptedOp* op = nullptr;
    void Start(CNQmntView& view, ScriptedOp::Script script) {
        auto owned = std::make_unique<ScriptedOp>(std::move(script), deleted);
        op = owned.get();
        view.Start(std::move(owned), "/tmp/x.mem", "comment");
    }
};

// Runs answer on the window's close question once it is the active modal dialog (a run's
// own question may be open below it).
void WhenCloseAsked(std::function<void(QMessageBox*)> answer) {
    auto poll = std::make_shared<std::function<void()>>();
    *poll = [answer = std::move(answer), poll]() mutable {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box && box->informativeText() == Text(txt::kCloseAbortNote)) {
            answer(box);
            *poll = nullptr;
            return;
        }
        QTimer::singleShot(10, [poll] {
            if (*poll) {
                (*poll)();
            }
        });
    };
    QTimer::singleShot(0, [poll] { (*poll)(); });
}

QString Shown(const CNQmntView& view, int id) {
    return FindControl<QLabel>(&view, id)->text();
}

// The header of a KZ-TEST image (core ID 8C93, I/O code C3) at path.
bool WriteImageHeader(const std::string& path, const std::string& comment) {
    MemImageFile image;
    image.SetFileName(path);
    image.SetHeaderKind(1);
    image.SetModelName("KZ-TEST");
    image.SetDescriptorVersion();
    image.SetCoreID("8C93");
    image.SetIOCode("C3");
    image.SetComment(comment);
    return image.WriteHeader();
}

void Press(QWidget* dialog, QMessageBox::StandardButton button) {
    auto* box = qobject_cast<QMessageBox*>(dialog);
    QVERIFY(box);
    box->button(button)->click();
}

}  // namespace

// Stands in for the desktop's handler of file URLs.
class UrlCatcher : public QObject {
    Q_OBJECT

  public:
    QList<QUrl> urls;

  public slots:
    void Open(const QUrl& url) { urls << url; }
};

class ViewTest : public QObject {
    Q_OBJECT

  private slots:
    void RunDisablesCommandsAndCompletionDeletesAndLogs() {
        uitest::ProgramFolder folder;
        CNQmntView view;
        Run run;
        run.Start(view, [](ScriptedOp& op) {
            op.AddStatusLine("first");
            op.ShowPowerWarning(true);
            op.SetProgress(0x10032);  // the low 16 bits: 50
        });
        QVERIFY(view.Busy());
        for (const int id : {cmd::kBackUp, cmd::kVerify, cmd::kRestore, cmd::kCfReceive,
                             cmd::kCfSend, cmd::kTransferSetup, cmd::kProperty, cmd::kComment}) {
            QVERIFY2(!view.Action(id)->isEnabled(), qPrintable(QString::number(id)));
        }
        QVERIFY(view.Action(cmd::kAbort)->isEnabled());
        QTRY_COMPARE(FindControl<QListWidget>(&view, 1002)->count(), 1);
        QTRY_VERIFY(FindControl<QWidget>(&view, 1023)->isVisible() || !view.isVisible());
        // A second start while one runs does nothing.
        Run second;
        second.Start(view, [](ScriptedOp&) {});
        QVERIFY(*second.deleted);

        run.op->PostEvent(EVENT_ABORT);  // ends the script's run like any ending
        QTRY_VERIFY(!view.Busy());
        QVERIFY(*run.deleted);
        QVERIFY(view.Action(cmd::kBackUp)->isEnabled());
        QVERIFY(!view.Action(cmd::kAbort)->isEnabled());
        QCOMPARE(folder.Read("KZMNT.log"), std::string("first\r\naborted\r\n"));
        // The form keeps what the run showed.
        QCOMPARE(FindControl<QListWidget>(&view, 1002)->count(), 2);
    }

    void AbortIsRefusedInTheFirstSecondAndAsksAfterIt() {
        uitest::ProgramFolder folder;
        platform::ManualClock clock;
        platform::ScopedClock useClock(clock);
        CNQmntView view;
        Run run;
        run.Start(view, [](ScriptedOp&) {});
        clock.Advance(std::chrono::milliseconds(999));
        view.OnAbort();  // silently nothing: no question
        QVERIFY(view.Busy());

        clock.Advance(std::chrono::milliseconds(1));
        uitest::WhenModal([](QWidget* d) { Press(d, QMessageBox::Cancel); });
        view.OnAbort();
        QTest::qWait(50);
        QVERIFY(view.Busy());  // Cancel leaves it running

        uitest::WhenModal([](QWidget* d) {
            QCOMPARE(qobject_cast<QMessageBox*>(d)->text(), Text(3000));
            Press(d, QMessageBox::Ok);
        });
        view.OnAbort();
        QTRY_VERIFY(!view.Busy());
        QVERIFY(*run.deleted);
        clock.SetFreeRunning(true);
    }

    void QuestionsAndPasswordBlockOnlyTheOperation() {
        uitest::ProgramFolder folder;
        CNQmntView view;
        Run run;
        run.Start(view, [](ScriptedOp& op) {
            op.answer = op.Prompt()->AskOkCancel(3001, 0) ? 1 : 0;
            op.RequestFromView(WM_PASSWORD_REQUEST);
            op.AddStatusLine("password " + op.m_csPassword);
            op.PostComplete();
        });
        // The window keeps running while the operation waits: the question is a dialog of
        // the event loop, not a nested one.
        QTRY_VERIFY(QApplication::activeModalWidget() != nullptr);
        Press(QApplication::activeModalWidget(), QMessageBox::Ok);
        QTRY_VERIFY(qobject_cast<QDialog*>(QApplication::activeModalWidget()) != nullptr &&
                    !qobject_cast<QMessageBox*>(QApplication::activeModalWidget()));
        auto* password = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        password->reject();  // Cancel: an empty password
        QTRY_VERIFY(!view.Busy());
        QCOMPARE(folder.Read("KZMNT.log"), std::string("password \r\n"));
    }

    void WaitDialogShowsOnceClosesOnRequestAndOnlyCancels() {
        uitest::ProgramFolder folder;
        CNQmntView view;
        Run run;
        run.Start(view, [](ScriptedOp& op) {
            op.PostToView(WM_POWER_RESET_DIALOG, 0);  // close without a dialog: nothing
            op.PostToView(WM_POWER_RESET_DIALOG, 1);
            op.PostToView(WM_POWER_RESET_DIALOG, 1);  // a second show is ignored
        });
        QTRY_VERIFY(view.WaitDialog() != nullptr);
        QPointer<QDialog> first = view.WaitDialog();
        QTest::qWait(20);
        QCOMPARE(view.WaitDialog(), first.data());
        QCOMPARE(view.findChildren<QDialog*>().size(), 1);
        QCOMPARE(first->windowTitle(), Text(1000));

        // The power warning stays hidden while the dialog asks for a power reset.
        run.op->ShowPowerWarning(true);
        QTest::qWait(20);
        QVERIFY(FindControl<QWidget>(&view, 1023)->isHidden());

        first->reject();  // Cancel (or the close box) only raises the flag
        QTRY_VERIFY(run.op->Cancelled());
        QVERIFY(first);
        run.op->PostToView(WM_POWER_RESET_DIALOG, 0);
        QTRY_VERIFY(!first);
        QVERIFY(!FindControl<QWidget>(&view, 1023)->isHidden());
        run.op->PostEvent(EVENT_ABORT);
        QTRY_VERIFY(!view.Busy());
    }

    // Closing asks like Abort; OK aborts through the abort path (after the serial first
    // second), answers the run's open question with Cancel, shows the wait, and closes the
    // window once the run has ended.
    void ClosingTheWindowMidRunAbortsAndWaitsForTheEnd() {
        uitest::ProgramFolder folder;
        // While a question waits for its answer, and while the operation just runs.
        for (const bool asking : {true, false}) {
            auto frame = std::make_unique<CMainFrame>();
            frame->show();
            Run run;
            // The answer outlives the operation, which the window deletes.
            auto answer = std::make_shared<std::atomic<int>>(-1);
            run.Start(*frame->View(), [asking, answer](ScriptedOp& op) {
                op.AddStatusLine("running");
                if (asking) {
                    *answer = op.Prompt()->AskOkCancel(3001, 0) ? 1 : 0;
                }
            });
            if (asking) {
                QTRY_VERIFY(QApplication::activeModalWidget() != nullptr);
            } else {
                QTRY_COMPARE(frame->View()->StatusLines().size(), std::size_t{1});
            }
            bool asked = false;
            WhenCloseAsked([&asked](QMessageBox* box) {
                asked = box->text() == Text(msg::kAskAbort);
                box->button(QMessageBox::Ok)->click();
            });
            QVERIFY(!frame->close());  // not yet: the run ends first
            QVERIFY(asked);
            QVERIFY(frame->View()->Closing());
            QVERIFY(frame->findChild<QMessageBox*>(QStringLiteral("closingWait")) != nullptr);
            QTRY_VERIFY_WITH_TIMEOUT(!frame->isVisible(), 10000);
            QVERIFY(*run.deleted);
            QVERIFY(!frame->View()->Busy());
            if (asking) {
                QCOMPARE(answer->load(), 0);  // the question got Cancel
            }
            QCOMPARE(folder.Read("KZMNT.log"), std::string("running\r\naborted\r\n"));
            QTRY_VERIFY(QApplication::activeModalWidget() == nullptr);
        }
    }

    void CancellingTheCloseQuestionKeepsTheRunGoing() {
        uitest::ProgramFolder folder;
        CMainFrame frame;
        frame.show();
        Run run;
        run.Start(*frame.View(), [](ScriptedOp& op) { op.AddStatusLine("running"); });
        WhenCloseAsked([](QMessageBox* box) { box->button(QMessageBox::Cancel)->click(); });
        QVERIFY(!frame.close());
        QTest::qWait(1200);  // past the first second: an abort would have been sent by now
        QVERIFY(frame.isVisible());
        QVERIFY(frame.View()->Busy());
        QVERIFY(!frame.View()->Closing());
        QVERIFY(!*run.deleted);
        run.op->PostEvent(EVENT_ABORT);
        QTRY_VERIFY(!frame.View()->Busy());
        QVERIFY(frame.isVisible());
    }

    // The result line under the bar says how the run ended, in both layouts, until the next
    // start; the status bar names the run while it goes on.
    void TheResultLineShowsSuccessAndFailureInBothLayouts() {
        for (const char* mode : {"1", "0"}) {
            uitest::ProgramFolder folder(std::string("[CONFIG]\r\nDISPMODE=") + mode + "\r\n");
            CMainFrame frame;
            frame.show();
            CNQmntView* view = frame.View();
            QCOMPARE(frame.statusBar()->currentMessage(), Text(txt::kReady));
            QCOMPARE(view->LastOutcome(), CNQmntView::Outcome::None);
            for (const int error : {0, int{msg::kCheckPower}}) {
                std::atomic<bool> go{false};
                Run run;
                run.Start(*view, [&go, error](ScriptedOp& op) {
                    while (!go) {
                        std::this_thread::sleep_for(std::chrono::milliseconds(1));
                    }
                    op.m_nError = error;
                    op.ReportCompletion();
                });
                QCOMPARE(frame.statusBar()->currentMessage(), Text(txt::kRunningOther));
                // The previous run's result is gone as soon as this one starts.
                QCOMPARE(view->LastOutcome(), CNQmntView::Outcome::None);
                QVERIFY(FindControl<QWidget>(view, 1062)->isHidden());
                go = true;
                QTRY_VERIFY(!view->Busy());
                const bool ok = error == 0;
                QCOMPARE(view->LastOutcome(),
                         ok ? CNQmntView::Outcome::Success : CNQmntView::Outcome::Failure);
                QVERIFY(FindControl<QWidget>(view, 1062)->isVisible());
                QVERIFY(FindControl<QWidget>(view, 1061)->isVisible());
                QCOMPARE(Shown(*view, 1062), Text(ok ? msg::kCompleted : msg::kCheckPower));
                QCOMPARE(frame.statusBar()->currentMessage(), Text(txt::kReady));
            }
        }
    }

    // A failure asks for attention only when the user is elsewhere. The offscreen platform
    // keeps no alert state of its own, so the test watches the view's signal, which comes
    // right before QApplication::alert.
    void AFailureAsksForAttentionWhenTheWindowIsNotActive() {
        uitest::ProgramFolder folder;
        CMainFrame frame;
        frame.show();
        QVERIFY(QTest::qWaitForWindowExposed(&frame));
        CNQmntView* view = frame.View();
        QSignalSpy attention(view, &CNQmntView::attentionRequested);
        auto fail = [view](int error) {
            Run run;
            run.Start(*view, [error](ScriptedOp& op) {
                op.m_nError = error;
                op.ReportCompletion();
            });
            QTRY_VERIFY(!view->Busy());
        };
        frame.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&frame));
        fail(msg::kCheckPower);
        QCOMPARE(attention.count(), 0);  // the user sees it already

        QWidget elsewhere;
        elsewhere.show();
        elsewhere.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&elsewhere));
        QVERIFY(!frame.isActiveWindow());
        fail(0);
        QCOMPARE(attention.count(), 0);  // success needs no attention
        fail(msg::kCheckPower);
        QCOMPARE(attention.count(), 1);
    }

    // The status lines can be selected and copied, in list order, as shown.
    void TheStatusListCopiesWhatIsSelected() {
        uitest::ProgramFolder folder;
        CNQmntView view;
        Run run;
        run.Start(view, [](ScriptedOp& op) {
            op.AddStatusLine("first");
            op.AddStatusLine("second");
            op.AddStatusLine("third");
            op.PostComplete();
        });
        QTRY_VERIFY(!view.Busy());
        auto* list = FindControl<QListWidget>(&view, 1002);
        auto* copy = list->findChild<QAction*>(QStringLiteral("statusCopy"));
        auto* all = list->findChild<QAction*>(QStringLiteral("statusSelectAll"));
        QVERIFY(copy && all);
        QCOMPARE(list->contextMenuPolicy(), Qt::ActionsContextMenu);
        QApplication::clipboard()->clear();
        all->trigger();
        copy->trigger();
        const QString whole = QApplication::clipboard()->text();
        QVERIFY(whole.startsWith(QStringLiteral("first\nsecond\nthird\n")));
        QCOMPARE(whole.count(QLatin1Char('\n')), list->count());
        list->clearSelection();
        list->item(2)->setSelected(true);
        list->item(0)->setSelected(true);
        copy->trigger();
        QCOMPARE(QApplication::clipboard()->text(), QStringLiteral("first\nthird\n"));
    }

    // Help → Open log hands KZMNT.log to the desktop, or says that there is none yet.
    void HelpOpenLogShowsTheLogOrSaysThereIsNone() {
        uitest::ProgramFolder folder;
        CMainFrame frame;
        auto* openLog = frame.findChild<QAction*>(QStringLiteral("openLog"));
        QVERIFY(openLog);
        UrlCatcher catcher;
        QDesktopServices::setUrlHandler(QStringLiteral("file"), &catcher, "Open");
        bool told = false;
        uitest::WhenModal([&told](QWidget* d) {
            told = qobject_cast<QMessageBox*>(d)->text().contains(QStringLiteral("KZMNT.log"));
            Press(d, QMessageBox::Ok);
        });
        openLog->trigger();
        QVERIFY(told);
        QVERIFY(catcher.urls.isEmpty());

        folder.Write("KZMNT.log", "line\r\n");
        openLog->trigger();
        QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
        QCOMPARE(catcher.urls.size(), 1);
        QCOMPARE(catcher.urls.front().toLocalFile(),
                 QFileInfo(QString::fromStdString(folder.Path("KZMNT.log"))).absoluteFilePath());
    }

    // A ".mem" file dropped on the window shows its properties, or says that it is no image;
    // other drops are refused.
    void DroppingAnImageShowsItsProperties() {
        uitest::ProgramFolder folder;
        const std::string path = folder.Path("drop.mem");
        QVERIFY(WriteImageHeader(path, ""));
        const std::string junk = folder.Write("junk.mem", "no image");
        const std::string text = folder.Write("notes.txt", "text");
        CMainFrame frame;
        const auto drag = [&frame](const std::string& file) {
            QMimeData data;
            data.setUrls({QUrl::fromLocalFile(QString::fromStdString(file))});
            QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &data, Qt::LeftButton,
                                  Qt::NoModifier);
            enter.ignore();
            QCoreApplication::sendEvent(&frame, &enter);
            return enter.isAccepted();
        };
        QVERIFY(!drag(text));
        // A drop as a drag delivers it: the window accepts the drag, then gets the drop.
        const auto drop = [&frame, &drag](const std::string& file) {
            if (!drag(file)) {
                return QStringLiteral("drag refused");
            }
            QString shown;
            uitest::WhenModal([&shown](QWidget* d) {
                shown = QString::fromLatin1(d->metaObject()->className());
                qobject_cast<QDialog*>(d)->reject();
            });
            QMimeData data;
            data.setUrls({QUrl::fromLocalFile(QString::fromStdString(file))});
            QDropEvent event(QPointF(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
            QCoreApplication::sendEvent(&frame, &event);
            if (!QTest::qWaitFor([&shown] { return !shown.isEmpty(); })) {
                return QStringLiteral("nothing shown");
            }
            return shown;
        };
        QCOMPARE(drop(path), QStringLiteral("kz::ui::CPropertyDlg"));
        QCOMPARE(drop(junk), QStringLiteral("QMessageBox"));
    }

    // A new start clears the comment, the model and the status list of the run before.
    void AStartClearsWhatThePreviousRunShowed() {
        uitest::ProgramFolder folder;
        CNQmntView view;
        Run first;
        first.Start(view, [](ScriptedOp& op) {
            op.m_csMachineName = "KZ-OLD";
            op.SetModelName();
            op.AddStatusLine("old run");
            op.ReportCompletion();
        });
        QTRY_VERIFY(!view.Busy());
        QCOMPARE(Shown(view, 1006), QStringLiteral("KZ-OLD"));
        Run second;
        auto owned = std::make_unique<ScriptedOp>([](ScriptedOp&) {}, second.deleted);
        second.op = owned.get();
        view.Start(std::move(owned), "/tmp/card", "");
        QCOMPARE(Shown(view, 1004), QString());
        QCOMPARE(Shown(view, 1006), QString());
        QCOMPARE(FindControl<QListWidget>(&view, 1002)->count(), 0);
        QCOMPARE(FindControl<QLineEdit>(&view, 1043)->text(), QStringLiteral("/tmp/card"));
        second.op->PostEvent(EVENT_ABORT);
        QTRY_VERIFY(!view.Busy());
        QCOMPARE(view.StatusLines(), std::vector<std::string>{"aborted"});
        QCOMPARE(view.LastOutcome(), CNQmntView::Outcome::Failure);
    }

    // After Comment Edit the form shows the file and the comment it now holds.
    void CommentEditShowsTheStoredComment() {
        uitest::ProgramFolder folder("[CONFIG]\r\nAUTOFILENAME=0\r\n");
        const std::string path = folder.Path("image.mem");
        QVERIFY(WriteImageHeader(path, "before"));
        CSettings().AddRecentFile(path);
        CNQmntView view;
        uitest::WhenModal([](QWidget* dialog) {
            auto* ok = FindControl<QAbstractButton>(dialog, 1);
            FindControl<QLineEdit>(dialog, 1018)->setText(QStringLiteral("after"));
            if (!ok->isEnabled()) {
                qobject_cast<QDialog*>(dialog)->reject();  // the image was not offered
            }
            ok->click();
        });
        view.OnComment();
        QCOMPARE(Shown(view, 1004), QStringLiteral("after"));
        QCOMPARE(FindControl<QLineEdit>(&view, 1043)->text(), QString::fromStdString(path));
    }

    // The transfer's bytes, rate, time left and area show beside the bar while data moves.
    void ProgressTextShowsBytesRateTimeLeftAndArea() {
        uitest::ProgramFolder folder;
        platform::ManualClock clock;
        platform::ScopedClock useClock(clock);
        CNQmntView view;
        Run run;
        run.Start(view, [&clock](ScriptedOp& op) {
            op.BeginTransfer(16 * 1024 * 1024);
            op.SetTransferArea("FEPROM");
            clock.Advance(std::chrono::seconds(2));
            op.TransferMoved(1024 * 1024);
        });
        QTRY_COMPARE(Shown(view, 1060), QStringLiteral("1.0 of 16.0 MiB \u00B7 512.0 KiB/s \u00B7 "
                                                       "30 s left \u00B7 FEPROM"));
        run.op->PostEvent(EVENT_ABORT);
        QTRY_VERIFY(!view.Busy());
        clock.SetFreeRunning(true);
    }

    void LayoutsAreStoredAndRemembered() {
        uitest::ProgramFolder folder("[CONFIG]\r\nDISPMODE=0\r\n");
        {
            CMainFrame frame;
            frame.show();
            CNQmntView* view = frame.View();
            QVERIFY(!view->SimpleMode());
            QVERIFY(!view->Action(cmd::kDetailMode)->isEnabled());
            view->Action(cmd::kSimpleMode)->trigger();
            QVERIFY(!FindControl<QWidget>(view, 1029)->isVisible());
            QVERIFY(!FindControl<QWidget>(view, 1002)->isVisible());
            QVERIFY(FindControl<QWidget>(view, 1005)->isVisible());
            QCOMPARE(CSettings().GetDispMode(), true);
            QTRY_VERIFY(frame.height() < 300);
        }
        {
            CMainFrame frame;
            frame.show();
            QVERIFY(frame.View()->SimpleMode());
            frame.View()->Action(cmd::kDetailMode)->trigger();
            QVERIFY(FindControl<QWidget>(frame.View(), 1002)->isVisible());
            QCOMPARE(folder.Read("KZMNT.INI").find("DISPMODE=0") != std::string::npos, true);
        }
    }

    void ALayoutChosenWithoutSettingsFileIsRemembered() {
        uitest::ProgramFolder folder;  // no KZMNT.INI
        {
            CNQmntView view;
            QVERIFY(view.SimpleMode());                 // the default
            QVERIFY(folder.Read("KZMNT.INI").empty());  // starting writes nothing
            view.Action(cmd::kDetailMode)->trigger();
        }
        CNQmntView again;
        QVERIFY(!again.SimpleMode());
    }

    void ToolBarAndStatusBarToggle() {
        uitest::ProgramFolder folder;
        CMainFrame frame;
        frame.show();
        QVERIFY(frame.ToolBar()->isVisible());
        frame.Action(cmd::kToolBar)->trigger();
        QVERIFY(!frame.ToolBar()->isVisible());
        frame.Action(cmd::kStatusBar)->trigger();
        QVERIFY(!frame.statusBar()->isVisible());
        frame.Action(cmd::kToolBar)->trigger();
        QVERIFY(frame.ToolBar()->isVisible());
        QCOMPARE(frame.windowTitle(), Text(1000));
    }

    void AcceleratorsReachTheirCommands() {
        uitest::ProgramFolder folder;
        CMainFrame frame;
        frame.show();
        frame.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&frame));
        // Ctrl+B opens the file selection of a backup; Esc there cancels it.
        bool opened = false;
        uitest::WhenModal([&opened](QWidget* dialog) {
            opened = dialog->windowTitle().startsWith(Text(5014)) ||
                     dialog->windowTitle().startsWith(Text(5015));
            qobject_cast<QDialog*>(dialog)->reject();
        });
        QTest::keyClick(&frame, Qt::Key_B, Qt::ControlModifier);
        QVERIFY(opened);
        QVERIFY(!frame.View()->Busy());
    }

    void OnlyOneInstanceHoldsTheLock() {
        test::TempDir runtime;
        qputenv("XDG_RUNTIME_DIR", QByteArray::fromStdString(runtime.str()));
        {
            platform::InstanceLock first("KZ Maintenance Tool");
            QVERIFY(first.Held());
            platform::InstanceLock second("KZ Maintenance Tool");
            QVERIFY(!second.Held());
        }
        platform::InstanceLock again("KZ Maintenance Tool");  // released with its holder
        QVERIFY(again.Held());
    }

    // A second start asks the running copy for its window over the local socket beside
    // the lock, and ends saying so; when nothing answers, it says that too (on stderr, and
    // in a message box that waits for the user).
    void ASecondStartBringsTheRunningWindowForward() {
        const QByteArray build = qgetenv("KZ_BUILD_DIR");
        if (build.isEmpty()) {
            QSKIP("KZ_BUILD_DIR is not set");
        }
        test::TempDir runtime;
        test::TempDir folder;
        qputenv("XDG_RUNTIME_DIR", QByteArray::fromStdString(runtime.str()));
        const platform::InstanceLock running("KZ Maintenance Tool");  // the first copy
        QVERIFY(running.Held());
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("LANG", "C.UTF-8");
        auto start = [&](QProcess& second) {
            second.setProcessEnvironment(env);
            second.setReadChannel(QProcess::StandardError);
            second.start(QString::fromUtf8(build) + "/src/ui/kzmnt",
                         {"--folder", QString::fromStdString(folder.str())});
        };
        {
            // Nobody listens: the second start says so and does not open its own window.
            QProcess second;
            start(second);
            QByteArray said;
            while (!said.contains('\n') && second.waitForReadyRead(30000)) {
                said += second.readAllStandardError();
            }
            QCOMPARE(QString::fromUtf8(said), "kzmnt: " + Text(20422) + "\n");
            second.kill();
            QVERIFY(second.waitForFinished(30000));
        }
        CInstanceBeacon beacon;
        QVERIFY(beacon.Listen(CInstanceBeacon::PathForLock(running.Path())));
        QSignalSpy asked(&beacon, &CInstanceBeacon::raiseRequested);
        QProcess second;
        start(second);
        // The event loop runs meanwhile, so that this copy can answer.
        QTRY_VERIFY_WITH_TIMEOUT(second.state() == QProcess::NotRunning, 30000);
        QCOMPARE(second.exitCode(), 0);
        QCOMPARE(asked.count(), 1);
        QCOMPARE(QString::fromUtf8(second.readAllStandardError()), "kzmnt: " + Text(20421) + "\n");
    }

    // Without a runtime folder, a link planted as the lock's private folder keeps the
    // program from starting, and it says why (here on stderr; a message box waits too).
    void AnUnusableLockIsExplained() {
        const QByteArray build = qgetenv("KZ_BUILD_DIR");
        if (build.isEmpty()) {
            QSKIP("KZ_BUILD_DIR is not set");
        }
        test::TempDir tmp;
        test::TempDir folder;
        const std::string planted = tmp.str() + "kzmnt-" + std::to_string(::getuid());
        std::filesystem::create_directory_symlink(folder.path(), planted);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove("XDG_RUNTIME_DIR");
        env.insert("TMPDIR", QString::fromStdString(tmp.str()));
        env.insert("QT_QPA_PLATFORM", "offscreen");
        QProcess kzmnt;
        kzmnt.setProcessEnvironment(env);
        kzmnt.setReadChannel(QProcess::StandardError);
        kzmnt.start(QString::fromUtf8(build) + "/src/ui/kzmnt",
                    {"--folder", QString::fromStdString(folder.str())});
        QByteArray said;
        while (!said.contains('\n') && kzmnt.waitForReadyRead(30000)) {
            said += kzmnt.readAllStandardError();
        }
        // Qt may warn about the missing runtime folder after our line, in the same read.
        said.truncate(said.indexOf('\n') + 1);
        const QString expected =
            "kzmnt: " +
            Text(msg::kLockFolderNotPrivate).replace("%s", QString::fromStdString(planted)) + "\n";
        QCOMPARE(QString::fromUtf8(said), expected);
        QCOMPARE(kzmnt.state(), QProcess::Running);  // the message box is open
        kzmnt.kill();
        QVERIFY(kzmnt.waitForFinished(30000));
    }
};

QTEST_MAIN(ViewTest)
#include "ViewTest.moc"

// The main window during and after real runs against the simulated panel on a virtual
// serial link: a backup under way (progress with rate and time left), a completed and a
// failed backup in the simple layout, and the question closing the window asks during a
// run. Nothing on these pictures is written by hand: the window shows what the run sent.
#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPixmap>
#include <QTest>
#include <QTimer>
#include <memory>

#include "Shots.h"
#include "UiTestSupport.h"
#include "sim/PanelDescription.h"
#include "support/LoaderFile.h"
#include "support/PanelFixture.h"
#include "support/TestFolder.h"
#include "ui/MainFrame.h"
#include "ui/NQmntView.h"
#include "ui/UiIds.h"
#include "ui/UiText.h"
#include "ui/dialogs/ConfirmDlg.h"

namespace kz::shots {

namespace {

constexpr int kWaitMs = 30000;
// A panel slow enough that a backup lasts some seconds and shows its rate and time left.
constexpr std::chrono::milliseconds kSlowAnswer{150};

// A program folder whose COM1 leads to a simulated panel (to no device when withPanel is
// false),
// kept for the life of the window it belongs to. The protocol's clock runs in real time,
// so the rate shown is the link's.
class Rig : public QObject {
  public:
    Rig(QObject* owner, bool withPanel) : QObject(owner), folder_(Settings(), {}) {
        const sim::PanelDescription description = test::TestPanel(0x40000, 0x8000);
        test::ModelChoices choices;
        choices.loaderFile = "DEMO.LDR";
        choices.offset = 0x4000;
        folder_.WriteIni(Settings(), "AUTOFILENAME=0\r\nDISPMODE=0\r\n",
                         test::ModelSection(description, choices));
        const std::vector<std::uint8_t> loader = test::LoaderFile(0x00021000, 2000);
        folder_.dir().Write("DEMO.LDR", std::string(loader.begin(), loader.end()));
        if (!withPanel) {
            // The adapter is not there: COM1 names a device that does not exist.
            folder_.dir().Write(
                "KZMNT.INI",
                test::ProgramIni(38400, 1, 1, 3, "AUTOFILENAME=0\r\n", folder_.Path("ttyUSB0"),
                                 test::ModelSection(description, choices)));
        } else {
            panel_ = std::make_unique<test::PanelFixture>(description, folder_.linkPtr());
        }
    }
    // From now on the panel waits before each answer.
    void SlowDown(std::chrono::milliseconds answerDelay) {
        sim::FaultConfig faults;
        faults.answerDelay = answerDelay;
        (*panel_)->SetFaults(faults);
    }
    ~Rig() override = default;
    std::string Path(const std::string& name) const { return folder_.Path(name); }

  private:
    static test::LinkSettings Settings() {
        test::LinkSettings settings;
        settings.clockFactor = 1;
        return settings;
    }

    test::TestFolder folder_;
    std::unique_ptr<test::PanelFixture> panel_;
};

// A window on a fresh rig, in the given layout.
ui::CMainFrame* Window(bool simple, bool withPanel, Rig** rig) {
    auto* frame = new ui::CMainFrame;
    // The rig is made after the view, so the view (and its run) goes first.
    *rig = new Rig(frame, withPanel);
    frame->View()->SetSimpleLayout(simple);
    frame->show();
    return frame;
}

// Starts a backup into path through the window's command, as a user would: the name typed
// into the file selection, the model information confirmed once the panel has answered.
// slow: the panel is slowed down once it has been identified, so that the data phase lasts.
bool StartBackup(ui::CMainFrame* frame, const std::string& path, const QString& comment,
                 bool confirm, Rig* slow = nullptr) {
    uitest::WhenModal([path, comment](QWidget* dialog) {
        ui::FindControl<QComboBox>(dialog, 1000)->setEditText(QString::fromStdString(path));
        ui::FindControl<QLineEdit>(dialog, 1018)->setText(comment);
        ui::FindControl<QAbstractButton>(dialog, 1)->click();
    });
    frame->View()->Action(ui::cmd::kBackUp)->trigger();
    if (!frame->View()->Busy()) {
        return false;
    }
    if (!confirm) {
        return true;
    }
    if (!QTest::qWaitFor(
            [] { return qobject_cast<ui::CConfirmDlg*>(QApplication::activeModalWidget()); },
            kWaitMs)) {
        return false;
    }
    if (slow) {
        slow->SlowDown(kSlowAnswer);
    }
    ui::FindControl<QAbstractButton>(QApplication::activeModalWidget(), 1)->click();
    return true;
}

QString ProgressText(ui::CMainFrame* frame) {
    return ui::FindControl<QLabel>(frame->View(), 1060)->text();
}

// Waits until the run shows a rate and the time left.
bool WaitForRate(ui::CMainFrame* frame) {
    return QTest::qWaitFor(
        [frame] {
            const QString text = ProgressText(frame);
            return text.count(QString::fromUtf8("\u00B7")) >= 3;  // bytes · rate · left · area
        },
        kWaitMs);
}

QWidget* Running() {
    Rig* rig = nullptr;
    ui::CMainFrame* frame = Window(false, true, &rig);
    if (!StartBackup(frame, rig->Path("line4-press.mem"), QStringLiteral("Line 4 press"), true,
                     rig) ||
        !WaitForRate(frame)) {
        delete frame;
        return nullptr;
    }
    return frame;
}

QWidget* Ended(bool withPanel) {
    Rig* rig = nullptr;
    ui::CMainFrame* frame = Window(true, withPanel, &rig);
    if (!StartBackup(frame, rig->Path("line4-press.mem"), QStringLiteral("Line 4 press"),
                     withPanel) ||
        !QTest::qWaitFor([frame] { return !frame->View()->Busy(); }, kWaitMs)) {
        delete frame;
        return nullptr;
    }
    return frame;
}

// The close question is taken from the screen while it is open (it runs its own event
// loop), then answered Cancel; the picture is shown as it was taken.
QWidget* CloseQuestion() {
    Rig* rig = nullptr;
    std::unique_ptr<ui::CMainFrame> frame(Window(false, true, &rig));
    if (!StartBackup(frame.get(), rig->Path("line4-press.mem"), QStringLiteral("Line 4 press"),
                     true, rig) ||
        !WaitForRate(frame.get())) {
        return nullptr;
    }
    auto picture = std::make_shared<QPixmap>();
    uitest::WhenModal([picture](QWidget* dialog) {
        auto* box = qobject_cast<QMessageBox*>(dialog);
        if (!box || box->informativeText() != ui::Text(ui::txt::kCloseAbortNote)) {
            return;
        }
        QTest::qWait(50);
        *picture = box->grab();
        box->button(QMessageBox::Cancel)->click();
    });
    frame->close();
    if (picture->isNull()) {
        return nullptr;
    }
    auto* shown = new QLabel;
    shown->setPixmap(*picture);
    shown->setFixedSize(picture->size());
    return shown;  // the window and its run end here
}

}  // namespace

std::vector<Shot> RunShots() {
    return {
        {"main-backup-running", Running},
        {"main-simple-completed", [] { return Ended(true); }},
        {"main-simple-failed", [] { return Ended(false); }},
        {"close-during-run", CloseQuestion},
    };
}

}  // namespace kz::shots

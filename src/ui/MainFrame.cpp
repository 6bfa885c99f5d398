#include "ui/MainFrame.h"

#include <QCloseEvent>
#include <QDesktopServices>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLayout>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeData>
#include <QStatusBar>
#include <QTimer>
#include <QToolBar>
#include <QUrl>

#include "config/MessageIds.h"
#include "diag/DebugLog.h"
#include "ui/Icons.h"
#include "ui/NQmntView.h"
#include "ui/UiIds.h"
#include "ui/UiText.h"
#include "ui/WindowPlacement.h"
#include "ui/dialogs/AboutDlg.h"
#include "ui/dialogs/CompareImagesDlg.h"
#include "ui/dialogs/HistoryDlg.h"

namespace kz::ui {

CMainFrame::CMainFrame(QWidget* parent) : QMainWindow(parent), view_(new CNQmntView(this)) {
    setCentralWidget(view_);
    setWindowTitle(Text(msg::kAppTitle));
    setWindowIcon(AppIcon());
    setAcceptDrops(true);

    about_ = MakeCommandAction(this, cmd::kAbout, txt::kItemAbout, QKeySequence(Qt::Key_F1));
    connect(about_, &QAction::triggered, this, &CMainFrame::OnAbout);
    openLog_ = new QAction(Text(txt::kItemOpenLog), this);
    openLog_->setObjectName(QStringLiteral("openLog"));
    connect(openLog_, &QAction::triggered, this, &CMainFrame::OnOpenLog);
    compareImages_ = new QAction(Text(txt::kItemCompareImages), this);
    compareImages_->setObjectName(QStringLiteral("compareImages"));
    connect(compareImages_, &QAction::triggered, this, &CMainFrame::OnCompareImages);
    history_ = new QAction(Text(txt::kItemHistory), this);
    history_->setObjectName(QStringLiteral("history"));
    connect(history_, &QAction::triggered, this, &CMainFrame::OnHistory);
    exit_ = MakeCommandAction(this, cmd::kExit, txt::kItemExit, QKeySequence(Qt::CTRL | Qt::Key_Q));
    connect(exit_, &QAction::triggered, this, &QWidget::close);
    toolBarToggle_ = MakeCommandAction(this, cmd::kToolBar, txt::kItemToolBar);
    toolBarToggle_->setCheckable(true);
    toolBarToggle_->setChecked(true);
    connect(toolBarToggle_, &QAction::triggered, this, &CMainFrame::ToggleToolBar);
    statusBarToggle_ = MakeCommandAction(this, cmd::kStatusBar, txt::kItemStatusBar);
    statusBarToggle_->setCheckable(true);
    statusBarToggle_->setChecked(true);
    connect(statusBarToggle_, &QAction::triggered, this, &CMainFrame::ToggleStatusBar);

    BuildMenu();
    BuildToolBar();
    BuildStatusBar();
    connect(view_, &CNQmntView::layoutChanged, this,
            [this] { QTimer::singleShot(0, this, &CMainFrame::FitToView); });
    connect(view_, &CNQmntView::closeReady, this, &QWidget::close);
    FitToView();
    RestorePlacement();
}

void CMainFrame::RestorePlacement() {
    const std::optional<QRect> placement = StoredPlacement();
    if (!placement) {
        return;
    }
    detailHeight_ = placement->height();
    move(placement->topLeft());
    resize(placement->width(), height());
    FitToView();
}

QAction* CMainFrame::Action(int id) const {
    for (QAction* action : {about_, exit_, toolBarToggle_, statusBarToggle_}) {
        if (action->objectName() == QString::number(id)) {
            return action;
        }
    }
    return nullptr;
}

void CMainFrame::BuildMenu() {
    QMenu* file = menuBar()->addMenu(Text(txt::kMenuFile));
    for (const int id : {cmd::kBackUp, cmd::kVerify, cmd::kRestore}) {
        file->addAction(view_->Action(id));
    }
    file->addSeparator();
    file->addAction(view_->Action(cmd::kCfReceive));
    file->addAction(view_->Action(cmd::kCfSend));
    file->addSeparator();
    file->addAction(view_->Action(cmd::kAbort));
    file->addSeparator();
    file->addAction(view_->Action(cmd::kProperty));
    file->addAction(view_->Action(cmd::kComment));
    file->addAction(compareImages_);
    file->addSeparator();
    file->addAction(exit_);

    QMenu* setting = menuBar()->addMenu(Text(txt::kMenuSetting));
    setting->addAction(view_->Action(cmd::kTransferSetup));

    QMenu* view = menuBar()->addMenu(Text(txt::kMenuView));
    view->addAction(toolBarToggle_);
    view->addAction(statusBarToggle_);
    view->addSeparator();
    view->addAction(view_->Action(cmd::kSimpleMode));
    view->addAction(view_->Action(cmd::kDetailMode));

    QMenu* help = menuBar()->addMenu(Text(txt::kMenuHelp));
    help->addAction(openLog_);
    help->addAction(history_);
    help->addSeparator();
    help->addAction(about_);
}

void CMainFrame::BuildToolBar() {
    toolBar_ = addToolBar(Text(txt::kToolBarName));
    toolBar_->setObjectName(QStringLiteral("toolbar128"));
    toolBar_->setIconSize(QSize(24, 24));
    toolBar_->setMovable(true);
    const int order[] = {cmd::kBackUp, cmd::kVerify,   cmd::kRestore, cmd::kCfReceive,
                         cmd::kCfSend, cmd::kProperty, cmd::kAbout,   cmd::kToolBarSpare};
    bool first = true;
    for (const int id : order) {
        if (!first) {
            toolBar_->addSeparator();
        }
        first = false;
        QAction* action = id == cmd::kAbout ? about_ : view_->Action(id);
        if (id == cmd::kToolBarSpare) {
            // The last button has no command behind it and stays disabled.
            action = new QAction(this);
            action->setObjectName(QString::number(id));
            action->setEnabled(false);
        }
        action->setIcon(CommandIcon(id));
        toolBar_->addAction(action);
    }
}

void CMainFrame::BuildStatusBar() {
    QStatusBar* bar = statusBar();
    // The message pane names the run while one goes on, else "Ready"; a menu's status tip
    // replaces it only while the pointer is on the item.
    bar->showMessage(view_->StatusText());
    connect(view_, &CNQmntView::statusMessage, bar,
            [bar](const QString& text) { bar->showMessage(text); });
    connect(bar, &QStatusBar::messageChanged, bar, [this, bar](const QString& text) {
        if (text.isEmpty()) {
            bar->showMessage(view_->StatusText());
        }
    });
    // The lock-key indicators: the platform does not report the lock states to the
    // program, so they stay dimmed, as an indicator whose key is off.
    for (const int id :
         {txt::kIndicatorKana, txt::kIndicatorCaps, txt::kIndicatorNum, txt::kIndicatorScroll}) {
        auto* pane = new QLabel(Text(id), bar);
        pane->setObjectName(QStringLiteral("indicator%1").arg(id));
        pane->setAlignment(Qt::AlignCenter);
        pane->setMinimumWidth(pane->fontMetrics().horizontalAdvance(Text(id)) + 12);
        pane->setEnabled(false);
        bar->addPermanentWidget(pane);
    }
}

void CMainFrame::FitToView() {
    if (QLayout* form = view_->layout()) {
        form->activate();
    }
    if (layout()) {
        layout()->activate();
    }
    const QSize hint = sizeHint();
    const QSize minimum = minimumSizeHint();
    // The simple layout shrinks the window to the progress bar; the detailed one grows it
    // back to show the status list. The width the user chose stays.
    // The height of the detailed layout is kept while the simple one is shown, for the
    // way back and for the next start.
    if (view_->SimpleMode() && isVisible() && height() > minimum.height()) {
        detailHeight_ = height();
    }
    const int height =
        view_->SimpleMode() ? minimum.height() : std::max({hint.height(), 420, detailHeight_});
    setMinimumHeight(minimum.height());
    if (view_->SimpleMode()) {
        setMaximumHeight(minimum.height());
    } else {
        setMaximumHeight(QWIDGETSIZE_MAX);
    }
    resize(std::max(width(), hint.width()), height);
}

void CMainFrame::ToggleToolBar() {
    toolBar_->setVisible(!toolBar_->isVisible());
    toolBarToggle_->setChecked(toolBar_->isVisible());
    FitToView();
}

void CMainFrame::ToggleStatusBar() {
    statusBar()->setVisible(!statusBar()->isVisible());
    statusBarToggle_->setChecked(statusBar()->isVisible());
    FitToView();
}

void CMainFrame::OnAbout() {
    CAboutDlg dialog(this);
    dialog.exec();
}

namespace {

// The one local ".mem" file a drag carries, or an empty string.
QString DroppedImage(const QMimeData* data) {
    if (data == nullptr || data->urls().size() != 1 || !data->urls().front().isLocalFile()) {
        return {};
    }
    const QString path = data->urls().front().toLocalFile();
    return path.endsWith(QStringLiteral(".mem"), Qt::CaseInsensitive) ? path : QString();
}

}  // namespace

void CMainFrame::dragEnterEvent(QDragEnterEvent* event) {
    if (!view_->Busy() && !DroppedImage(event->mimeData()).isEmpty()) {
        event->acceptProposedAction();
    }
}

void CMainFrame::dropEvent(QDropEvent* event) {
    const QString path = DroppedImage(event->mimeData());
    if (path.isEmpty()) {
        return;
    }
    event->acceptProposedAction();
    // The dialog opens after the drop has finished, so that the drag source is not kept
    // waiting while it is open.
    QTimer::singleShot(
        0, this, [this, path] { view_->ShowProperty(QFile::encodeName(path).toStdString()); });
}

void CMainFrame::OnOpenLog() {
    const QString path = QString::fromStdString(DebugLogPath());
    const QFileInfo info(path);
    int problem = 0;
    if (!info.isFile()) {
        problem = txt::kNoLogYet;
    } else if (!QDesktopServices::openUrl(QUrl::fromLocalFile(path))) {
        problem = txt::kLogNotOpened;
    }
    if (problem != 0) {
        QMessageBox box(QMessageBox::Information, Text(msg::kAppTitle),
                        Text(problem).replace(QStringLiteral("%s"), QDir::toNativeSeparators(path)),
                        QMessageBox::Ok, this);
        box.exec();
    }
}

void CMainFrame::OnCompareImages() {
    CCompareImagesDlg dialog(this);
    dialog.exec();
}

void CMainFrame::OnHistory() {
    CHistoryDlg dialog(this);
    dialog.exec();
}

void CMainFrame::closeEvent(QCloseEvent* event) {
    // During a run the view asks first; when the user lets it abort, it closes the frame
    // again once the run has ended.
    if (!view_->RequestClose()) {
        event->ignore();
        return;
    }
    view_->EndOperation();
    const bool full = isMaximized() || isFullScreen();
    const QRect normal = full ? normalGeometry() : geometry();
    const int detail = view_->SimpleMode() && detailHeight_ > 0 ? detailHeight_ : normal.height();
    StorePlacement(QRect(full ? normal.topLeft() : pos(), QSize(normal.width(), detail)));
    event->accept();
}

}  // namespace kz::ui

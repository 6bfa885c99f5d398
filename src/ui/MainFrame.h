// The main window: menu 128, tool bar 128, the status bar (message pane, then the Kana,
// Caps Lock, Num Lock and Scroll Lock indicators) and the form view. It fits itself to the
// view's layout, shows the About box, and closes only once the view lets it: during a run
// the view asks, aborts the run and waits for its end first. Its position and size are
// stored when it closes and taken again at the next start.
//
// Thread-safety: GUI thread only.
#pragma once

#include <QMainWindow>

class QDragEnterEvent;
class QDropEvent;
class QStatusBar;
class QToolBar;

namespace kz::ui {

class CNQmntView;

class CMainFrame : public QMainWindow {
    Q_OBJECT

  public:
    explicit CMainFrame(QWidget* parent = nullptr);

    CNQmntView* View() const { return view_; }
    QToolBar* ToolBar() const { return toolBar_; }
    // The frame's own commands: About, Exit and the bar toggles (ids of cmd::).
    QAction* Action(int id) const;

    void OnAbout();
    // Opens "KZMNT.log" with the desktop's viewer for text files.
    void OnOpenLog();
    // File → Compare images: two backup images compared without a panel.
    void OnCompareImages();
    // Help → History: the service record of every operation.
    void OnHistory();

  protected:
    // A ".mem" file dropped on the window shows its properties.
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    void ToggleToolBar();
    void ToggleStatusBar();

  protected:
    void closeEvent(QCloseEvent* event) override;

  private:
    void BuildMenu();
    void BuildToolBar();
    void BuildStatusBar();
    // Fits the frame to the view's current layout.
    void FitToView();
    // Takes the position and size stored by the last run's close, when they fit a screen.
    void RestorePlacement();

    CNQmntView* view_;
    QToolBar* toolBar_ = nullptr;
    QAction* about_ = nullptr;
    QAction* openLog_ = nullptr;
    QAction* compareImages_ = nullptr;
    QAction* history_ = nullptr;
    QAction* exit_ = nullptr;
    QAction* toolBarToggle_ = nullptr;
    QAction* statusBarToggle_ = nullptr;
    int detailHeight_ = 0;  // the detailed layout's height the user chose; 0: none yet
};

}  // namespace kz::ui

// The main window: the detailed and simple layouts at rest. The window during and after
// runs comes from real runs (RunShots.cpp).

#include "Shots.h"
#include "ui/MainFrame.h"
#include "ui/NQmntView.h"

namespace kz::shots {

namespace {

QWidget* Frame(bool simple) {
    auto* frame = new ui::CMainFrame;
    frame->View()->SetSimpleLayout(simple);
    return frame;
}

}  // namespace

std::vector<Shot> WindowShots() {
    return {
        {"main-detailed", [] { return Frame(false); }},
        {"main-simple", [] { return Frame(true); }},
    };
}

}  // namespace kz::shots

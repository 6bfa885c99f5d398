#include "ui/WindowPlacement.h"

#include <QGuiApplication>
#include <QScreen>
#include <algorithm>

#include "config/Settings.h"

namespace kz::ui {

namespace {
// The part of the title bar that must be on a screen: its height, and the width the user
// needs to grab it.
constexpr int kTitleBarHeight = 24;
constexpr int kGrabWidth = 100;
}  // namespace

bool PlacementFitsAScreen(const QRect& placement) {
    const QRect titleBar(placement.x(), placement.y(), placement.width(), kTitleBarHeight);
    const int needed = std::min(placement.width(), kGrabWidth);
    for (const QScreen* screen : QGuiApplication::screens()) {
        const QRect shared = titleBar.intersected(screen->geometry());
        if (shared.width() >= needed && shared.height() >= kTitleBarHeight / 2) {
            return true;
        }
    }
    return false;
}

std::optional<QRect> StoredPlacement() {
    const auto stored = CSettings().GetWindowPlacement();
    if (!stored) {
        return std::nullopt;
    }
    const QRect placement(stored->x, stored->y, stored->width, stored->height);
    if (!PlacementFitsAScreen(placement)) {
        return std::nullopt;
    }
    return placement;
}

void StorePlacement(const QRect& placement) {
    CSettings().SetWindowPlacement(
        {placement.x(), placement.y(), placement.width(), placement.height()});
}

}  // namespace kz::ui

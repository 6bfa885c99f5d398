// The main window's position and size across runs, kept in section WINDOW of KZMNT.INI.
// A stored placement is used only when the window's title bar would lie on a screen that
// exists now (a monitor may have gone since); values that are no numbers, or no size, are
// ignored.
//
// Thread-safety: GUI thread only.
#pragma once

#include <QRect>
#include <optional>

namespace kz::ui {

// The stored placement (frame position, client size), or nullopt when there is none, it
// is unreadable, or it would put the title bar off every screen.
std::optional<QRect> StoredPlacement();

// True when a window at placement has enough of its title bar on some screen to be
// grabbed.
bool PlacementFitsAScreen(const QRect& placement);

// Stores placement; nothing is created when KZMNT.INI does not exist.
void StorePlacement(const QRect& placement);

}  // namespace kz::ui

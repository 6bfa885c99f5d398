// The tool bar's icons, drawn for this program: a panel and a disk with the direction the
// data moves, a CF card, a document for the properties, a question mark for About.
//
// Thread-safety: GUI thread only.
#pragma once

#include <QIcon>

namespace kz::ui {

// The icon of a tool bar command (ids of cmd::); a blank icon for other ids.
QIcon CommandIcon(int id);
// The application's icon (a panel with a disk).
QIcon AppIcon();

}  // namespace kz::ui

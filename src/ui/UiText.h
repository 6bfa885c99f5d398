// Texts and control ids of the desktop application. Every text the window shows comes from
// the string table (English or Japanese with the locale); every control that has a
// resource id carries it as its object name, so that the view, the tests and the
// screenshot tool find it by id.
//
// Thread-safety: GUI thread only (Qt widgets).
#pragma once

#include <QAction>
#include <QKeySequence>
#include <QMessageBox>
#include <QString>
#include <QWidget>
#include <string>
#include <string_view>

namespace kz::ui {

// The string table's text of id in the current language.
QString Text(int id);
// The part of a command's status text before its "\n" (the status bar text) and after it
// (the tool tip).
QString StatusPart(int id);
QString TipPart(int id);

// Text from a file, a panel or the settings (UTF-8, or Shift_JIS from older files).
QString DisplayText(std::string_view bytes);
// A text the user typed, as the program stores it (UTF-8).
std::string ToBytes(const QString& text);

// A command's action: its menu text (textId), its status-bar text and tool tip (the parts
// of string id), the command id as object name, and an optional accelerator.
QAction* MakeCommandAction(QObject* parent, int id, int textId, const QKeySequence& key = {});

// A message box with the string table's texts: textId as its text, captionId (0: the
// application's title) as its caption, and OK and Cancel in the current language. The
// caller owns it.
QMessageBox* MakeMessageBox(QWidget* parent, QMessageBox::Icon icon, int textId, int captionId,
                            QMessageBox::StandardButtons buttons);

// Marks w as the control with that resource id.
void SetControlId(QWidget* w, int id);
// The child control with that resource id, or null.
template <class T = QWidget>
T* FindControl(const QObject* parent, int id) {
    return parent->findChild<T*>(QString::number(id));
}

}  // namespace kz::ui

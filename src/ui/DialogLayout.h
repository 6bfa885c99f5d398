// What every dialog of the window shares: the row of buttons at its foot, its window
// decorations and width, and the look of fields the user cannot change.
//
// Thread-safety: GUI thread only.
#pragma once

#include <QHBoxLayout>
#include <QPushButton>
#include <initializer_list>

class QDialog;
class QAbstractScrollArea;
class QLineEdit;

namespace kz::ui {

inline QHBoxLayout* ButtonRow(std::initializer_list<QPushButton*> buttons) {
    auto* row = new QHBoxLayout;
    row->addStretch();
    for (QPushButton* button : buttons) {
        row->addWidget(button);
    }
    return row;
}

// Call at the end of a dialog's constructor, once its top-level layout is set. The dialog
// gets a title bar with the close button only (no minimise or maximise), and it stays wide
// enough for its whole title, also when the title changes later.
void FinishDialog(QDialog* dialog);

// The width a dialog needs for its title bar to show title whole: the text in the title
// bar's font and room for the window's icon and buttons.
int TitleWidth(const QWidget* dialog, const QString& title);

// Makes a field read-only (or writable again) and gives it the look of one: the window's
// background instead of the white of a field that takes input.
void ShowReadOnly(QLineEdit* edit, bool readOnly = true);
void ShowReadOnly(QAbstractScrollArea* view);

}  // namespace kz::ui

// The row of buttons at the foot of a dialog, right-aligned in the order given.
//
// Thread-safety: GUI thread only.
#pragma once

#include <QHBoxLayout>
#include <QPushButton>
#include <initializer_list>

namespace kz::ui {

inline QHBoxLayout* ButtonRow(std::initializer_list<QPushButton*> buttons) {
    auto* row = new QHBoxLayout;
    row->addStretch();
    for (QPushButton* button : buttons) {
        row->addWidget(button);
    }
    return row;
}

}  // namespace kz::ui

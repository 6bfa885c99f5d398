// The pictures the screenshot program renders: one entry per window state or dialog. Each
// make function builds a top-level widget in a given state (the program folder holds the
// sample settings and images of shots/main.cpp); the program shows it, renders it to
// <dir>/<en|ja>/<name>.png and deletes it.
#pragma once

#include <QWidget>
#include <functional>
#include <string>
#include <vector>

namespace kz::shots {

struct Shot {
    std::string name;
    std::function<QWidget*()> make;
};

// The sample program folder the shots run in.
std::string SampleFolder();

std::vector<Shot> WindowShots();       // the main window: layouts at rest
std::vector<Shot> RunShots();          // real runs against the simulator: a backup under
                                       // way, completed, failed, the close question
std::vector<Shot> FileDialogShots();   // file selection, model information, restore
                                       // warning, comment edit, property
std::vector<Shot> SetupDialogShots();  // transfer setup, password, power-reset wait,
                                       // node list, network search, about
std::vector<Shot> FieldToolShots();    // compare images, history, restore warning after a
                                       // safety backup

}  // namespace kz::shots

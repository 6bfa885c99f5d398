#include "Shots.h"

namespace kz::shots {

std::vector<Shot> FileDialogShots() {
    return {};
}

}  // namespace kz::shots

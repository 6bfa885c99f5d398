#include "Shots.h"

namespace kz::shots {

std::vector<Shot> SetupDialogShots() {
    return {};
}

}  // namespace kz::shots

#include "Shots.h"

namespace kz::shots {

std::vector<Shot> WindowShots() {
    return {};
}

}  // namespace kz::shots

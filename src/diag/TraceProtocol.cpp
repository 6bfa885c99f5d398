#include "diag/TraceProtocol.h"

#include <cstdio>

namespace kz::trace {

std::string ControlBlockName(std::string_view prefix) {
    std::string name = "/";
    name += prefix;
    return name;
}

std::string SlotName(std::string_view prefix, int slot) {
    char number[16];
    std::snprintf(number, sizeof(number), "_%02d", slot);
    return ControlBlockName(prefix) + number;
}

std::string SocketName(std::string_view prefix, std::uint32_t viewerId) {
    std::string name(1, '\0');
    name += prefix;
    name += '.';
    name += std::to_string(viewerId);
    return name;
}

}  // namespace kz::trace

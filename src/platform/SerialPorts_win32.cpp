#include "platform/SerialPorts.h"

namespace kz::platform {

// COM ports are opened by their numbers here; there is no device to choose.
std::vector<std::string> ListSerialDevices(const std::string&) {
    return {};
}

}  // namespace kz::platform

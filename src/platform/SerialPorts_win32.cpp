#include "platform/SerialPorts.h"

namespace kz::platform {

// COM ports are opened by their numbers here; there is no device to choose.
std::vector<std::string> ListSerialDevices(const std::string&) {
    return {};
}

std::vector<SerialPortInfo> DescribeSerialDevices(const std::string&) {
    return {};
}

// Access to a COM port is not a matter of groups here.
std::string DeviceOwnerGroup(const std::string&) {
    return {};
}

}  // namespace kz::platform

#include "platform/SerialDeviceNative.h"

namespace kz::platform {

std::unique_ptr<ISerialDevice> OpenNativeSerialDevice(const std::string& path, std::string* error) {
    if (error != nullptr) {
        *error = "not supported yet: " + path;
    }
    return nullptr;
}

}  // namespace kz::platform

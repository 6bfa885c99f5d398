#include "platform/SerialDevice.h"

#include <string_view>

#include "platform/SerialDeviceNative.h"
#include "platform/VirtualSerial.h"

namespace kz::platform {

namespace {
constexpr std::string_view kVirtualPrefix = "virtual:";

void SetError(std::string* error, std::string text) {
    if (error != nullptr) {
        *error = std::move(text);
    }
}
}  // namespace

std::unique_ptr<ISerialDevice> OpenSerialDevice(const std::string& name, std::string* error) {
    if (name.starts_with(kVirtualPrefix)) {
        const std::string linkName = name.substr(kVirtualPrefix.size());
        auto link = VirtualSerialLink::Find(linkName);
        if (!link) {
            SetError(error, "no such device: no virtual link named \"" + linkName + "\"");
            return nullptr;
        }
        auto device = link->OpenEnd(VirtualSerialLink::End::Pc);
        if (!device) {
            SetError(error, "device busy: virtual link \"" + linkName + "\" is in use");
        }
        return device;
    }
    if (name.empty()) {
        SetError(error, "no such device: no device name given");
        return nullptr;
    }
    return OpenNativeSerialDevice(name, error);
}

OpenFailure OpenFailureOf(std::string_view reason) {
    if (reason.starts_with("no such device:")) {
        return OpenFailure::NoDevice;
    }
    if (reason.starts_with("device busy:")) {
        return OpenFailure::Busy;
    }
    if (reason.starts_with("permission denied:")) {
        return OpenFailure::NoPermission;
    }
    if (reason.starts_with("not a serial device:")) {
        return OpenFailure::NotSerial;
    }
    return OpenFailure::Other;
}

}  // namespace kz::platform

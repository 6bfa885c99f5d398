#include "platform/SerialDevice.h"

#include <string_view>

#include "platform/SerialDeviceNative.h"
#include "platform/VirtualSerial.h"

namespace kz::platform {

namespace {
constexpr std::string_view kVirtualPrefix = "virtual:";

void SetError(DeviceOpenError* error, OpenFailure kind, const std::string& what) {
    if (error != nullptr) {
        *error = MakeOpenError(kind, what, {});
    }
}
}  // namespace

std::string_view OpenFailureWords(OpenFailure kind) {
    switch (kind) {
        case OpenFailure::NoDevice:
            return "no such device";
        case OpenFailure::Busy:
            return "device busy";
        case OpenFailure::NoPermission:
            return "permission denied";
        case OpenFailure::NotSerial:
            return "not a serial device";
        case OpenFailure::Other:
            break;
    }
    return "cannot use device";
}

DeviceOpenError MakeOpenError(OpenFailure kind, const std::string& what,
                              const std::string& systemWords) {
    std::string reason = std::string(OpenFailureWords(kind)) + ": " + what;
    if (!systemWords.empty()) {
        reason += " (" + systemWords + ")";
    }
    return {kind, std::move(reason), {}};
}

std::unique_ptr<ISerialDevice> OpenSerialDevice(const std::string& name, DeviceOpenError* error) {
    if (name.starts_with(kVirtualPrefix)) {
        const std::string linkName = name.substr(kVirtualPrefix.size());
        auto link = VirtualSerialLink::Find(linkName);
        if (!link) {
            SetError(error, OpenFailure::NoDevice, "no virtual link named \"" + linkName + "\"");
            return nullptr;
        }
        auto device = link->OpenEnd(VirtualSerialLink::End::Pc);
        if (!device) {
            SetError(error, OpenFailure::Busy, "virtual link \"" + linkName + "\" is in use");
        }
        return device;
    }
    if (name.empty()) {
        SetError(error, OpenFailure::NoDevice, "no device name given");
        return nullptr;
    }
    return OpenNativeSerialDevice(name, error);
}

}  // namespace kz::platform

#include "platform/SerialPorts.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace kz::platform {

namespace {

namespace fs = std::filesystem;

// The number after prefix when name is prefix followed by digits only, else -1.
long DeviceNumber(const std::string& name, const std::string& prefix) {
    if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0 ||
        name.size() - prefix.size() > 6) {
        return -1;
    }
    const std::string digits = name.substr(prefix.size());
    if (!std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return -1;
    }
    return std::strtol(digits.c_str(), nullptr, 10);
}

// A ttyS node is backed by a port when the kernel gives it a UART type or a device.
bool IsRealUartPort(const fs::path& sysTty) {
    std::error_code ec;
    if (fs::exists(sysTty / "device", ec)) {
        return true;
    }
    std::ifstream type(sysTty / "type");
    long value = 0;
    return type >> value && value != 0;
}

}  // namespace

std::vector<std::string> ListSerialDevices(const std::string& root) {
    const fs::path base = root.empty() ? fs::path("/") : fs::path(root);
    const fs::path dev = base / "dev";
    const fs::path sysTty = base / "sys" / "class" / "tty";

    // (group, number, name): ttyS first, then ttyUSB, then ttyACM.
    struct Found {
        int group;
        long number;
        std::string name;
    };
    std::vector<Found> nodes;
    std::error_code ec;
    for (fs::directory_iterator it(dev, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (long n = DeviceNumber(name, "ttyS"); n >= 0) {
            if (IsRealUartPort(sysTty / name)) {
                nodes.push_back({0, n, name});
            }
        } else if (long u = DeviceNumber(name, "ttyUSB"); u >= 0) {
            nodes.push_back({1, u, name});
        } else if (long a = DeviceNumber(name, "ttyACM"); a >= 0) {
            nodes.push_back({2, a, name});
        }
    }
    std::sort(nodes.begin(), nodes.end(), [](const Found& l, const Found& r) {
        return l.group != r.group ? l.group < r.group : l.number < r.number;
    });

    std::vector<std::string> devices;
    for (const Found& node : nodes) {
        devices.push_back("/dev/" + node.name);
    }

    std::vector<std::string> stable;
    ec.clear();
    for (fs::directory_iterator it(dev / "serial" / "by-id", ec), end; !ec && it != end;
         it.increment(ec)) {
        stable.push_back("/dev/serial/by-id/" + it->path().filename().string());
    }
    std::sort(stable.begin(), stable.end());
    devices.insert(devices.end(), stable.begin(), stable.end());
    return devices;
}

}  // namespace kz::platform

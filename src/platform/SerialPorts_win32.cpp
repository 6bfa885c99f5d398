// The COM ports Windows knows of: every value under HARDWARE\DEVICEMAP\SERIALCOMM names one
// ("\Device\Serial0" = "COM1"); the drivers of USB adapters and virtual ports add theirs
// there too.
#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "platform/SerialPorts.h"

namespace kz::platform {

namespace {

// The number of "COM<n>" (letter case ignored), -1 for any other name.
long ComNumber(const std::string& name) {
    if (name.size() < 4 || name.size() > 9 ||
        !std::equal(
            name.begin(), name.begin() + 3, "COM",
            [](char a, char b) { return std::toupper(static_cast<unsigned char>(a)) == b; }) ||
        !std::all_of(name.begin() + 3, name.end(),
                     [](char c) { return std::isdigit(static_cast<unsigned char>(c)); })) {
        return -1;
    }
    return std::strtol(name.c_str() + 3, nullptr, 10);
}

}  // namespace

std::vector<std::string> ListSerialDevices(const std::string&) {
    HKEY key = nullptr;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_QUERY_VALUE,
                        &key) != ERROR_SUCCESS) {
        return {};
    }
    std::vector<std::pair<long, std::string>> ports;
    for (DWORD index = 0;; ++index) {
        char valueName[256];
        DWORD valueNameSize = sizeof valueName;
        char data[64];
        DWORD dataSize = sizeof data - 1;
        DWORD type = 0;
        const LONG result = ::RegEnumValueA(key, index, valueName, &valueNameSize, nullptr, &type,
                                            reinterpret_cast<BYTE*>(data), &dataSize);
        if (result == ERROR_NO_MORE_ITEMS) {
            break;
        }
        if (result != ERROR_SUCCESS || type != REG_SZ) {
            continue;  // a value too long or of another type names no port
        }
        data[dataSize] = '\0';
        std::string name(data);  // the stored text may or may not hold its terminator
        const long number = ComNumber(name);
        if (number > 0) {
            std::transform(name.begin(), name.end(), name.begin(), [](char c) {
                return static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            });
            ports.emplace_back(number, name);
        }
    }
    ::RegCloseKey(key);
    std::sort(ports.begin(), ports.end());
    ports.erase(std::unique(ports.begin(), ports.end()), ports.end());
    std::vector<std::string> names;
    for (auto& port : ports) {
        names.push_back(std::move(port.second));
    }
    return names;
}

std::string DefaultSerialDevice(int port) {
    return port < 1 ? std::string() : "COM" + std::to_string(port);
}

// The registry names the ports only; the adapters behind them stay undescribed.
std::vector<SerialPortInfo> DescribeSerialDevices(const std::string& root) {
    std::vector<SerialPortInfo> infos;
    for (auto& path : ListSerialDevices(root)) {
        infos.push_back(SerialPortInfo{std::move(path), {}, {}, {}});
    }
    return infos;
}

// Access to a COM port is not a matter of groups here.
std::string DeviceOwnerGroup(const std::string&) {
    return {};
}

}  // namespace kz::platform

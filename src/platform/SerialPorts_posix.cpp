#include "platform/SerialPorts.h"

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <system_error>
#include <vector>

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

// The first line of a sysfs attribute file, without its line end; empty when missing.
std::string Attribute(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) {
        line.pop_back();
    }
    return line;
}

// The USB device a tty node hangs from: the nearest folder above its sysfs device that
// has an idVendor attribute, at most a few levels up and never outside sys.
void DescribeTty(const fs::path& sys, const std::string& name, SerialPortInfo& info) {
    std::error_code ec;
    const fs::path sysRoot = fs::weakly_canonical(sys, ec);
    fs::path dir = fs::canonical(sys / "class" / "tty" / name / "device", ec);
    if (ec) {
        return;
    }
    for (int level = 0; level < 4 && !dir.empty(); ++level, dir = dir.parent_path()) {
        if (std::mismatch(sysRoot.begin(), sysRoot.end(), dir.begin(), dir.end()).first !=
            sysRoot.end()) {
            return;  // left the sys tree
        }
        if (fs::exists(dir / "idVendor", ec)) {
            info.maker = Attribute(dir / "manufacturer");
            info.product = Attribute(dir / "product");
            info.serialNumber = Attribute(dir / "serial");
            return;
        }
    }
}

}  // namespace

std::vector<SerialPortInfo> DescribeSerialDevices(const std::string& root) {
    const fs::path base = root.empty() ? fs::path("/") : fs::path(root);
    std::vector<SerialPortInfo> described;
    for (const std::string& path : ListSerialDevices(root)) {
        SerialPortInfo info;
        info.path = path;
        std::string name = fs::path(path).filename().string();
        if (path.starts_with("/dev/serial/")) {
            // The stable name is a link to ../../ttyUSB0 or the like.
            std::error_code ec;
            const fs::path target = fs::read_symlink(base / path.substr(1), ec);
            name = ec ? std::string() : target.filename().string();
        }
        if (!name.empty()) {
            DescribeTty(base / "sys", name, info);
        }
        described.push_back(std::move(info));
    }
    return described;
}

std::string DeviceOwnerGroup(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        return {};
    }
    long size = ::sysconf(_SC_GETGR_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
    struct group entry {};
    struct group* found = nullptr;
    if (::getgrgid_r(st.st_gid, &entry, buffer.data(), buffer.size(), &found) != 0 ||
        found == nullptr) {
        return std::to_string(st.st_gid);  // a group without a name still has its number
    }
    return found->gr_name;
}

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

std::string DefaultSerialDevice(int port) {
    return port < 1 ? std::string() : "/dev/ttyS" + std::to_string(port - 1);
}

}  // namespace kz::platform

// The serial devices present on this machine, for the user to choose the device behind a
// COM port number (section PORTS of the settings).
//
// Thread-safety: no state; may be called from any thread.
#pragma once

#include <string>
#include <vector>

namespace kz::platform {

// The serial devices below root (normally "/"), as paths seen from that root
// ("/dev/ttyUSB0"): the ttyS<n> that are real ports (/sys/class/tty/ttyS<n>/type holds a
// non-zero number, or /sys/class/tty/ttyS<n>/device exists; the kernel creates many ttyS
// nodes without hardware behind them), every ttyUSB<n> and ttyACM<n>, then the stable names
// under /dev/serial/by-id. Each group is sorted by name, numbers in numeric order. Empty
// when nothing is found.
// On Windows: the COM ports the system lists in the registry (the values of the key
// HARDWARE\DEVICEMAP\SERIALCOMM of the local machine: "COM1", "COM3", ...), in numeric
// order, each once; root is not used.
std::vector<std::string> ListSerialDevices(const std::string& root = "/");

// A serial device and what the system says of the adapter behind it (USB adapters only;
// every text is empty when unknown).
struct SerialPortInfo {
    std::string path;  // as ListSerialDevices gives it
    std::string maker;
    std::string product;
    std::string serialNumber;
};

// ListSerialDevices with the descriptions from sysfs below root: the USB device above
// /sys/class/tty/<name>/device gives its "manufacturer", "product" and "serial". A stable
// name under /dev/serial/by-id is described as the node it leads to.
std::vector<SerialPortInfo> DescribeSerialDevices(const std::string& root = "/");

// The name of the group that owns the device at path (the group a user must belong to
// when the device is closed to others, such as "dialout"); empty when unknown.
std::string DeviceOwnerGroup(const std::string& path);

// The device of COM port n when the settings map none: "/dev/ttyS<n-1>" on POSIX, "COM<n>"
// on Windows. Empty for n < 1.
std::string DefaultSerialDevice(int port);

}  // namespace kz::platform

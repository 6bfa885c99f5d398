#include "platform/SerialPorts.h"

#include <grp.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/TempDir.h"

namespace kz {
namespace {

namespace fs = std::filesystem;

// A fake /dev and /sys: ttyS0 has a UART type, ttyS1 a device link, ttyS2 type 0 (a node
// without hardware), ttyS3 no sysfs entry; USB and ACM adapters and their stable names.
TEST(SerialPorts, ListsRealPortsAdaptersAndStableNames) {
    test::TempDir root;
    for (const char* node :
         {"dev/ttyS0", "dev/ttyS1", "dev/ttyS2", "dev/ttyS3", "dev/ttyS10", "dev/ttyUSB10",
          "dev/ttyUSB2", "dev/ttyACM0", "dev/tty0", "dev/ttySx", "dev/ttyUSB", "dev/console"}) {
        root.Write(node, "");
    }
    root.Write("sys/class/tty/ttyS0/type", "4\n");
    root.Write("sys/class/tty/ttyS1/type", "0\n");
    fs::create_directories(root.path() / "sys/class/tty/ttyS1/device");
    root.Write("sys/class/tty/ttyS2/type", "0\n");
    root.Write("sys/class/tty/ttyS10/type", "4\n");
    fs::create_directories(root.path() / "dev/serial/by-id");
    fs::create_symlink("../../ttyUSB2", root.path() / "dev/serial/by-id/usb-FTDI_B-if00-port0");
    fs::create_symlink("../../ttyACM0", root.path() / "dev/serial/by-id/usb-Arduino_A-if00");

    const std::vector<std::string> expected = {"/dev/ttyS0",
                                               "/dev/ttyS1",
                                               "/dev/ttyS10",
                                               "/dev/ttyUSB2",
                                               "/dev/ttyUSB10",
                                               "/dev/ttyACM0",
                                               "/dev/serial/by-id/usb-Arduino_A-if00",
                                               "/dev/serial/by-id/usb-FTDI_B-if00-port0"};
    EXPECT_EQ(platform::ListSerialDevices(root.str()), expected);

    test::TempDir empty;
    EXPECT_TRUE(platform::ListSerialDevices(empty.str()).empty());
}

// A fake sysfs: a USB adapter two levels above its tty (ttyUSB: device, interface, tty),
// an ACM device one level above, a UART without USB, and a link that leads out of sys.
TEST(SerialPorts, DescribesUsbAdaptersFromSysfs) {
    test::TempDir root;
    for (const char* node : {"dev/ttyS0", "dev/ttyUSB0", "dev/ttyACM0", "dev/ttyUSB1"}) {
        root.Write(node, "");
    }
    const std::string usb = "sys/devices/pci0000:00/usb1/1-1/";
    root.Write(usb + "idVendor", "0403\n");
    root.Write(usb + "manufacturer", "FTDI\n");
    root.Write(usb + "product", "FT232R USB UART\n");
    root.Write(usb + "serial", "A10K\n");
    fs::create_directories(root.path() / usb / "1-1:1.0/ttyUSB0");
    const std::string acm = "sys/devices/pci0000:00/usb1/1-2/";
    root.Write(acm + "idVendor", "2341\n");
    root.Write(acm + "product", "Uno\n");
    fs::create_directories(root.path() / acm / "1-2:1.0");
    root.Write("sys/devices/platform/serial8250/tty/ttyS0/x", "");
    root.Write("sys/class/tty/ttyS0/type", "4\n");
    fs::create_directories(root.path() / "sys/class/tty/ttyUSB0");
    fs::create_directories(root.path() / "sys/class/tty/ttyACM0");
    fs::create_directories(root.path() / "sys/class/tty/ttyUSB1");
    fs::create_symlink("../../../devices/pci0000:00/usb1/1-1/1-1:1.0/ttyUSB0",
                       root.path() / "sys/class/tty/ttyUSB0/device");
    fs::create_symlink("../../../devices/pci0000:00/usb1/1-2/1-2:1.0",
                       root.path() / "sys/class/tty/ttyACM0/device");
    fs::create_symlink("../../../devices/platform/serial8250",
                       root.path() / "sys/class/tty/ttyS0/device");
    // Above this device lies the fake root itself, which must not be searched.
    root.Write("idVendor", "ffff");
    root.Write("manufacturer", "outside");
    fs::create_symlink("../../../..", root.path() / "sys/class/tty/ttyUSB1/device");
    fs::create_directories(root.path() / "dev/serial/by-id");
    fs::create_symlink("../../ttyUSB0", root.path() / "dev/serial/by-id/usb-FTDI_A10K-if00-port0");

    const auto devices = platform::DescribeSerialDevices(root.str());
    ASSERT_EQ(devices.size(), 5u);
    auto row = [](const platform::SerialPortInfo& d) {
        return d.path + "|" + d.maker + "|" + d.product + "|" + d.serialNumber;
    };
    EXPECT_EQ(row(devices[0]), "/dev/ttyS0|||");
    EXPECT_EQ(row(devices[1]), "/dev/ttyUSB0|FTDI|FT232R USB UART|A10K");
    EXPECT_EQ(row(devices[2]), "/dev/ttyUSB1|||");
    EXPECT_EQ(row(devices[3]), "/dev/ttyACM0||Uno|");
    EXPECT_EQ(row(devices[4]),
              "/dev/serial/by-id/usb-FTDI_A10K-if00-port0|FTDI|FT232R USB UART|A10K");
}

TEST(SerialPorts, OwnerGroupOfADevice) {
    test::TempDir dir;
    const std::string file = dir.Write("tty", "");
    EXPECT_EQ(platform::DeviceOwnerGroup(dir.str() + "missing"), "");
    // A group with a name gives the name, one without gives its number.
    const group* named = ::getgrgid(::getegid());
    ASSERT_NE(named, nullptr);
    EXPECT_EQ(platform::DeviceOwnerGroup(file), named->gr_name);
    if (::geteuid() == 0) {
        gid_t unnamed = 54321;
        while (::getgrgid(unnamed) != nullptr) {
            ++unnamed;
        }
        ASSERT_EQ(::chown(file.c_str(), static_cast<uid_t>(-1), unnamed), 0);
        EXPECT_EQ(platform::DeviceOwnerGroup(file), std::to_string(unnamed));
    }
}

TEST(SerialPorts, DefaultDeviceOfAComPortNumber) {
    EXPECT_EQ(platform::DefaultSerialDevice(1), "/dev/ttyS0");
    EXPECT_EQ(platform::DefaultSerialDevice(4), "/dev/ttyS3");
    EXPECT_EQ(platform::DefaultSerialDevice(0), "");
}

}  // namespace
}  // namespace kz

#include "platform/SerialPorts.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace kz

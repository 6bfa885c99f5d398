// The COM ports Windows lists under HARDWARE\DEVICEMAP\SERIALCOMM.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/SerialPorts.h"

namespace kz::platform {
namespace {

constexpr const char* kKey = "HARDWARE\\DEVICEMAP\\SERIALCOMM";

// Values added for one test and removed again afterwards.
class SerialCommValues {
  public:
    SerialCommValues() {
        ::RegCreateKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, REG_OPTION_VOLATILE,
                          KEY_SET_VALUE | KEY_QUERY_VALUE, nullptr, &key_, nullptr);
    }
    ~SerialCommValues() {
        for (const std::string& name : names_) {
            ::RegDeleteValueA(key_, name.c_str());
        }
        if (key_ != nullptr) {
            ::RegCloseKey(key_);
        }
    }
    bool Valid() const { return key_ != nullptr; }
    void Add(const std::string& name, const std::string& data, DWORD type = REG_SZ) {
        names_.push_back(name);
        ::RegSetValueExA(key_, name.c_str(), 0, type, reinterpret_cast<const BYTE*>(data.c_str()),
                         static_cast<DWORD>(data.size() + 1));
    }

  private:
    HKEY key_ = nullptr;
    std::vector<std::string> names_;
};

TEST(SerialPortsWin32, RegistryPortsInNumericOrderEachOnce) {
    SerialCommValues values;
    if (!values.Valid()) {
        GTEST_SKIP() << "the key cannot be written here";
    }
    values.Add("\\Device\\kztest12", "COM12");
    values.Add("\\Device\\kztest3", "com3");
    values.Add("\\Device\\kztest3b", "COM3");
    values.Add("\\Device\\kztestlpt", "LPT1");
    values.Add("\\Device\\kztestnum", "COM");
    values.Add("\\Device\\kztestbin", "COM7", REG_BINARY);
    const std::vector<std::string> ports = ListSerialDevices();
    auto at = [&](const char* name) {
        return std::find(ports.begin(), ports.end(), name) - ports.begin();
    };
    ASSERT_LT(at("COM3"), static_cast<long>(ports.size()));
    ASSERT_LT(at("COM12"), static_cast<long>(ports.size()));
    EXPECT_LT(at("COM3"), at("COM12"));  // numeric, not text, order
    EXPECT_EQ(std::count(ports.begin(), ports.end(), "COM3"), 1);
    for (const char* refused : {"LPT1", "COM", "com3", "COM7"}) {
        EXPECT_EQ(std::count(ports.begin(), ports.end(), refused), 0) << refused;
    }
    const std::vector<SerialPortInfo> infos = DescribeSerialDevices();
    ASSERT_EQ(infos.size(), ports.size());
    EXPECT_EQ(infos[static_cast<std::size_t>(at("COM12"))].path, "COM12");
}

TEST(SerialPortsWin32, DefaultDeviceIsTheComName) {
    EXPECT_EQ(DefaultSerialDevice(1), "COM1");
    EXPECT_EQ(DefaultSerialDevice(12), "COM12");
    EXPECT_EQ(DefaultSerialDevice(0), "");
}

}  // namespace
}  // namespace kz::platform

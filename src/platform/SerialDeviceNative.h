// The operating system's serial backend behind OpenSerialDevice(): termios on POSIX
// (SerialDevice_posix.cpp), the Win32 communications API on Windows
// (SerialDevice_win32.cpp). Only SerialDevice.cpp calls it.
#pragma once

#include <memory>
#include <string>

#include "platform/SerialDevice.h"

namespace kz::platform {

// Opens the device at path (/dev/ttyUSB0, /dev/pts/3, COM3, ...). Returns null on failure
// with the kind and the reason in *error when given.
std::unique_ptr<ISerialDevice> OpenNativeSerialDevice(const std::string& path,
                                                      DeviceOpenError* error);

}  // namespace kz::platform

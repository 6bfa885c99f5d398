#include "UiTestSupport.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <filesystem>
#include <memory>

#include "platform/ProgramFolder.h"

namespace kz::uitest {

ProgramFolder::ProgramFolder(const std::string& ini) {
    if (!ini.empty()) {
        dir_.Write("KZMNT.INI", ini);
    }
    platform::SetProgramFolder(dir_.str());
    SetLanguage(Language::English);
}

ProgramFolder::~ProgramFolder() {
    platform::SetProgramFolder({});
}

void MakeSerialDeviceTree(const test::TempDir& root) {
    namespace fs = std::filesystem;
    for (const char* node : {"dev/ttyS0", "dev/ttyUSB0", "dev/ttyACM0"}) {
        root.Write(node, "");
    }
    const std::string usb = "sys/devices/pci0000:00/usb1/1-1/";
    root.Write(usb + "idVendor", "0403\n");
    root.Write(usb + "manufacturer", "FTDI\n");
    root.Write(usb + "product", "FT232R USB UART\n");
    root.Write(usb + "serial", "A10K2RQ7\n");
    fs::create_directories(root.path() / usb / "1-1:1.0/ttyUSB0");
    const std::string acm = "sys/devices/pci0000:00/usb1/1-2/";
    root.Write(acm + "idVendor", "2341\n");
    root.Write(acm + "product", "USB Serial Adapter\n");
    fs::create_directories(root.path() / acm / "1-2:1.0");
    root.Write("sys/class/tty/ttyS0/type", "4\n");
    fs::create_directories(root.path() / "sys/class/tty/ttyUSB0");
    fs::create_directories(root.path() / "sys/class/tty/ttyACM0");
    fs::create_symlink("../../../devices/pci0000:00/usb1/1-1/1-1:1.0/ttyUSB0",
                       root.path() / "sys/class/tty/ttyUSB0/device");
    fs::create_symlink("../../../devices/pci0000:00/usb1/1-2/1-2:1.0",
                       root.path() / "sys/class/tty/ttyACM0/device");
}

void WhenModal(std::function<void(QWidget*)> answer, int timeoutMs) {
    auto timer = std::make_shared<QElapsedTimer>();
    timer->start();
    auto poll = std::make_shared<std::function<void()>>();
    *poll = [answer = std::move(answer), timer, timeoutMs, poll]() mutable {
        if (QWidget* modal = QApplication::activeModalWidget()) {
            answer(modal);
            *poll = nullptr;  // breaks the self-reference
            return;
        }
        if (timer->elapsed() > timeoutMs) {
            *poll = nullptr;
            return;
        }
        QTimer::singleShot(10, [poll] {
            if (*poll) {
                (*poll)();
            }
        });
    };
    QTimer::singleShot(0, [poll] {
        if (*poll) {
            (*poll)();
        }
    });
}

}  // namespace kz::uitest

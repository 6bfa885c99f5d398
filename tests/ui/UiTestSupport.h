// What the desktop application's tests share: a temporary program folder installed for a
// test's life, the language switch, and answering a dialog that a command opens modally.
#pragma once

#include <QWidget>
#include <functional>
#include <string>

#include "config/StringTable.h"
#include "support/TempDir.h"

namespace kz::uitest {

// A fresh temporary folder installed as the program folder (KZMNT.INI, KZMNT.log and the
// loader files live there); the previous one comes back afterwards. Texts are English
// unless the test switches them.
class ProgramFolder {
  public:
    explicit ProgramFolder(const std::string& ini = {});
    ~ProgramFolder();
    ProgramFolder(const ProgramFolder&) = delete;
    ProgramFolder& operator=(const ProgramFolder&) = delete;

    const test::TempDir& dir() const { return dir_; }
    std::string Path(const std::string& name) const { return dir_.str() + name; }
    std::string Write(const std::string& name, const std::string& bytes) const {
        return dir_.Write(name, bytes);
    }
    std::string Read(const std::string& name) const { return dir_.Read(name); }

  private:
    test::TempDir dir_;
};

// Runs answer on the next modal dialog (or message box) that opens, from the event loop,
// e.g. to fill it in and press OK; the command that opens it runs meanwhile. Gives up
// after timeoutMs without calling answer.
void WhenModal(std::function<void(QWidget* dialog)> answer, int timeoutMs = 5000);

// Makes a small device tree below root, as the serial device list reads it: /dev/ttyUSB0
// behind a USB adapter with maker, product and serial number, /dev/ttyACM0 behind one that
// tells only its product, and /dev/ttyS0, a port without USB.
void MakeSerialDeviceTree(const test::TempDir& root);

// Switches the string table's language for a test's life.
class LanguageScope {
  public:
    explicit LanguageScope(Language language) : previous_(CurrentLanguage()) {
        SetLanguage(language);
    }
    ~LanguageScope() { SetLanguage(previous_); }

  private:
    Language previous_;
};

}  // namespace kz::uitest

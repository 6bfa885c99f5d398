// A program folder for scenario tests: a temporary folder holding "KZMNT.INI" (settings,
// model sections, the PORTS mapping of COM1 to a fresh virtual link), installed as the
// program folder, and a compressed clock for the protocol's ticks and sleeps. Everything
// is put back when the fixture goes away.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/Clock.h"
#include "platform/VirtualSerial.h"
#include "support/TempDir.h"

namespace kz::test {

// Builds INI text with CR LF line ends.
class IniText {
  public:
    IniText& Section(const std::string& name);
    IniText& Key(const std::string& name, const std::string& value);
    IniText& Key(const std::string& name, int value) { return Key(name, std::to_string(value)); }
    const std::string& str() const { return text_; }

  private:
    std::string text_;
};

struct LinkSettings {
    int bauIndex = 2;  // 38400 bit/s
    int readTimeout = 1;
    int writeTimeout = 1;
    int retry = 3;
    unsigned clockFactor = 4;  // protocol time runs this many times faster
};

// The text of a program folder's "KZMNT.INI": CONFIG with COM=1, the rate (bit/s) and the
// link's times, then extraConfig (more CONFIG keys, CR LF lines), PORTS mapping COM1 to
// port, and the model sections.
std::string ProgramIni(std::uint32_t baud, int writeTimeout, int readTimeout, int retry,
                       const std::string& extraConfig, const std::string& port,
                       const std::string& models);

class TestFolder {
  public:
    // models: model sections appended after CONFIG and PORTS.
    explicit TestFolder(const LinkSettings& settings = {}, const std::string& models = {});
    ~TestFolder();
    TestFolder(const TestFolder&) = delete;
    TestFolder& operator=(const TestFolder&) = delete;

    const TempDir& dir() const { return dir_; }
    std::string Path(const std::string& name) const { return dir_.str() + name; }
    // Rewrites KZMNT.INI with extra CONFIG keys and model sections.
    void WriteIni(const LinkSettings& settings, const std::string& extraConfig,
                  const std::string& models);
    platform::VirtualSerialLink& link() { return *link_; }
    std::shared_ptr<platform::VirtualSerialLink> linkPtr() { return link_; }
    const std::string& linkName() const { return linkName_; }

  private:
    TempDir dir_;
    std::string linkName_;
    std::shared_ptr<platform::VirtualSerialLink> link_;
    platform::ScaledClock clock_;
    // Installed for the folder's lifetime: declare a TestFolder before anything whose
    // threads run on its clock.
    platform::ScopedClock clockGuard_{clock_};
};

}  // namespace kz::test

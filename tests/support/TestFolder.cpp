#include "support/TestFolder.h"

#include <atomic>

#include "config/Settings.h"
#include "platform/Process.h"
#include "platform/ProgramFolder.h"

namespace kz::test {

IniText& IniText::Section(const std::string& name) {
    if (!text_.empty()) {
        text_ += "\r\n";
    }
    text_ += "[" + name + "]\r\n";
    return *this;
}

IniText& IniText::Key(const std::string& name, const std::string& value) {
    text_ += name + "=" + value + "\r\n";
    return *this;
}

namespace {
std::string UniqueLinkName() {
    static std::atomic<int> counter{0};
    return "test-" + std::to_string(platform::CurrentProcessId()) + "-" + std::to_string(counter++);
}
}  // namespace

TestFolder::TestFolder(const LinkSettings& settings, const std::string& models)
    : linkName_(UniqueLinkName()),
      link_(platform::VirtualSerialLink::Create(linkName_)),
      clock_(settings.clockFactor) {
    WriteIni(settings, "", models);
    platform::SetProgramFolder(dir_.str());
}

TestFolder::~TestFolder() {
    platform::SetProgramFolder("");
}

std::string ProgramIni(std::uint32_t baud, int writeTimeout, int readTimeout, int retry,
                       const std::string& extraConfig, const std::string& port,
                       const std::string& models) {
    IniText ini;
    ini.Section("CONFIG")
        .Key("COM", 1)
        .Key("Bau", static_cast<int>(baud))
        .Key("WriteTimeout", writeTimeout)
        .Key("ReadTimeout", readTimeout)
        .Key("Retry", retry);
    std::string text = ini.str() + extraConfig + "\r\n[PORTS]\r\nCOM1=" + port + "\r\n";
    if (!models.empty()) {
        text += "\r\n" + models;
    }
    return text;
}

void TestFolder::WriteIni(const LinkSettings& settings, const std::string& extraConfig,
                          const std::string& models) {
    dir_.Write("KZMNT.INI", ProgramIni(CSettings::BaudFromIndex(settings.bauIndex),
                                       settings.writeTimeout, settings.readTimeout, settings.retry,
                                       extraConfig, "virtual:" + linkName_, models));
}

}  // namespace kz::test

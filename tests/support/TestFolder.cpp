#include "support/TestFolder.h"

#include <atomic>

#include <unistd.h>

#include "config/Settings.h"
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
    return "test-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
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

void TestFolder::WriteIni(const LinkSettings& settings, const std::string& extraConfig,
                          const std::string& models) {
    IniText ini;
    ini.Section("CONFIG")
        .Key("COM", 1)
        .Key("Bau", static_cast<int>(CSettings::BaudFromIndex(settings.bauIndex)))
        .Key("WriteTimeout", settings.writeTimeout)
        .Key("ReadTimeout", settings.readTimeout)
        .Key("Retry", settings.retry);
    std::string text = ini.str() + extraConfig;
    text += "\r\n[PORTS]\r\nCOM1=virtual:" + linkName_ + "\r\n";
    if (!models.empty()) {
        text += "\r\n" + models;
    }
    dir_.Write("KZMNT.INI", text);
}

}  // namespace kz::test

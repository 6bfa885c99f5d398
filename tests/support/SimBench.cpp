#include "support/SimBench.h"

#include <fstream>

namespace kz::test {

std::string DemoModels(const std::string& extraKeys) {
    IniText ini;
    ini.Section("DEMO-8C93")
        .Key("ID", "8C93")
        .Key("ILOADER", "DEMO.LDR")
        .Key("BAU", "38400")
        .Key("FROM1", "0,100000")
        .Key("SRAM1", "400000,20000,20000");
    return ini.str() + extraKeys;
}

std::vector<std::uint8_t> LoaderBytes(std::uint32_t address, std::size_t bodySize) {
    std::vector<std::uint8_t> bytes = {
        static_cast<std::uint8_t>(address), static_cast<std::uint8_t>(address >> 8),
        static_cast<std::uint8_t>(address >> 16), static_cast<std::uint8_t>(address >> 24)};
    for (std::size_t i = 0; i < bodySize; ++i) {
        bytes.push_back(static_cast<std::uint8_t>(i * 13 + 5));
    }
    return bytes;
}

SimBench::SimBench(const LinkSettings& linkSettings, sim::PanelDescription description,
                   const std::string& models)
    : folder(linkSettings, models), settings(linkSettings) {
    WriteLoader(LoaderBytes(0x00021000, 2000));
    sim::Panel::Options options;
    auto link = folder.linkPtr();
    options.lineErrorHook = [link](std::uint32_t ce) {
        link->InjectLineError(platform::VirtualSerialLink::End::Pc, ce);
    };
    panel =
        std::make_unique<sim::Panel>(folder.link().OpenEnd(platform::VirtualSerialLink::End::Panel),
                                     std::move(description), std::move(options));
    panel->Start();
}

SimBench::~SimBench() {
    if (panel) {
        panel->Stop();
    }
}

void SimBench::WriteIni(const std::string& extraConfig, const std::string& models) {
    folder.WriteIni(settings, extraConfig, models);
}

void SimBench::WriteLoader(const std::vector<std::uint8_t>& bytes, const std::string& name) {
    folder.dir().Write(name, std::string(bytes.begin(), bytes.end()));
}

}  // namespace kz::test

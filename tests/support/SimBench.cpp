#include "support/SimBench.h"

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

SimBench::SimBench(const LinkSettings& linkSettings, sim::PanelDescription description,
                   const std::string& models)
    : folder(linkSettings, models),
      settings(linkSettings),
      panel(std::move(description), folder.linkPtr()) {
    WriteLoader(LoaderFile(0x00021000, 2000));
}

SimBench::~SimBench() = default;

void SimBench::WriteIni(const std::string& extraConfig, const std::string& models) {
    folder.WriteIni(settings, extraConfig, models);
}

void SimBench::WriteLoader(const std::vector<std::uint8_t>& bytes, const std::string& name) {
    folder.dir().Write(name, std::string(bytes.begin(), bytes.end()));
}

}  // namespace kz::test

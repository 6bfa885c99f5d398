#include "support/SimBench.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace kz::test {

std::string DemoModels(const std::string& extraKeys) {
    ModelChoices choices;
    choices.name = "DEMO-8C93";
    choices.loaderFile = "DEMO.LDR";
    choices.baud = 38400;
    choices.signatureKind = 0;
    choices.ioCode = false;
    choices.checkMemory = false;
    choices.offset = 0;
    return ModelSection(sim::DemoPanel(), choices) + extraKeys;
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

int SimBench::CommandCount(const std::string& command) {
    const std::vector<std::string> commands = panel->Commands();
    return static_cast<int>(std::count(commands.begin(), commands.end(), command));
}

int SimBench::CommandCountEventually(const std::string& command, int expected) {
    for (int i = 0; i < 1000 && CommandCount(command) < expected; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return CommandCount(command);
}

int SimBench::LineCount(const std::string& line) {
    const std::vector<std::string> lines = view.Lines();
    return static_cast<int>(std::count(lines.begin(), lines.end(), line));
}

std::string SimBench::LastLine() {
    const std::vector<std::string> lines = view.Lines();
    return lines.empty() ? std::string() : lines.back();
}

}  // namespace kz::test

// A scenario bench: a program folder whose COM1 is a virtual link, a simulated panel on
// the link's other end, a recording view, and the files a run needs (a loader, model
// sections). Tests read like "a panel that answers FF to the first I/O read...".
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "sim/Panel.h"
#include "support/LoaderFile.h"
#include "support/PanelFixture.h"
#include "support/RecordingView.h"
#include "support/TestFolder.h"

namespace kz::test {

// The model sections that fit sim::DemoPanel(): core ID 8C93, FROM 1 MiB at 0, SRAM 128 KiB
// at 0x400000, I/O register A00000 = C3, signature kind 1 8C930001.
std::string DemoModels(const std::string& extraKeys = {});

class SimBench {
  public:
    explicit SimBench(const LinkSettings& settings = {},
                      sim::PanelDescription panel = sim::DemoPanel(),
                      const std::string& models = DemoModels());
    ~SimBench();

    // Rewrites KZMNT.INI (extra CONFIG keys and model sections).
    void WriteIni(const std::string& extraConfig, const std::string& models);
    // Writes the loader file the models name ("DEMO.LDR").
    void WriteLoader(const std::vector<std::uint8_t>& bytes, const std::string& name = "DEMO.LDR");

    // What the panel decoded and the view showed. Commands are the panel's names for the
    // frames it decoded (">E", "PLD", "ACK", ...).
    int CommandCount(const std::string& command);
    // The last frame of a run may still be on its way into the panel when the run ends:
    // waits (real time, a bounded guard) until command was decoded expected times.
    int CommandCountEventually(const std::string& command, int expected);
    int LineCount(const std::string& line);
    std::string LastLine();

    TestFolder folder;
    RecordingView view;
    LinkSettings settings;
    // On the far end of the folder's link; bench.panel->... reaches the sim::Panel.
    PanelFixture panel;
};

}  // namespace kz::test

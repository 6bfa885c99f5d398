// Runs the real kzmnt-cli program as a child process for end-to-end tests, and serves a
// simulated panel on a pseudo-terminal for it to talk to.
//
// The child runs in a session of its own, so it has no controlling terminal unless the test
// gives it one (withTerminal: a new pseudo-terminal becomes its controlling terminal and its
// standard input; the test answers the questions that appear on it). stdout and stderr are
// captured separately. LC_ALL=C keeps the texts English.
//
// Thread-safety: call from the test thread.
#pragma once

#include <csignal>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "sim/Panel.h"
#include "sim/PanelDescription.h"

namespace kz::test {

// The build folder (KZ_BUILD_DIR, set by CTest), ending in '/'; empty when unknown.
std::string BuildDir();
// The kzmnt-cli program, or empty when it has not been built.
std::string CliProgram();

struct CliRun {
    std::vector<std::string> args;
    bool withTerminal = false;
    // With a terminal: stderr goes to it too (as in an interactive shell), so the progress
    // bar is drawn; CliResult::err then stays empty.
    bool errOnTerminal = false;
    // With a terminal: each time the terminal output (after the previous match) contains
    // first, second is typed. Answers are used in order.
    std::vector<std::pair<std::string, std::string>> answers;
    // When not empty: interruptSignal (SIGINT: Ctrl-C) is sent once as soon as stdout or
    // stderr contains it.
    std::string interruptOn;
    int interruptSignal = SIGINT;
    // When not empty: the reading end of stdout is closed as soon as stdout contains it, as
    // a pager that quits would (the program's later writes to stdout then fail).
    std::string closeOutOn;
};

struct CliResult {
    int exitCode = -1;  // -1: killed by a signal or not run
    std::string out;
    std::string err;
    std::string terminal;  // what the program wrote to its terminal
    std::vector<std::string> OutLines() const;
    std::string LastOutLine() const;
};

// Runs kzmnt-cli with run.args. A child still running after two minutes is killed (its
// exit code is then -1), so a hang fails the test instead of stopping the suite.
CliResult RunCli(const CliRun& run);

// A panel on a new pseudo-terminal, running until the object goes away.
class PtyPanel {
  public:
    explicit PtyPanel(sim::PanelDescription description);
    ~PtyPanel();
    PtyPanel(const PtyPanel&) = delete;
    PtyPanel& operator=(const PtyPanel&) = delete;

    // The slave device for the PORTS mapping.
    const std::string& SlavePath() const { return slave_; }
    sim::Panel& panel() { return *panel_; }
    sim::Panel* operator->() { return panel_.get(); }

  private:
    std::string slave_;
    std::unique_ptr<sim::Panel> panel_;
};

}  // namespace kz::test

// A CF transfer scenario: the simulated panel with a CF card on the virtual link, a PC
// folder below the program folder, and the run of a receive or send to its end.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "config/StringTable.h"
#include "ops/cf/CfReceive.h"
#include "ops/cf/CfSend.h"
#include "support/SimBench.h"

namespace kz::test {

using Bytes = std::vector<std::uint8_t>;

// File contents that include the framing bytes (DLE, CR, SUB, ACK, NAK).
inline Bytes Content(std::size_t size, std::uint8_t seed) {
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<std::uint8_t>(i * 7 + seed + (i >> 9));
    }
    return bytes;
}

inline sim::PanelDescription CardWith(sim::CfFiles files, bool present = true) {
    sim::PanelDescription panel = sim::DemoPanel();
    panel.cfCardPresent = present;
    panel.cfFiles = std::move(files);
    return panel;
}

class CfScenario {
  public:
    explicit CfScenario(sim::PanelDescription panel = CardWith({}))
        : bench(LinkSettings{}, std::move(panel)), pc(bench.folder.Path("pc")) {}

    // Runs the operation to its end; during() runs on the test thread once it has started.
    // Returns the final m_nError.
    template <class Operation>
    int Run(const std::function<void(Operation&)>& during = {}) {
        const int completed = bench.view.Count(WM_OPERATION_COMPLETE);
        Operation op;
        op.SetView(&bench.view);
        op.SetPrompt(&bench.view);
        op.SetFolder(pc);
        op.PostEvent(EVENT_NONE);
        if (during) {
            during(op);
        }
        EXPECT_TRUE(bench.view.WaitMessage(WM_OPERATION_COMPLETE, completed + 1));
        op.WaitIdle();
        return op.m_nError;
    }
    int Receive(const std::function<void(CCfReceive&)>& during = {}) {
        return Run<CCfReceive>(during);
    }
    int Send(const std::function<void(CCfSend&)>& during = {}) { return Run<CCfSend>(during); }

    // Writes a PC file below the PC folder ("data/ZI00001.BIN").
    void WritePc(const std::string& relative, const Bytes& bytes) {
        std::filesystem::create_directories(
            std::filesystem::path(pc + "/" + relative).parent_path());
        bench.folder.dir().Write("pc/" + relative, std::string(bytes.begin(), bytes.end()));
    }
    Bytes ReadPc(const std::string& relative) {
        const std::string text = bench.folder.dir().Read("pc/" + relative);
        return Bytes(text.begin(), text.end());
    }
    bool PcExists(const std::string& relative) {
        return std::filesystem::exists(pc + "/" + relative);
    }

    std::vector<std::string> Lines() { return bench.view.Lines(); }
    std::string LastLine() { return bench.LastLine(); }
    bool HasLine(int id) { return HasLine(GetString(id)); }
    bool HasLine(const std::string& line) { return bench.LineCount(line) > 0; }
    // Commands the panel decoded, e.g. ">E", ">EN", "ACK", "<E", "CFHEAD", ">Q".
    std::vector<std::string> Commands() { return bench.panel->Commands(); }
    int Count(const std::string& command) { return bench.CommandCount(command); }
    // The raw bytes of every frame of one command, as text.
    std::vector<std::string> Raw(const std::string& command) {
        std::vector<std::string> raw;
        for (const sim::ReceivedFrame& frame : bench.panel->Frames()) {
            if (frame.command == command) {
                raw.emplace_back(frame.raw.begin(), frame.raw.end());
            }
        }
        return raw;
    }
    // The last frame of a run may still be on its way into the panel when the run ends.
    bool QuitReachedPanel() { return bench.CommandCountEventually(">Q", 1) > 0; }
    // Waits (real time) until pred() holds; false after the guard time.
    static bool Until(const std::function<bool()>& pred) {
        for (int i = 0; i < 20000; ++i) {
            if (pred()) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return false;
    }

    SimBench bench;
    std::string pc;
};

}  // namespace kz::test

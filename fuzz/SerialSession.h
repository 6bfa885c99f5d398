// The serial session the serial harness drives and its seed recorder records: a program
// folder on a virtual link with a compressed clock, and an identity read of a panel through
// the protocol's commands: password probe, core ID, loader download and connection,
// hardware sizes, both signatures, an I/O register, a block of memory, then the quit.
//
// The answers travel as the harness's input: each answer is a little-endian 16-bit length
// and that many bytes, handed out one per frame the PC sends.
#pragma once

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "ops/cf/CfReceive.h"
#include "support/CommandRunner.h"
#include "support/LoaderFile.h"
#include "support/RecordingView.h"
#include "support/SimBench.h"
#include "support/TestFolder.h"

namespace kz::fuzz {

inline constexpr char kSerialLoader[] = "DEMO.LDR";

// The bound of the waits only a user could end (protocol time).
inline constexpr std::chrono::seconds kUnattendedLimit{30};

// The folder every session of the process uses: the demo panel's model sections and loader
// (time runs 20 times faster: a one-second time-out costs 50 ms, and a panel still
// answers the one-tick probe in time). It lives until the process ends.
inline test::TestFolder& SerialFolder() {
    static test::TestFolder* folder = [] {
        test::LinkSettings settings;
        settings.retry = 1;
        settings.clockFactor = 20;
        auto* f = new test::TestFolder(settings, test::DemoModels());
        // A loader without CR, ENQ or ACK in its program, so that the download is one frame
        // for the peer that cuts the PC's bytes into frames.
        std::string loader("\x00\x10\x02\x00", 4);
        for (int i = 0; i < 64; ++i) {
            loader += static_cast<char>(0x20 + i);
        }
        f->dir().Write(kSerialLoader, loader);
        return f;
    }();
    return *folder;
}

// Runs a CF receive into folder/pc (emptied first) and waits for its end; false when it
// did not end within the bound.
inline bool RunCfReceive(test::RecordingView& view) {
    const std::string pc = SerialFolder().Path("pc");
    std::error_code ec;
    std::filesystem::remove_all(pc, ec);
    std::filesystem::create_directories(pc, ec);
    const int completed = view.Count(WM_OPERATION_COMPLETE);
    CCfReceive op;
    view.onMessage = [&op](unsigned msg, std::uintptr_t wParam) {
        if (msg == WM_POWER_RESET_DIALOG && wParam == 1) {
            op.CancelPowerReset();
        }
    };
    op.SetPowerResetLimit(kUnattendedLimit);
    op.SetView(&view);
    op.SetPrompt(&view);
    op.SetFolder(pc);
    op.PostEvent(EVENT_NONE);
    const bool ended =
        view.WaitMessage(WM_OPERATION_COMPLETE, completed + 1, std::chrono::seconds(60));
    op.WaitIdle();
    return ended;
}

// Runs the identity read on runner (the link's panel end must be served by the caller) and
// waits for its end; false when it did not end within the bound.
inline bool RunIdentityRead(test::CommandRunner& runner, test::RecordingView& view) {
    using Cmd = std::function<bool(test::CommandRunner&, int)>;
    std::vector<Cmd> cmds{
        [](test::CommandRunner& r, int ev) { return r.Password(ev); },
        [](test::CommandRunner& r, int ev) { return r.ReadCoreID(ev); },
        [](test::CommandRunner& r, int) {
            r.m_csLoaderName = kSerialLoader;
            return true;
        },
        [](test::CommandRunner& r, int ev) { return r.DownloadILOADER(ev); },
        [](test::CommandRunner& r, int ev) { return r.ConnectILOADER(ev); },
        [](test::CommandRunner& r, int ev) { return r.ReadHW(ev); },
        [](test::CommandRunner& r, int) {
            r.m_nSignatureKind = 1;
            return true;
        },
        [](test::CommandRunner& r, int ev) { return r.ReadSignature(ev); },
        [](test::CommandRunner& r, int) {
            r.m_nSignatureKind = 2;
            return true;
        },
        [](test::CommandRunner& r, int ev) { return r.ReadSignature(ev); },
        [](test::CommandRunner& r, int) {
            r.m_dwReadAddress = 0x00A00000;
            r.m_nReadSize = 1;
            return true;
        },
        [](test::CommandRunner& r, int ev) { return r.ReadIO(ev); },
        [](test::CommandRunner& r, int) {
            r.m_dwReadAddress = 0;
            r.m_nReadSize = 0x100;
            return true;
        },
        [](test::CommandRunner& r, int ev) { return r.ReadData(ev); },
        [](test::CommandRunner& r, int ev) { return r.Quit(ev); },
    };
    auto at = std::make_shared<std::size_t>(0);
    // Nobody switches the simulated unit off and on: the power-reset dialog is cancelled at
    // once, as a user would who gives up.
    view.onMessage = [&runner](unsigned msg, std::uintptr_t wParam) {
        if (msg == WM_POWER_RESET_DIALOG && wParam == 1) {
            runner.CancelPowerReset();
        }
    };
    // Nobody is there to abort a probe that goes on: the harness runs as the unattended
    // command line does.
    runner.SetPowerResetLimit(kUnattendedLimit);
    runner.SetView(&view);
    runner.Start([cmds = std::move(cmds), at](test::CommandRunner& r, int ev) {
        while (*at < cmds.size()) {
            if (!cmds[*at](r, ev)) {
                return false;
            }
            if (r.m_nError != 0) {
                return true;
            }
            ++*at;
            ev = EVENT_NONE;
        }
        return true;
    });
    return runner.WaitDone(std::chrono::seconds(60));
}

}  // namespace kz::fuzz

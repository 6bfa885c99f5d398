// The fault matrix: backups, verifies, restores and CF transfers against the simulated panel,
// each with one injected fault, and the verdict on how each run ended.
//
// A run is a Case. RunCase forks a child that builds everything the run needs (program
// folder, simulated panel or LAN simulator, files), runs the operation through the
// operation handle and checks what it left; the parent waits a bounded time and reads the
// child's findings from a pipe. A child that dies is a crash, one that outlives its bound
// a hang; both are wrong outcomes, as are a completed run whose result is not byte-exact, a
// completion reported where the fault leaves none possible, and a file that existed before
// the run and is damaged after it.
//
// Thread-safety: RunCase and LanOpsMet fork; call them from a thread of a process that runs
// nothing else at the time (the matrix program's main thread, one test).
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim/LanServer.h"
#include "sim/Panel.h"

namespace kz::fm {

enum class Op { Backup, Verify, Restore, CfReceive, CfSend };
const char* OpName(Op op);
bool IsMemoryOp(Op op);

enum class Outcome { Exact, RightError, Wrong };

// What a run left, as the checks found it.
struct Observed {
    bool crashed = false;      // the run's process did not end normally
    bool finished = false;     // the operation completed within the run's bound
    bool completed = false;    // it reported success
    int error = 0;             // its final error (the completion id on success)
    bool resultExact = false;  // success: image, panel memory or card/PC files byte-exact
    bool intact = true;        // every file that existed before the run is unchanged (or,
                               // for a CF file, replaced by exactly the new content)
    bool mustFail = false;     // the fault leaves no way to complete (a truncated image, ...)
    std::string detail;        // what a check found wrong, for the report
};

struct Verdict {
    Outcome outcome = Outcome::Wrong;
    std::string reason;  // why a run is wrong; empty otherwise
};

Verdict Classify(const Observed& seen);

// How the image a verify or restore reads is damaged before the run.
enum class ImageDamage { None, Truncated, Header, Data };

struct Case {
    std::string fault;  // the fault class, a row of the table
    Op op = Op::Backup;
    bool lan = false;
    std::uint64_t seed = 1;
    // Serial: the faults, set once the panel has decoded strikeAfterFrames frames (0: before
    // the run starts).
    sim::FaultConfig faults;
    bool setFaults = false;
    std::uint32_t strikeAfterFrames = 0;
    // Serial: the panel is switched off for a moment once it decoded strikeAfterFrames frames.
    bool powerCut = false;
    // The size no file may grow past while the operation runs (a full disk); 0 = none.
    std::uint64_t fileLimit = 0;
    ImageDamage damage = ImageDamage::None;
    std::uint64_t damageOffset = 0;  // file offset of the cut or the flipped byte
    // A clean run of the same operation on the same target comes first; the faults hit the
    // second.
    bool twoRuns = false;
    // LAN: the fault the simulator applies.
    std::optional<sim::LanFault> lanFault;
    bool mustFail = false;
    std::string label;  // names the run in reports and filters
};

// The whole matrix (quick: a small part of it, a few runs per fault class). seed varies the
// random byte faults and the strike points.
std::vector<Case> BuildMatrix(bool quick, std::uint64_t seed);

// Runs one case in a child process, bounded by bound (real time).
Observed RunCase(const Case& c, std::chrono::seconds bound = std::chrono::seconds(60));

// Requests a clean LAN run of op sends, by op (indexed by the op's wire value); empty when
// the run failed.
std::vector<unsigned> LanOpsMet(Op op);

}  // namespace kz::fm

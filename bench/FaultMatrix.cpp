#include "FaultMatrix.h"

#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <set>
#include <sstream>
#include <thread>

#include "config/MessageIds.h"
#include "lan/LanLibrary.h"
#include "ops/History.h"
#include "ops/OperationHandle.h"
#include "ops/memory/MemImageFile.h"
#include "support/SimBench.h"

namespace kz::fm {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

const char* OpName(Op op) {
    switch (op) {
        case Op::Backup:
            return "backup";
        case Op::Verify:
            return "verify";
        case Op::Restore:
            return "restore";
        case Op::CfReceive:
            return "cf-receive";
        case Op::CfSend:
            return "cf-send";
    }
    return "?";
}

bool IsMemoryOp(Op op) {
    return op == Op::Backup || op == Op::Verify || op == Op::Restore;
}

Verdict Classify(const Observed& seen) {
    auto wrong = [&](const std::string& why) {
        return Verdict{Outcome::Wrong, seen.detail.empty() ? why : why + ": " + seen.detail};
    };
    if (seen.crashed) {
        return wrong("crash");
    }
    if (!seen.finished) {
        return wrong("hang past the bound");
    }
    if (!seen.intact) {
        return wrong("an existing file damaged");
    }
    if (seen.completed) {
        if (seen.mustFail) {
            return wrong("success reported for a failure");
        }
        if (!seen.resultExact) {
            return wrong("completed, result not byte-exact");
        }
        return {Outcome::Exact, {}};
    }
    if (seen.error <= 0) {
        return wrong("ended without an error");
    }
    return {Outcome::RightError, {}};
}

namespace {

// ---- What the runs share ---------------------------------------------------------------------

constexpr std::uint32_t kFrom = 0x10000;  // FROM1 at 0
constexpr std::uint32_t kSram = 0x4000;   // SRAM1 at 0x400000
constexpr std::uint32_t kSramAt = 0x400000;
constexpr std::size_t kImageSize = kImageHeaderSize + kFrom + kSram;
// Protocol time runs this many times faster than real time.
constexpr unsigned kClockFactor = 10;

Bytes Content(std::size_t size, std::uint8_t seed) {
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<std::uint8_t>(i * 7 + seed + (i >> 9));
    }
    return bytes;
}

std::optional<Bytes> ReadFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return std::nullopt;
    }
    return Bytes(std::istreambuf_iterator<char>(file), {});
}

void WriteFile(const std::string& path, const Bytes& bytes) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

// The image's data: what follows the header.
Bytes ImageData(const Bytes& file) {
    return file.size() < kImageHeaderSize ? Bytes{}
                                          : Bytes(file.begin() + kImageHeaderSize, file.end());
}

// " (size S, first difference at data offset N)" for a report.
std::string FirstDifference(const std::optional<Bytes>& image, const Bytes& memory) {
    if (!image) {
        return " (no image)";
    }
    const Bytes data = ImageData(*image);
    std::size_t at = 0;
    while (at < data.size() && at < memory.size() && data[at] == memory[at]) {
        ++at;
    }
    return " (size " + std::to_string(image->size()) + ", first difference at data offset " +
           std::to_string(at) + ")";
}

// The program folder's link settings: the tests' times on a faster protocol clock.
test::LinkSettings MatrixLink() {
    test::LinkSettings link;
    link.clockFactor = kClockFactor;
    return link;
}

// " (N of M bytes differ)" for a file that differs from expected, else nothing.
std::string ByteDifferences(const std::optional<Bytes>& file, const Bytes& expected) {
    if (file == expected) {
        return {};
    }
    if (!file || file->size() != expected.size()) {
        return " (length " + (file ? std::to_string(file->size()) : std::string("none")) + " for " +
               std::to_string(expected.size()) + ")";
    }
    std::size_t differ = 0;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        differ += (*file)[i] != expected[i] ? 1 : 0;
    }
    return " (" + std::to_string(differ) + " of " + std::to_string(expected.size()) +
           " bytes differ)";
}

// The two CF files of every transfer: one of two blocks, one short; and the content a
// target held before the run.
const std::string kBig = "ZI00001.BIN";
const std::string kSmall = "ZR00007.CSV";
const std::string kBigPc = "data/ZI00001.BIN";
const std::string kSmallPc = "file/ZR00007.CSV";
Bytes BigFile() {
    return Content(70000, 3);
}
Bytes SmallFile() {
    return Content(300, 9);
}
Bytes OldFile() {
    return Content(5, 0xAA);
}

sim::PanelDescription MatrixPanel(Op op) {
    sim::PanelDescription panel = test::TestPanel(kFrom, kSram);
    panel.cfCardPresent = true;
    if (op == Op::CfReceive) {
        panel.cfFiles = {{kBig, BigFile()}, {kSmall, SmallFile()}};
    } else if (op == Op::CfSend) {
        panel.cfFiles = {{kBig, OldFile()}};
    }
    return panel;
}

// The operation the matrix drives, the link's requests answered as the front-ends do.
struct RunEnd {
    bool finished = false;
    int error = 0;
};

RunEnd RunOp(test::RecordingView& view, Op op, Link link, const std::string& path,
             const std::string& endpoint, const std::function<void()>& started = {}) {
    static const OperationKind kinds[] = {OperationKind::Backup, OperationKind::Verify,
                                          OperationKind::Restore, OperationKind::CfReceive,
                                          OperationKind::CfSend};
    StartPlan plan;
    plan.path = path;
    plan.comment = "matrix";
    std::unique_ptr<COperationHandle> handle =
        COperationHandle::Create(kinds[static_cast<int>(op)], link, plan);
    if (IsMemoryOp(op)) {
        handle->SetExactImagePath();
    }
    handle->SetPowerResetLimit(2s);
    COperationHandle* h = handle.get();
    view.onMessage = [h](unsigned msg, std::uintptr_t) {
        if (msg == WM_MODEL_INFO_REQUEST) {
            if (const std::optional<ModelInfoExchange> x = h->ModelInfoRequest()) {
                h->AnswerModelInfo(true, x->modelName, x->bkFile, x->baud);
            }
        }
    };
    const int before = view.Count(WM_OPERATION_COMPLETE);
    handle->Start(&view, &view, nullptr, endpoint);
    if (started) {
        started();
    }
    RunEnd end;
    // The parent bounds the run; this wait only has to outlast that bound.
    end.finished = view.WaitMessage(WM_OPERATION_COMPLETE, before + 1, std::chrono::hours(1));
    handle->WaitIdle();
    end.error = handle->Error();
    handle.reset();
    return end;
}

// The fault-free run that makes the image a verify or restore reads, or the first of two
// runs on one target. On the compressed clock a busy machine can make even a clean run time
// out; it is tried again, as a user would.
RunEnd CleanRun(const std::function<RunEnd()>& run) {
    RunEnd end;
    for (int attempt = 0; attempt < 3; ++attempt) {
        end = run();
        if (end.finished && end.error == msg::kCompleted) {
            break;
        }
    }
    return end;
}

// The files a run may touch and what they held before it; the checks after it.
class Targets {
  public:
    Targets(Op op, std::string folder) : op_(op), folder_(std::move(folder)) {}

    std::string Image() const { return folder_ + "a.mem"; }
    std::string Pc() const { return folder_ + "pc"; }

    // Notes what the targets hold now (before the run the faults hit).
    void Snapshot() {
        image_ = ReadFile(Image());
        big_ = ReadFile(Pc() + "/" + kBigPc);
        small_ = ReadFile(Pc() + "/" + kSmallPc);
        top_ = Names(folder_);
    }

    // memory: the panel's FROM1 and SRAM1; card: a card file by name.
    void Check(Observed& seen, const Bytes& memory,
               const std::function<std::optional<Bytes>(const std::string&)>& card,
               const Bytes& imageBefore) const {
        const std::optional<Bytes> image = ReadFile(Image());
        auto fail = [&](bool intact, const std::string& what) {
            (intact ? seen.resultExact : seen.intact) = false;
            if (seen.detail.empty()) {
                seen.detail = what;
            }
        };
        seen.resultExact = true;
        switch (op_) {
            case Op::Backup:
                if (seen.completed) {
                    if (!image || image->size() != kImageSize || ImageData(*image) != memory) {
                        fail(true, "image differs from the panel" + FirstDifference(image, memory));
                    }
                } else if (image != image_) {
                    fail(false, "the target image changed");
                }
                break;
            case Op::Verify:
                if (image != image_) {
                    fail(false, "the verified image changed");
                } else if (seen.completed && (!image || ImageData(*image) != memory)) {
                    fail(true, "verify passed an image that differs from the panel");
                }
                break;
            case Op::Restore:
                if (image != image_) {
                    fail(false, "the restored image changed");
                } else if (seen.completed && ImageData(imageBefore) != memory) {
                    fail(true, "panel memory differs from the image");
                }
                break;
            case Op::CfReceive: {
                const std::optional<Bytes> big = ReadFile(Pc() + "/" + kBigPc);
                const std::optional<Bytes> small = ReadFile(Pc() + "/" + kSmallPc);
                if (seen.completed) {
                    if (big != BigFile() || small != SmallFile()) {
                        fail(true, "a received file differs from the card's");
                    }
                } else {
                    if (big != big_ && big != BigFile()) {
                        fail(false, "the PC copy is neither the old nor the card's");
                    }
                    if (small != small_ && small != SmallFile()) {
                        fail(false, "a new PC file is not the card's");
                    }
                }
                break;
            }
            case Op::CfSend: {
                const std::optional<Bytes> big = card(kBig);
                const std::optional<Bytes> small = card(kSmall);
                if (ReadFile(Pc() + "/" + kBigPc) != big_ ||
                    ReadFile(Pc() + "/" + kSmallPc) != small_) {
                    fail(false, "a PC file changed");
                }
                if (seen.completed) {
                    if (big != BigFile() || small != SmallFile()) {
                        fail(true, "a card file differs from the PC's" +
                                       ByteDifferences(big, BigFile()) +
                                       ByteDifferences(small, SmallFile()));
                    }
                } else {
                    if (big != OldFile() && big != BigFile()) {
                        fail(false, "the card file is neither the old nor the PC's");
                    }
                    if (small && small != SmallFile()) {
                        fail(false, "a new card file is not the PC's");
                    }
                }
                break;
            }
        }
        // Nothing new beside the targets (the service record excepted).
        for (const std::string& name : Names(folder_)) {
            if (!top_.count(name) && name != kHistoryFileName && name != "a.mem" &&
                name != "a.mem.partial" && name != "pc") {
                fail(false, "a file was written outside the target: " + name);
            }
        }
    }

  private:
    static std::set<std::string> Names(const std::string& folder) {
        std::set<std::string> names;
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(folder, ec)) {
            names.insert(entry.path().filename().string());
        }
        return names;
    }

    Op op_;
    std::string folder_;
    std::optional<Bytes> image_, big_, small_;
    std::set<std::string> top_;
};

// The PC side of a run before the faults: an old target image or CF copy, the files to
// send.
void PlantPcFiles(Op op, const Targets& targets) {
    if (op == Op::Backup) {
        WriteFile(targets.Image(), Content(2000, 0x55));
    } else if (op == Op::CfReceive) {
        WriteFile(targets.Pc() + "/" + kBigPc, OldFile());
    } else if (op == Op::CfSend) {
        WriteFile(targets.Pc() + "/" + kBigPc, BigFile());
        WriteFile(targets.Pc() + "/" + kSmallPc, SmallFile());
    }
}

// Damages the image a verify or restore reads; a restore's image also differs from the
// panel in a few data bytes, so that a completed restore shows in the panel's memory.
void PrepareImage(const Case& c, const std::string& path) {
    std::optional<Bytes> image = ReadFile(path);
    if (!image) {
        return;
    }
    if (c.op == Op::Restore) {
        for (std::size_t at : {0x10u, 0x2345u, 0x10001u}) {
            (*image)[kImageHeaderSize + at] ^= 0x5A;
        }
    }
    switch (c.damage) {
        case ImageDamage::None:
            break;
        case ImageDamage::Truncated:
            image->resize(std::min<std::size_t>(c.damageOffset, kImageSize - 1));
            break;
        case ImageDamage::Header:
        case ImageDamage::Data:
            (*image)[c.damageOffset % image->size()] ^= 0xA5;
            break;
    }
    WriteFile(path, *image);
}

// Plants the PC files of a run and, for a verify or restore (or the first of two runs), makes
// the image or CF copy with a clean run through run and damages it as the case asks. False
// when the clean run fails.
bool SetUpPcSide(const Case& c, const Targets& targets,
                 const std::function<RunEnd(Op, const std::string&)>& run) {
    PlantPcFiles(c.op, targets);
    if (c.op == Op::Verify || c.op == Op::Restore || c.twoRuns) {
        const Op first = c.op == Op::Verify || c.op == Op::Restore ? Op::Backup : c.op;
        const RunEnd clean = CleanRun(
            [&] { return run(first, first == Op::Backup ? targets.Image() : targets.Pc()); });
        if (!clean.finished || clean.error != msg::kCompleted) {
            return false;
        }
        PrepareImage(c, targets.Image());
    }
    return true;
}

Observed SetUpFailed(Observed seen) {
    seen.finished = true;
    seen.detail = "the clean first run failed";
    seen.intact = false;
    return seen;
}

void LimitFileSize(std::uint64_t limit) {
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit small{static_cast<rlim_t>(limit), static_cast<rlim_t>(limit)};
    ::setrlimit(RLIMIT_FSIZE, &small);
}

// ---- Serial runs -----------------------------------------------------------------------------

Observed SerialRun(const Case& c) {
    sim::PanelDescription panel = MatrixPanel(c.op);
    test::ModelChoices choices;
    choices.loaderFile = "DEMO.LDR";
    choices.offset = 0x4000;
    test::SimBench bench(MatrixLink(), panel, test::ModelSection(panel, choices));
    Targets targets(c.op, bench.folder.Path(""));
    const std::string target = IsMemoryOp(c.op) ? targets.Image() : targets.Pc();
    Observed seen;
    seen.mustFail = c.mustFail;
    if (!SetUpPcSide(c, targets, [&](Op first, const std::string& path) {
            return RunOp(bench.view, first, Link::Serial, path, {});
        })) {
        return SetUpFailed(seen);
    }
    targets.Snapshot();
    const Bytes imageBefore = ReadFile(targets.Image()).value_or(Bytes{});
    if (c.setFaults && c.strikeAfterFrames == 0) {
        bench.panel->SetFaults(c.faults);
    }
    if (c.fileLimit != 0) {
        LimitFileSize(c.fileLimit);
    }
    std::jthread striker;
    const std::uint32_t framesBefore = bench.panel->Counters().frames;
    auto start = [&] {
        if ((!c.setFaults || c.strikeAfterFrames == 0) && !c.powerCut) {
            return;
        }
        striker = std::jthread([&](std::stop_token stop) {
            while (!stop.stop_requested() &&
                   bench.panel->Counters().frames - framesBefore < c.strikeAfterFrames) {
                std::this_thread::sleep_for(1ms);
            }
            if (stop.stop_requested()) {
                return;
            }
            if (c.powerCut) {
                bench.panel->PowerCycle(300ms);
            } else {
                bench.panel->SetFaults(c.faults);
            }
        });
    };
    const RunEnd end = RunOp(bench.view, c.op, Link::Serial, target, {}, start);
    if (striker.joinable()) {
        striker.request_stop();
        striker.join();
    }
    seen.finished = end.finished;
    seen.error = end.error;
    seen.completed = end.error == msg::kCompleted;
    Bytes memory = bench.panel->ReadMemory(0, kFrom);
    const Bytes sram = bench.panel->ReadMemory(kSramAt, kSram);
    memory.insert(memory.end(), sram.begin(), sram.end());
    targets.Check(
        seen, memory, [&](const std::string& name) { return bench.panel->CfCardFile(name); },
        imageBefore);
    return seen;
}

// ---- LAN runs --------------------------------------------------------------------------------

// A program folder for the LAN: the real library and its node list, the model section.
struct LanRig {
    explicit LanRig(Op op) : folder(MatrixLink()), server(MatrixPanel(op)) {
        server.Start(0);
        const std::string models =
            "[KZ-LAN]\r\nID=8C93\r\nSLOADER=SLOADER.BIN\r\nFROM1=00000000,00010000\r\n"
            "SRAM1=00400000,00004000,4000\r\nOFFSET=4000\r\n";
        folder.WriteIni(MatrixLink(), "COMMTYPE=1\r\n", models);
        folder.dir().Write("SLOADER.BIN", std::string("\x00\x10\x00\x00SLDR", 8));
        fs::copy_file(KZ_KEVROSA_FILE, folder.dir().path() / lan::kLibraryFile);
        folder.dir().Write("Kevrosa.conf", server.Endpoint() + "\n");
    }
    ~LanRig() { server.Stop(); }

    Bytes Memory() const {
        Bytes memory = server.ReadMemory(0, kFrom);
        const Bytes sram = server.ReadMemory(kSramAt, kSram);
        memory.insert(memory.end(), sram.begin(), sram.end());
        return memory;
    }
    std::optional<Bytes> Card(const std::string& name) const {
        const sim::CfFiles files = server.CfCardFiles();
        for (const auto& [n, bytes] : files) {
            if (n == name) {
                return bytes;
            }
        }
        return std::nullopt;
    }

    test::TestFolder folder;
    sim::LanServer server;
    test::RecordingView view;
};

Observed LanRun(const Case& c) {
    LanRig rig(c.op);
    Targets targets(c.op, rig.folder.Path(""));
    const std::string target = IsMemoryOp(c.op) ? targets.Image() : targets.Pc();
    Observed seen;
    seen.mustFail = c.mustFail;
    if (!SetUpPcSide(c, targets, [&](Op first, const std::string& path) {
            return RunOp(rig.view, first, Link::Lan, path, rig.server.Endpoint());
        })) {
        return SetUpFailed(seen);
    }
    targets.Snapshot();
    const Bytes imageBefore = ReadFile(targets.Image()).value_or(Bytes{});
    if (c.lanFault) {
        rig.server.AddFault(*c.lanFault);
    }
    const RunEnd end = RunOp(rig.view, c.op, Link::Lan, target, rig.server.Endpoint());
    seen.finished = end.finished;
    seen.error = end.error;
    seen.completed = end.error == msg::kCompleted;
    targets.Check(
        seen, rig.Memory(), [&](const std::string& name) { return rig.Card(name); }, imageBefore);
    return seen;
}

// ---- The child process -----------------------------------------------------------------------

std::string Encode(const Observed& seen) {
    std::ostringstream out;
    out << seen.finished << ' ' << seen.completed << ' ' << seen.error << ' ' << seen.resultExact
        << ' ' << seen.intact << ' ' << seen.mustFail << ' ' << seen.detail;
    return out.str();
}

Observed Decode(const std::string& text) {
    Observed seen;
    std::istringstream in(text);
    in >> seen.finished >> seen.completed >> seen.error >> seen.resultExact >> seen.intact >>
        seen.mustFail;
    std::getline(in >> std::ws, seen.detail);
    return seen;
}

// Runs body in a child and gives what it wrote; nullopt when the child did not end normally
// (*hang: it outlived bound and was killed).
std::optional<std::string> InChild(const std::function<std::string()>& body,
                                   std::chrono::seconds bound, bool* hang) {
    *hang = false;
    int fds[2];
    if (::pipe(fds) != 0) {
        return std::nullopt;
    }
    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(fds[0]);
        const std::string text = body();
        const ssize_t written = ::write(fds[1], text.data(), text.size());
        std::_Exit(written == static_cast<ssize_t>(text.size()) ? 0 : 3);
    }
    ::close(fds[1]);
    if (child < 0) {
        ::close(fds[0]);
        return std::nullopt;
    }
    std::string text;
    const auto deadline = std::chrono::steady_clock::now() + bound;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            *hang = true;
            ::kill(child, SIGKILL);
            break;
        }
        pollfd p{fds[0], POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(std::min<long long>(left.count(), 1000))) <= 0) {
            continue;
        }
        char buffer[512];
        const ssize_t got = ::read(fds[0], buffer, sizeof buffer);
        if (got <= 0) {
            break;
        }
        text.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(fds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    if (*hang || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        return std::nullopt;
    }
    return text;
}

}  // namespace

Observed RunCase(const Case& c, std::chrono::seconds bound) {
    bool hang = false;
    const std::optional<std::string> text =
        InChild([&c] { return Encode(c.lan ? LanRun(c) : SerialRun(c)); }, bound, &hang);
    if (!text) {
        Observed seen;
        seen.crashed = !hang;
        seen.finished = false;
        return seen;
    }
    return Decode(*text);
}

std::vector<unsigned> LanOpsMet(Op op) {
    bool hang = false;
    const std::optional<std::string> text = InChild(
        [op] {
            LanRig rig(op);
            Targets targets(op, rig.folder.Path(""));
            PlantPcFiles(op, targets);
            if (op == Op::Verify || op == Op::Restore) {
                if (RunOp(rig.view, Op::Backup, Link::Lan, targets.Image(), rig.server.Endpoint())
                        .error != msg::kCompleted) {
                    return std::string();
                }
            }
            const sim::LanCounters before = rig.server.Counters();
            const RunEnd end =
                RunOp(rig.view, op, Link::Lan, IsMemoryOp(op) ? targets.Image() : targets.Pc(),
                      rig.server.Endpoint());
            if (end.error != msg::kCompleted) {
                return std::string();
            }
            const sim::LanCounters after = rig.server.Counters();
            std::string out;
            for (std::size_t i = 0; i < after.byOp.size(); ++i) {
                out += std::to_string(after.byOp[i] - before.byOp[i]) + " ";
            }
            return out;
        },
        std::chrono::seconds(60), &hang);
    std::vector<unsigned> met;
    if (text) {
        std::istringstream in(*text);
        unsigned n = 0;
        while (in >> n) {
            met.push_back(n);
        }
    }
    return met;
}

}  // namespace kz::fm

// The cases of the fault matrix: each fault class with its seeds and strike points.
#include <algorithm>
#include <cstdio>

#include "FaultMatrix.h"
#include "ops/memory/MemImageFile.h"

namespace kz::fm {

namespace {

using Req = kevrosa::Op;  // the LAN requests
using LanKind = sim::LanFault::Kind;

constexpr Req kRequests[] = {
    Req::Probe,       Req::Open,           Req::Begin,       Req::Identity,  Req::PasswordQuery,
    Req::Password,    Req::LoaderDownload, Req::LoaderStart, Req::Extension, Req::ColdRestart,
    Req::HardData,    Req::Read,           Req::Write,       Req::Support,   Req::Quit,
    Req::CfReadRange, Req::CfWrite};

const char* RequestName(Req op) {
    static const char* const names[] = {
        "?",        "probe",        "open",      "begin",     "identity",     "pwquery",
        "password", "ldr-download", "ldr-start", "extension", "cold-restart", "harddata",
        "read",     "write",        "support",   "quit",      "cfreadrange",  "cfwrite"};
    const auto i = static_cast<std::size_t>(op);
    return i < std::size(names) ? names[i] : "?";
}

// The request that carries an operation's data.
Req DataRequest(fm::Op op) {
    switch (op) {
        case fm::Op::Backup:
        case fm::Op::Verify:
            return Req::Read;
        case fm::Op::Restore:
            return Req::Write;
        case fm::Op::CfReceive:
            return Req::CfReadRange;
        case fm::Op::CfSend:
            return Req::CfWrite;
    }
    return Req::Read;
}

constexpr fm::Op kAll[] = {fm::Op::Backup, fm::Op::Verify, fm::Op::Restore, fm::Op::CfReceive,
                           fm::Op::CfSend};

// A small deterministic generator for seeds and strike points.
struct Picker {
    std::uint64_t state;
    std::uint64_t Next() {
        std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    std::uint32_t Below(std::uint32_t n) { return static_cast<std::uint32_t>(Next() % n); }
};

std::string Label(const std::string& fault, fm::Op op, const std::string& more) {
    return fault + "/" + OpName(op) + "/" + more;
}

}  // namespace

std::vector<Case> BuildMatrix(bool quick, std::uint64_t seed) {
    std::vector<Case> cases;
    Picker pick{seed};
    const int n = quick ? 1 : 8;  // runs per operation of a random-byte class
    auto add = [&](Case c, const std::string& more) {
        c.label = Label(c.fault, c.op, more);
        cases.push_back(std::move(c));
    };

    // No fault: every operation on either link completes byte-exact.
    for (bool lan : {false, true}) {
        for (fm::Op op : kAll) {
            Case c;
            c.fault = "none (baseline)";
            c.op = op;
            c.lan = lan;
            add(c, lan ? "lan" : "serial");
        }
    }

    // Random byte faults in both directions, each run with its own seed.
    struct Rate {
        const char* name;
        double garble, drop, rxGarbleOnly;
    };
    const Rate rates[] = {{"serial: bytes corrupted 1e-4", 1e-4, 0, 0},
                          {"serial: bytes corrupted 1e-3", 1e-3, 0, 0},
                          {"serial: bytes dropped 1e-4", 0, 1e-4, 0},
                          {"serial: garbage received 1e-3", 0, 0, 1e-3}};
    for (const Rate& rate : rates) {
        for (fm::Op op : kAll) {
            for (int i = 0; i < n; ++i) {
                Case c;
                c.fault = rate.name;
                c.op = op;
                c.setFaults = true;
                c.faults.seed = pick.Next() | 1;
                c.faults.txGarbleRate = rate.garble;
                c.faults.rxGarbleRate = rate.garble + rate.rxGarbleOnly;
                c.faults.txDropRate = rate.drop;
                c.faults.rxDropRate = rate.drop;
                add(c, "seed " + std::to_string(c.faults.seed));
            }
        }
    }

    // A stray answer before the protection query.
    const char* strays[] = {"LS00008", "0", "E", "<EZI000010000000005", "ZZZZZZZZZZZZZZZZ"};
    for (fm::Op op : {fm::Op::Backup, fm::Op::Verify, fm::Op::Restore}) {
        for (const char* stray : strays) {
            Case c;
            c.fault = "serial: stray answer";
            c.op = op;
            c.setFaults = true;
            c.faults.strayProtectionAnswer = stray;
            add(c, stray);
            if (quick) {
                break;
            }
        }
    }

    // Faults that strike once the panel decoded a chosen number of frames.
    const std::uint32_t points[] = {0, 3, 6, 9, 14, 20, 30, 45};
    for (fm::Op op : kAll) {
        for (std::uint32_t point : points) {
            if (quick && point != 9) {
                continue;
            }
            const std::string at = "after " + std::to_string(point) + " frames";
            // Every answer late costs seconds a run: half the points.
            Case delay;
            delay.fault = "serial: answer delayed past the time-out";
            delay.op = op;
            delay.setFaults = true;
            delay.strikeAfterFrames = point;
            delay.faults.answerDelay = std::chrono::milliseconds(1200 + pick.Below(1000));
            if (point % 2 == 0) {
                add(delay, at);
            }

            Case silent;
            silent.fault = "serial: silence from a point on";
            silent.op = op;
            silent.setFaults = true;
            silent.faults.silentAfterFrames = point;
            add(silent, at);

            Case cut;
            cut.fault = "serial: panel reset mid-transfer";
            cut.op = op;
            cut.powerCut = true;
            cut.strikeAfterFrames = std::max<std::uint32_t>(point, 1);
            add(cut, at);

            Case twice;
            twice.fault = "serial: two runs on one target";
            twice.op = op;
            twice.twoRuns = true;
            twice.setFaults = true;
            twice.faults.silentAfterFrames = point;
            add(twice, "second silent " + at);
        }
    }

    // Line errors on memory read blocks.
    for (fm::Op op : {fm::Op::Backup, fm::Op::Verify, fm::Op::Restore}) {
        for (std::uint32_t block : {1u, 2u, 5u, 9u, 17u, 40u, 80u}) {
            if (quick && block != 2) {
                continue;
            }
            Case c;
            c.fault = "serial: line errors";
            c.op = op;
            c.setFaults = true;
            c.faults.lineErrorReadBlock = block;
            c.faults.lineErrorReadBlockCount = 1 + block % 3;
            add(c, "read block " + std::to_string(block));
            Case bad = c;
            bad.fault = "serial: corrupt read block";
            bad.faults = {};
            bad.faults.corruptReadBlock = block;
            bad.faults.corruptReadBlockCount = 1 + block % 4;
            add(bad, "read block " + std::to_string(block));
        }
    }

    // A full disk while the image or the received file is written.
    for (fm::Op op : {fm::Op::Backup, fm::Op::CfReceive}) {
        for (int i = 0; i < (quick ? 1 : 10); ++i) {
            Case c;
            c.fault = "serial: disk full while writing";
            c.op = op;
            c.fileLimit = op == fm::Op::Backup ? 512 + pick.Below(0x14000) : 1 + pick.Below(69000);
            c.mustFail = true;
            add(c, "limit " + std::to_string(c.fileLimit));
        }
    }

    // A truncated or damaged image.
    for (fm::Op op : {fm::Op::Verify, fm::Op::Restore}) {
        for (int i = 0; i < (quick ? 1 : 6); ++i) {
            Case cut;
            cut.fault = "serial: truncated image";
            cut.op = op;
            cut.damage = ImageDamage::Truncated;
            cut.damageOffset = i == 0 ? 0 : pick.Below(kImageHeaderSize + 0x14000);
            cut.mustFail = true;
            add(cut, "cut at " + std::to_string(cut.damageOffset));
            Case head = cut;
            head.fault = "serial: damaged image header";
            head.damage = ImageDamage::Header;
            head.damageOffset = pick.Below(kImageHeaderSize);
            head.mustFail = false;
            add(head, "byte " + std::to_string(head.damageOffset));
            Case data = head;
            data.fault = "serial: damaged image data";
            data.damage = ImageDamage::Data;
            data.damageOffset = kImageHeaderSize + pick.Below(0x14000);
            data.mustFail = op == fm::Op::Verify;
            add(data, "byte " + std::to_string(data.damageOffset));
        }
    }

    // Hostile CF headers, card results, damaged and oversize blocks, silence in a file.
    const char* headers[] = {"<E../../x.BIN0000000010",
                             "<EZI00001-000000001",
                             "<EZI0000199999999999999",
                             "<EZI00001",
                             "<E",
                             "<EZI000010000000001",
                             "<EZI000010000070000",
                             "<E/etc/pa0000000010",
                             "<EZI0000\x01"
                             "0000000010",
                             "<EZI00001000000001x"};
    for (const char* header : headers) {
        Case c;
        c.fault = "serial: hostile CF header";
        c.op = fm::Op::CfReceive;
        c.setFaults = true;
        c.faults.cfRawHeader = header;
        c.faults.cfRawHeaderAt = 1 + pick.Below(2);
        add(c, header);
        if (quick) {
            break;
        }
    }
    for (fm::Op op : {fm::Op::CfReceive, fm::Op::CfSend}) {
        // Not "0": that is the card's own answer that all is well, which nothing on the PC
        // side could tell from the truth.
        for (char result : {'E', 'F', 'G', 'H', 'I', 'Z', '9'}) {
            for (std::uint32_t at : {1u, 2u, 3u}) {
                if (quick && (at != 2 || result != 'F')) {
                    continue;
                }
                Case c;
                c.fault = "serial: CF result answer";
                c.op = op;
                c.setFaults = true;
                c.faults.cfResult = result;
                c.faults.cfResultAt = at;
                add(c, std::string(1, result) + " at request " + std::to_string(at));
            }
        }
        for (std::uint32_t after : {0u, 1u, 2u}) {
            Case c;
            c.fault = "serial: CF silence in a file";
            c.op = op;
            c.setFaults = true;
            c.faults.cfSilentAfterBlocks = after;
            add(c, "after " + std::to_string(after) + " blocks");
        }
    }
    for (std::uint32_t block : {1u, 2u}) {
        Case big;
        big.fault = "serial: oversize or corrupt CF block";
        big.op = fm::Op::CfReceive;
        big.setFaults = true;
        big.faults.cfOversizeBlock = block;
        big.faults.cfOversizeLength = block == 1 ? 99999 : 65281;
        add(big, "oversize block " + std::to_string(block));
        Case bad = big;
        bad.faults = {};
        bad.faults.cfCorruptBlock = block;
        add(bad, "corrupt block " + std::to_string(block));
        Case refused;
        refused.fault = big.fault;
        refused.op = fm::Op::CfSend;
        refused.setFaults = true;
        refused.faults.cfDamagedReceivedBlock = block;
        add(refused, "damaged sent block " + std::to_string(block));
    }

    // The LAN: every fault kind at every request an operation makes (and, for requests it
    // makes many times, at a later one as well).
    struct Kind {
        const char* name;
        LanKind kind;
        std::uint32_t cause;
        int delayMs;
    };
    std::vector<Kind> kinds = {{"refuse", LanKind::Refuse, kevrosa::kCauseRefused, 0},
                               {"never", LanKind::Never, 0, 0},
                               {"silent", LanKind::Silent, 0, 0},
                               {"late", LanKind::Late, 0, 20},
                               {"late past the time-out", LanKind::Late, 0, 800},
                               {"drop", LanKind::Drop, 0, 0},
                               {"early", LanKind::Early, 0, 0}};
    for (std::uint32_t cause :
         {kevrosa::kCauseConnection, kevrosa::kCauseTimeout, kevrosa::kCauseBadAnswer,
          kevrosa::kCauseBusy, kevrosa::kCauseBadArgument, kevrosa::kCausePcFileRead,
          kevrosa::kCausePassword, kevrosa::kCauseUnsupported, kevrosa::kCauseRefused,
          kevrosa::kCauseCancelled, 0x45u, 0x49u, 0xE1u}) {
        kinds.push_back({"fail", LanKind::Fail, cause, 0});
    }
    for (fm::Op op : kAll) {
        const std::vector<unsigned> met = LanOpsMet(op);
        if (met.empty()) {
            std::fprintf(stderr, "fault matrix: the clean LAN %s failed\n", OpName(op));
            Case c;
            c.fault = "lan: clean run";
            c.op = op;
            c.lan = true;
            add(c, "clean");
            continue;
        }
        for (Req request : kRequests) {
            const unsigned times = met[static_cast<std::size_t>(request)];
            if (times == 0) {
                continue;
            }
            for (const Kind& kind : kinds) {
                std::vector<unsigned> skips = {0};
                if (times > 1 && !quick &&
                    (kind.kind != LanKind::Fail || kind.cause == kevrosa::kCauseTimeout)) {
                    skips.push_back(times / 2);
                }
                // A request never even accepted holds the library's accepting call for its own
                // (real-time) limit of seconds: only the first data request of each operation.
                if (kind.kind == LanKind::Silent && request != DataRequest(op)) {
                    continue;
                }
                if (quick && kind.kind == LanKind::Fail &&
                    kind.cause != kevrosa::kCauseConnection) {
                    continue;
                }
                for (unsigned skip : skips) {
                    Case c;
                    c.fault = std::string("lan: ") + kind.name;
                    c.op = op;
                    c.lan = true;
                    sim::LanFault fault;
                    fault.op = request;
                    fault.kind = kind.kind;
                    fault.cause = kind.cause;
                    fault.delay = std::chrono::milliseconds(kind.delayMs);
                    fault.skip = skip;
                    c.lanFault = fault;
                    char more[64];
                    std::snprintf(more, sizeof more, "%s #%u cause %X", RequestName(request),
                                  skip + 1, kind.cause);
                    add(c, more);
                }
            }
        }
    }
    return cases;
}

}  // namespace kz::fm

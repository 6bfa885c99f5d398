// The LAN panel simulator: serves one simulated panel (the same PanelDescription, memory and
// CF card model as the serial simulator) on 127.0.0.1 over the TCP protocol of
// sim/kevrosa/KevrosaWire.h, for our LAN transfer library.
//
// The panel: identity (core ID and the text "KZ,<core ID>,<lanVersion>"), password,
// system loader download and start (checked against expectedLoader when the description has
// one), the extension program and the cold restart, hardware data, memory reads and writes
// of at most 0x8000 bytes, the support check ("CF-CARD      " only), quit, and the CF card.
// Hardware data and memory need a started loader. A panel whose version sorts before
// "V4.51" (byte comparison) also needs the extension program: after its last block and a
// cold restart the loader must be sent and started again before memory can be reached.
// The cold restart ends the connection; the panel's memory, card and extension survive it.
//
// Faults (AddFault) hit requests of one op: refuse it, fail it with a chosen cause
// (m_dwErrorCode), never complete it, never even accept it (a frozen panel: nothing comes
// back), complete it late, drop the connection in the middle of its answer, send the
// completion before the acceptance, or list a hostile file name in a card read.
//
// Link rate (SetLinkRate): each connection can be held to a link of a given rate, the same in
// each direction: a message goes out, and a received one is acted on, only once a link of
// that rate would have carried it (its frame bytes; no TCP/IP overhead is modelled).
//
// Thread-safety: every public function may be called from any thread. One thread accepts,
// one thread serves each connection (threads named "kzsim-lan"); the panel's state is shared
// under one lock.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "sim/CfCard.h"
#include "sim/PanelDescription.h"
#include "sim/PanelMemory.h"
#include "sim/kevrosa/KevrosaWire.h"

namespace kz::sim {

struct LanFault {
    enum class Kind {
        Refuse,       // the request is refused (Ack 0 with cause)
        Fail,         // accepted, then completed with cause; nothing is done
        Never,        // accepted and never completed; nothing is done
        Silent,       // neither accepted nor completed; nothing is done
        Late,         // done and accepted at once, completed after delay
        Drop,         // accepted, then the connection closes halfway through the answer
        Early,        // done, the completion sent before the acceptance
        HostileName,  // CfReadRange: the answer also lists a file called name
    };
    kevrosa::Op op = kevrosa::Op::Probe;
    Kind kind = Kind::Refuse;
    std::uint32_t cause = kevrosa::kCauseRefused;
    std::chrono::milliseconds delay{0};
    std::string name;
    unsigned skip = 0;   // matching requests let through before the fault hits
    unsigned times = 1;  // requests it hits; 0 = every one
};

struct LanCounters {
    unsigned connections = 0;
    unsigned requests = 0;
    unsigned loaderDownloads = 0;
    unsigned loaderStarts = 0;
    unsigned extensionBlocks = 0;
    unsigned coldRestarts = 0;
    unsigned passwordsRejected = 0;
    unsigned reads = 0;
    unsigned writes = 0;
    unsigned cfFilesSent = 0;
    unsigned cfFilesStored = 0;
    // Requests received, by op (indexed by the op's wire value).
    std::array<unsigned, 32> byOp{};
};

// Parses a fault given as "OP:KIND[:VALUE]" (kzpanel-sim --lan-fault): OP is a request
// name of OpNames() (any case), KIND one of refuse, fail, never, silent, late, drop, early,
// hostile;
// VALUE is the cause in hex for refuse and fail, the delay in milliseconds for late, and the
// file name (the rest of the text) for hostile. The fault hits the first such request.
// Nullopt with a reason in *error for anything else.
std::optional<LanFault> ParseLanFault(std::string_view text, std::string* error = nullptr);

// The request names ParseLanFault knows, e.g. "read", "cfreadrange".
std::string OpNames();

class LanServer {
  public:
    explicit LanServer(PanelDescription description);
    ~LanServer();
    LanServer(const LanServer&) = delete;
    LanServer& operator=(const LanServer&) = delete;

    // Listens on 127.0.0.1:port (0: an ephemeral port) and starts serving. False with a
    // reason in *error when the port cannot be had.
    bool Start(std::uint16_t port, std::string* error = nullptr);
    // The same on another loopback address (127.x.y.z, first octet in the top byte), so a
    // test can serve a panel on the default port beside others; any address outside
    // 127.0.0.0/8 is refused.
    bool Start(std::uint16_t port, std::uint32_t loopback, std::string* error);
    // Closes every connection and stops serving.
    void Stop();
    std::uint16_t Port() const { return port_; }
    // "127.0.0.1:PORT" (or the loopback address it was started on).
    std::string Endpoint() const;

    void AddFault(LanFault fault);
    // Holds every connection to bytesPerSecond in each direction from now on; 0 (the
    // default) lifts the limit.
    void SetLinkRate(std::uint64_t bytesPerSecond);
    LanCounters Counters() const;
    std::vector<std::uint8_t> ReadMemory(std::uint32_t address, std::uint32_t size) const;
    CfFiles CfCardFiles() const;
    void SetCfFile(const std::string& name, std::vector<std::uint8_t> bytes);

  private:
    struct Connection {
        int fd = -1;
        std::thread thread;
        bool finished = false;
    };
    struct Answer {
        std::uint32_t cause = 0;
        bool refused = false;
        std::vector<std::uint8_t> payload;
        bool closeAfter = false;
    };

    void AcceptLoop();
    void Serve(Connection* connection);
    // Runs one request against the panel (the state lock is held).
    Answer Perform(kevrosa::Op op, kevrosa::Reader& r, const LanFault* fault);
    // The fault that hits this request, if any (the state lock is held).
    bool TakeFault(kevrosa::Op op, LanFault& out);
    bool MemoryReachable() const;
    // Waits until a link at linkRate_, busy until *busyUntil, has carried bytes more;
    // *busyUntil becomes that time. Returns at once without a limit or when stopping.
    void Carry(std::chrono::steady_clock::time_point* busyUntil, std::size_t bytes);

    mutable std::mutex mutex_;
    std::condition_variable stopped_;
    PanelDescription description_;
    PanelMemory memory_;
    CfCard card_;
    std::vector<LanFault> faults_;
    std::uint64_t linkRate_ = 0;  // bytes per second in each direction; 0: no limit
    LanCounters counters_;
    bool needsExtension_ = false;
    bool extensionSent_ = false;
    bool extensionInstalled_ = false;
    bool loaderRunning_ = false;
    std::vector<std::uint8_t> loader_;  // address (4 bytes, least significant first) + body

    int listenFd_ = -1;
    std::uint16_t port_ = 0;
    std::uint32_t host_ = 0x7F000001;
    bool stopping_ = false;
    std::thread acceptThread_;
    std::list<std::unique_ptr<Connection>> connections_;
};

}  // namespace kz::sim

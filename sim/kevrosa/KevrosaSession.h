// The session behind one socket record of libKevrosa: its connection to the panel, the
// reader thread that takes the panel's answers and runs the completion callbacks, the
// worker thread of the requests that complete without the panel, the cancel, and the node
// search. Kevrosa.cpp turns the exported calls into the requests below.
//
//   caller                       reader thread
//   Submit: send request ----->  Ack   -> wakes the caller (accepted: 1, refused: 2)
//                                Done  -> fills the caller's buffers, sets m_dwErrorCode,
//                                         calls the callback (may come before the Ack)
//                                EOF   -> the outstanding request fails (kCauseConnection)
//
// Thread-safety: a call of the contract runs on the caller's thread, the answers on the
// reader thread, a local request with a callback on the worker thread. mutex guards the
// connection and request state (fd, dead, outstanding, awaitingAck, nextSeq, nodeTable,
// transitionType, cancels, lastHeard); sendMutex keeps one frame at a time on the wire.
// Cancel() may come from any thread while another call of the socket waits.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "lan/MtoMTypes.h"
#include "sim/kevrosa/KevrosaSystem.h"
#include "sim/kevrosa/KevrosaWire.h"

namespace kz::kevrosa::library {

using kz::lan::MtoMCallback;
using kz::lan::MtoMSocket;

inline constexpr int kFailure = 2;
inline constexpr const char* kConfigFile = "Kevrosa.conf";
inline constexpr auto kSyncWait = std::chrono::seconds(10);
inline constexpr auto kAnswerWait = std::chrono::seconds(60);
inline constexpr const char* kAnswerWaitVariable = "KEVROSA_ANSWER_WAIT_MS";
inline constexpr auto kConnectWait = std::chrono::milliseconds(2000);
inline constexpr auto kProbeWait = std::chrono::milliseconds(1000);
inline constexpr int kKeepIdle = 5;      // seconds
inline constexpr int kKeepInterval = 2;  // seconds
inline constexpr int kKeepCount = 3;
inline constexpr int kUserTimeout = 20000;  // milliseconds
inline constexpr std::size_t kMaxText = 1024;
inline constexpr std::size_t kMaxConfigBytes = 64 * 1024;

using Clock = std::chrono::steady_clock;

// Milliseconds from now until deadline for poll(): at least 0, rounded up, at most INT_MAX.
int MillisecondsUntil(Clock::time_point deadline);

struct Endpoint {
    std::uint32_t address = 0;  // host order: first octet in the top byte
    int port = kz::lan::kDefaultPort;
};

// "a.b.c.d" or "a.b.c.d:port" (port 1024 to 65535); blanks around either part are allowed,
// so the search target "a.b.c.d : port" of the node search reads too.
std::optional<Endpoint> ParseEndpoint(const std::string& text);

// Parses a Done payload and fills the caller's buffers; returns the cause (0: success).
using Completion = std::function<std::uint32_t(Reader&)>;

struct Pending {
    std::uint32_t seq = 0;
    MtoMCallback cb = nullptr;
    Completion complete;
    bool acked = false;
    bool accepted = false;
    bool done = false;
    std::uint32_t cause = 0;
};

struct Session;

// What CreateMtoMSocket hands out: the contract's record followed by our session.
struct SocketRecord {
    unsigned char bytes[kz::lan::kSocketRecordSize];
    Session* session;
};

struct Session {
    Session();
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    MtoMSocket* socket = nullptr;
    std::mutex mutex;
    std::condition_variable changed;
    Socket fd = kNoSocket;
    bool dead = false;
    std::thread reader;
    std::shared_ptr<Pending> outstanding;
    std::map<std::uint32_t, std::shared_ptr<Pending>> awaitingAck;
    std::uint32_t nextSeq = 1;
    std::mutex sendMutex;
    std::thread worker;
    std::vector<unsigned char> nodeTable;
    std::uint32_t transitionType = 0;
    // CancelMtoM calls so far; a waiting call compares it with the count it began with.
    std::uint64_t cancels = 0;
    // Woken by each CancelMtoM, for the waits on a socket.
    Waker waker;
    // The socket layer is in use while the session lives.
    const bool socketsStarted;
    const std::chrono::milliseconds answerWait;
    Clock::time_point lastHeard;  // when the panel last sent anything

    void SetError(std::uint32_t cause) { kz::lan::SetErrorCode(socket, cause); }

    std::uint64_t CancelMark();
    // For the waits on a descriptor: true when CancelMtoM came after mark.
    std::function<bool()> CancelledSince(std::uint64_t mark);

    // --- connection ---------------------------------------------------------------------

    int OpenConnection(const std::string& address, std::uint64_t mark);

    void CloseConnection();

    void JoinWorker();

    // A request that completes without the panel: at once without a callback, else on the
    // worker thread through the callback (none when CancelMtoM came meanwhile).
    int RunLocal(MtoMCallback cb, std::uint64_t mark, std::function<int()> work);

    // --- requests -----------------------------------------------------------------------

    int Submit(MtoMCallback cb, Op op, const std::vector<std::uint8_t>& payload,
               Completion complete);

    // mark: the cancel count when the caller's call began; a CancelMtoM after it ends the
    // waits below.
    int Submit(std::uint64_t mark, MtoMCallback cb, Op op, const std::vector<std::uint8_t>& payload,
               Completion complete);

    // Sends every byte of frame; 0, or the cause of the failure: the connection failed, no
    // byte could be sent for kSyncWait (kCauseTimeout), or CancelMtoM came after mark.
    std::uint32_t SendWatched(Socket target, const std::vector<std::uint8_t>& frame,
                              std::uint64_t mark);

    // Gives up a request; its late answers are dropped. Caller holds the mutex.
    void Forget(const std::shared_ptr<Pending>& p);

    void Cancel();

    // --- answers ------------------------------------------------------------------------

    // The time left for the outstanding request's answer; -1 when no accepted request
    // waits for one. Caller holds the mutex.
    int AnswerTimeLeft() const;

    // Fails the outstanding request when its answer wait is over.
    void ExpireSilentRequest();

    // Reads exactly count bytes; false at the end of the stream or on an error. While it
    // waits, an outstanding request whose answer wait is over fails, and the reading goes on
    // (what still comes for it is dropped).
    bool ReceiveWatched(Socket connection, std::uint8_t* data, std::size_t count);

    // One message body; false at the end of the stream, on an error or for a length above
    // kMaxMessage.
    bool ReceiveAnswer(Socket connection, std::vector<std::uint8_t>& body);

    // The reader thread: answers until the connection ends.
    void ReadAnswers(Socket connection);

    // --- node search --------------------------------------------------------------------

    int FindNodes(const std::optional<std::string>& target);

    static std::vector<Endpoint> ConfiguredEndpoints();

    // The text of the node list at path, at most kMaxConfigBytes of it; nullopt when there
    // is no such file (or it cannot be opened). Only a regular file is read: opening does
    // not wait for a FIFO's writer, and anything else reads as an empty list.
    static std::optional<std::string> ReadConfigFile(const std::string& path);

    // The endpoints of a node list's text: one per line, "#" starts a comment, blanks, tabs
    // and CRs are dropped, lines that do not read as an endpoint are skipped.
    static std::vector<Endpoint> ParseConfig(const std::string& text);

    // True when a panel answers a probe at e.
    static bool Probe(const Endpoint& e);
};

// The session of a socket record (null for a null record).
Session* SessionOf(MtoMSocket* s);
// A call refused before it reached the panel: cause in m_dwErrorCode, kFailure.
int Refuse(MtoMSocket* s, std::uint32_t cause);

}  // namespace kz::kevrosa::library

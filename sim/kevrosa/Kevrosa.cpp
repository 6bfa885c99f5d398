// libKevrosa: our LAN transfer library. It implements the library contract of
// lan/MtoMTypes.h over the TCP protocol of sim/kevrosa/KevrosaWire.h and exports the
// contract's functions under their plain C names; everything else is hidden.
//
// Per socket record one session: at most one connection, one reader thread that takes the
// panel's answers and runs the completion callbacks, and one worker thread for the requests
// that complete without the panel (open, node search) when they are given a callback.
//
// Requests without a callback wait for their Done at most kSyncWait, and every request waits
// for its Ack at most kSyncWait. An accepted request with a callback fails with
// kCauseTimeout when the panel has sent nothing for the answer wait (kAnswerWait, or
// KEVROSA_ANSWER_WAIT_MS milliseconds from the environment when a socket is made) since
// its acceptance; a late answer is then dropped. Sending a request gives up after kSyncWait
// without progress. The connection uses TCP keep-alive (first probe after kKeepIdle of
// silence, then every kKeepInterval, kKeepCount unanswered probes end it) and unacknowledged
// data ends it after kUserTimeout, so a dead panel or link ends the outstanding request as
// a lost connection. A failure result is kFailure (2). The library keeps no state outside
// the socket records, so it can be unloaded and loaded again between sessions.
//
// Cancelling: CancelMtoM ends the outstanding request without a completion (cause
// kCauseCancelled), and it may come from another thread while a call of the same socket
// waits: the connect of an open, the sending of a request, the wait for its Ack and a
// synchronous wait for its Done then end at once with a failure (kCauseCancelled), and an
// open running on the worker thread ends without calling its callback.
//
// Node search: MtoMFS_FindNode probes the one target given ("a.b.c.d[:port]") or else every
// endpoint listed in kConfigFile beside the library file, one "a.b.c.d[:port]" per line
// ("#" starts a comment); without that file it probes 127.0.0.1:8000, and a kConfigFile that
// is not a regular file (a FIFO, a folder, a device) lists nothing. It connects only to
// those endpoints and never broadcasts. A node table entry's word is the port the node was
// found on, which the binding connects to; so that it can, an endpoint's port must lie in
// 1024 to 65535 (a line or target with another port is not probed). The socket's search
// fields (+1244, port, +1264) are accepted as they are and not used.
//
// Card reads and writes: see KevrosaCard.h.
//
// Files: KevrosaSession.{h,cpp} hold the sessions and the node search, KevrosaCard.{h,cpp}
// the card files, KevrosaSystem.h what they need from the system (POSIX or Winsock);
// this file holds the exported functions, which check their arguments and
// turn each call into a request of the socket's session.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "lan/MtoMTypes.h"
#include "sim/kevrosa/KevrosaCard.h"
#include "sim/kevrosa/KevrosaSession.h"
#include "sim/kevrosa/KevrosaWire.h"

#define KEVROSA_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

using namespace kz::kevrosa;
using namespace kz::kevrosa::library;

std::vector<std::uint8_t> Bytes(const void* data, std::size_t count) {
    Writer w;
    w.Bytes(data, count);
    return std::move(w.bytes);
}

// Copies a text into dest with a terminating NUL, at most kMaxText characters.
void CopyText(Reader& r, unsigned char* dest) {
    const std::size_t n = std::min(r.Remaining(), kMaxText);
    const std::uint8_t* text = r.Take(n);
    std::memcpy(dest, text, n);
    dest[n] = 0;
}

}  // namespace

// --- exported functions -------------------------------------------------------------------

KEVROSA_EXPORT MtoMSocket* KZ_MTOM_CALL CreateMtoMSocket(std::uint32_t /*kind*/) {
    auto* record = new (std::nothrow) SocketRecord{};
    if (record == nullptr) {
        return nullptr;
    }
    record->session = new (std::nothrow) Session;
    if (record->session == nullptr) {
        delete record;
        return nullptr;
    }
    record->session->socket = reinterpret_cast<MtoMSocket*>(record);
    return record->session->socket;
}

KEVROSA_EXPORT int KZ_MTOM_CALL OpenMtoMLAN(MtoMSocket* s, MtoMCallback cb, const char* address) {
    Session* session = SessionOf(s);
    if (session == nullptr) {
        return kFailure;
    }
    // A cancel from now on ends the open, wherever it has got to.
    const std::uint64_t mark = session->CancelMark();
    if (address == nullptr) {
        // Opened for a node search: nothing to connect to yet.
        return session->RunLocal(cb, mark, [] { return 0; });
    }
    return session->RunLocal(cb, mark, [session, mark, text = std::string(address)] {
        return session->OpenConnection(text, mark);
    });
}

KEVROSA_EXPORT int KZ_MTOM_CALL CloseMtoM(MtoMSocket* s, MtoMCallback /*cb*/) {
    Session* session = SessionOf(s);
    if (session == nullptr) {
        return kFailure;
    }
    // Closing completes at once, with or without a callback.
    session->JoinWorker();
    session->CloseConnection();
    return kz::lan::kResultSuccess;
}

KEVROSA_EXPORT int KZ_MTOM_CALL FreeMtoMSocket(MtoMSocket* s) {
    Session* session = SessionOf(s);
    if (session == nullptr) {
        return kFailure;
    }
    session->JoinWorker();
    session->CloseConnection();
    delete session;
    delete reinterpret_cast<SocketRecord*>(s);
    return kz::lan::kResultSuccess;
}

KEVROSA_EXPORT int KZ_MTOM_CALL CancelMtoM(MtoMSocket* s) {
    Session* session = SessionOf(s);
    if (session == nullptr) {
        return kFailure;
    }
    session->Cancel();
    return kz::lan::kResultSuccess;
}

KEVROSA_EXPORT std::uint32_t KZ_MTOM_CALL SetTransitionType(MtoMSocket* s, std::uint32_t type) {
    Session* session = SessionOf(s);
    if (session == nullptr) {
        return 0;
    }
    std::lock_guard lock(session->mutex);
    const std::uint32_t old = session->transitionType;
    session->transitionType = type;
    return old;
}

KEVROSA_EXPORT int KZ_MTOM_CALL MtoMFS_FindNode(MtoMSocket* s, MtoMCallback cb,
                                                const char* target) {
    Session* session = SessionOf(s);
    if (session == nullptr) {
        return kFailure;
    }
    std::optional<std::string> text;
    if (target != nullptr && *target != '\0') {
        text = target;
    }
    return session->RunLocal(cb, session->CancelMark(),
                             [session, text] { return session->FindNodes(text); });
}

KEVROSA_EXPORT int KZ_MTOM_CALL MtoMDLE_Communication(MtoMSocket* s, MtoMCallback cb) {
    Session* session = SessionOf(s);
    return session != nullptr ? session->Submit(cb, Op::Begin, {}, nullptr) : kFailure;
}

KEVROSA_EXPORT int KZ_MTOM_CALL MtoMDLE_Quit(MtoMSocket* s, MtoMCallback cb) {
    Session* session = SessionOf(s);
    return session != nullptr ? session->Submit(cb, Op::Quit, {}, nullptr) : kFailure;
}

KEVROSA_EXPORT int KZ_MTOM_CALL MtoMDLE_Bel(MtoMSocket* s, MtoMCallback cb, std::uint16_t code,
                                            void* request, void* answer) {
    Session* session = SessionOf(s);
    if (session == nullptr) {
        return kFailure;
    }
    std::uint32_t words[2] = {};
    if (request != nullptr) {
        std::memcpy(words, request, sizeof words);
    }
    if (code != kz::lan::kBelIdentity || answer == nullptr || words[0] != kz::lan::kBelRequest[0] ||
        words[1] != kz::lan::kBelRequest[1]) {
        return Refuse(s, kCauseBadArgument);
    }
    auto* area = static_cast<unsigned char*>(answer);
    return session->Submit(cb, Op::Identity, {}, [area](Reader& r) -> std::uint32_t {
        const std::uint32_t core = r.U32();
        if (r.Failed()) {
            return kCauseBadAnswer;
        }
        std::memset(area, 0, kz::lan::kBelTextOffset);
        std::memcpy(area + kz::lan::kBelCoreIdOffset, &core, sizeof core);
        CopyText(r, area + kz::lan::kBelTextOffset);
        return 0;
    });
}

KEVROSA_EXPORT int KZ_MTOM_CALL MtoMDLE_DownloadingSystemDownloaderFile(MtoMSocket* s,
                                                                        MtoMCallback cb,
                                                                        std::uint32_t address,
                                                                        std::uint32_t size,
                                                                        std::uint8_t* bytes) {
    Session* session = SessionOf(s);
    if (session == nullptr) {
        return kFailure;
    }
    if ((bytes == nullptr && size != 0) || size > kMaxMessage - 1024) {
        return Refuse(s, kCauseBadArgument);
    }
    Writer w;
    w.U32(address).Bytes(bytes, size);
    return session->Submit(cb, Op::LoaderDownload, w.bytes, nullptr);
}

KEVROSA_EXPORT int KZ_MTOM_CALL MtoMDLE_InvokingTheDownloadedObject(MtoMSocket* s, MtoMCallback cb,
                                                                    std::uint32_t address) {
    Session* session = SessionOf(s);
    if (session == nullptr) {
        return kFailure;
    }
    Writer w;
    w.U32(address);
    return session->Submit(cb, Op::LoaderStart, w.bytes, nullptr);
}

KEVROSA_EXPORT int KZ_MTOM_CALL MtoMDLE_ExtendProgramDownloading(MtoMSocket* s, MtoMCallback cb,
                                                                 std::uint8_t kind,
                                                                 std::uint16_t block,
                                                                 std::uint32_t size,
                                                                 std::uint8_t* bytes) {
    Session* session = SessionOf(s);
    if (session == nullptr) {
        return kFailure;
    }
    if ((bytes == nullptr && size != 0) || size > kMaxMessage - 1024) {
        return Refuse(s, kCauseBadArgument);
    }
    Writer w;
    w.U8(kind).U16(block).Bytes(bytes, size);
    return session->Submit(cb, Op::Extension, w.bytes, nullptr);
}

KEVROSA_EXPORT int KZ_MTOM_CALL MtoMDLE_ColdRest(MtoMSocket* s, MtoMCallback cb) {
    Session* session = SessionOf(s);
    return session != nullptr ? session->Submit(cb, Op::ColdRestart, {}, nullptr) : kFailure;
}

KEVROSA_EXPORT int KZ_MTOM_CALL MtoMDLE_DownloadingMaintenanceTool(MtoMSocket* s, MtoMCallback cb,
                                                                   std::uint32_t address,
                                                                   std::uint32_t size,
                                                                   std::uint8_t* bytes) {
    Session* session = SessionOf(s);
    if (session == nullptr) {
        return kFailure;
    }
    if (size > kMaxTransfer || (bytes == nullptr && size != 0)) {
        return Refuse(s, kCauseBadArgument);
    }
    Writer w;
    w.U32(address).Bytes(bytes, size);
    return session->Submit(cb, Op::Write, w.bytes, nullptr);
}

KEVROSA_EXPORT int KZ_MTOM_CALL MtoMDLE_UploadingMaintenanceTool(MtoMSocket* s, MtoMCallback cb,
                                                                 std::uint32_t address,
                                                                 std::uint32_t size,
                                                                 std::uint8_t* bytes) {
    Session* session = SessionOf(s);
    if (session == nullptr) {
        return kFailure;
    }
    if (size > kMaxTransfer || (bytes == nullptr && size != 0)) {
        return Refuse(s, kCauseBadArgument);
    }
    Writer w;
    w.U32(address).U32(size);
    return session->Submit(cb, Op::Read, w.bytes, [bytes, size](Reader& r) -> std::uint32_t {
        if (r.Remaining() != size) {
            return kCauseBadAnswer;
        }
        std::memcpy(bytes, r.Take(size), size);
        return 0;
    });
}

KEVROSA_EXPORT int KZ_MTOM_CALL MtoMDLE_Read_Hard_Data(MtoMSocket* s, MtoMCallback cb,
                                                       std::uint8_t* buffer) {
    Session* session = SessionOf(s);
    if (session == nullptr) {
        return kFailure;
    }
    if (buffer == nullptr) {
        return Refuse(s, kCauseBadArgument);
    }
    return session->Submit(cb, Op::HardData, {}, [buffer](Reader& r) -> std::uint32_t {
        CopyText(r, buffer);
        return 0;
    });
}

KEVROSA_EXPORT int KZ_MTOM_CALL MtoMDLE_Support(MtoMSocket* s, MtoMCallback cb,
                                                std::uint8_t* name) {
    Session* session = SessionOf(s);
    if (session == nullptr) {
        return kFailure;
    }
    if (name == nullptr) {
        return Refuse(s, kCauseBadArgument);
    }
    const std::size_t length = ::strnlen(reinterpret_cast<const char*>(name), 64);
    return session->Submit(cb, Op::Support, Bytes(name, length), nullptr);
}

KEVROSA_EXPORT int KZ_MTOM_CALL MtoMDLE_List(MtoMSocket* s, MtoMCallback cb,
                                             kz::lan::KzFileLimit* limit, int* count,
                                             kz::lan::KzFileList* /*list*/,
                                             std::uint8_t* /*bytes*/) {
    Session* session = SessionOf(s);
    if (session == nullptr) {
        return kFailure;
    }
    // Only the password query is served.
    const auto& q = kz::lan::kPasswordQueryLimit;
    if (limit == nullptr || count == nullptr || limit->prefix != q.prefix ||
        limit->first != q.first || limit->last != q.last) {
        return Refuse(s, kCauseBadArgument);
    }
    return session->Submit(cb, Op::PasswordQuery, {}, [count](Reader& r) -> std::uint32_t {
        *count = r.U8() != 0 ? 1 : 0;
        return 0;
    });
}

KEVROSA_EXPORT int KZ_MTOM_CALL MtoMDLE_Password(MtoMSocket* s, MtoMCallback cb, char* code,
                                                 std::uint32_t* result) {
    Session* session = SessionOf(s);
    if (session == nullptr) {
        return kFailure;
    }
    if (code == nullptr || result == nullptr) {
        return Refuse(s, kCauseBadArgument);
    }
    *result = 1;
    return session->Submit(cb, Op::Password, Bytes(code, kz::lan::kPasswordCodeSize),
                           [result](Reader&) -> std::uint32_t {
                               *result = 0;
                               return 0;
                           });
}

KEVROSA_EXPORT int KZ_MTOM_CALL MtoMDLE_FileReadCard(MtoMSocket* s, MtoMCallback cb,
                                                     kz::lan::KzFileLimit* range, int* count,
                                                     kz::lan::KzFileList* list, const char* folder,
                                                     const char* /*name*/, const char* extension) {
    Session* session = SessionOf(s);
    if (session == nullptr) {
        return kFailure;
    }
    if (range == nullptr || count == nullptr || folder == nullptr || *folder == '\0' ||
        extension == nullptr) {
        return Refuse(s, kCauseBadArgument);
    }
    const std::string prefix = PrefixText(range->prefix);
    const std::string ext = extension;
    if (prefix.empty() || !IsPlainExtension(ext) || range->first < 0 || range->last > 99999 ||
        range->first > range->last) {
        return Refuse(s, kCauseBadArgument);
    }
    CardRead read;
    read.socket = s;
    read.prefix = prefix;
    read.first = range->first;
    read.last = range->last;
    read.folder = folder;
    read.extension = ext;
    read.count = count;
    read.list = list;
    // The caller's list has room for one entry per number of the range.
    read.room = static_cast<std::size_t>(read.last - read.first + 1);
    Writer w;
    w.U16(static_cast<std::uint16_t>(range->prefix)).U32(range->first).U32(range->last);
    *count = 0;
    return session->Submit(cb, Op::CfReadRange, w.bytes,
                           [read](Reader& r) { return StoreCardFiles(read, r); });
}

KEVROSA_EXPORT int KZ_MTOM_CALL MtoMDLE_FileWriteCard(MtoMSocket* s, MtoMCallback cb,
                                                      kz::lan::KzFileNo* file, const char* path) {
    Session* session = SessionOf(s);
    if (session == nullptr) {
        return kFailure;
    }
    if (file == nullptr || path == nullptr) {
        return Refuse(s, kCauseBadArgument);
    }
    const std::string prefix = PrefixText(file->prefix);
    if (prefix.empty() || file->number < 0 || file->number > 99999) {
        return Refuse(s, kCauseBadArgument);
    }
    // The card file takes the PC file's extension.
    const std::string ext = CardExtensionOf(path);
    if (!IsPlainExtension(ext)) {
        return Refuse(s, kCauseBadArgument);
    }
    const auto bytes = ReadPcFile(path);
    if (!bytes) {
        return Refuse(s, kCausePcFileRead);
    }
    char stem[16];
    std::snprintf(stem, sizeof stem, "%s%05d", prefix.c_str(), static_cast<int>(file->number));
    const std::string name = stem + ext;
    Writer w;
    w.U16(static_cast<std::uint16_t>(name.size())).Text(name).Bytes(bytes->data(), bytes->size());
    return session->Submit(cb, Op::CfWrite, w.bytes, nullptr);
}

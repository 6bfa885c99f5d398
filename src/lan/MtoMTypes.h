// The LAN transfer library's contract: the types, the socket record and the node table that
// the binding (lan/LanLibrary.h) and every library serving it share. A library that is
// dropped into the program folder in place of ours meets exactly these rules, so nothing
// here may change without changing every library.
//
// Types, on every platform: the library's "unsigned long" is a 32-bit unsigned,
// "unsigned short" 16-bit, "unsigned char" 8-bit, "int" 32-bit. The completion callback is
// int cb(tagMtoMSOCK* socket, int result), __stdcall on 32-bit Windows (a Windows build that
// loads the panel maker's library is a 32-bit build).
//
// Socket record (tagMtoMSOCK), allocated and zeroed by CreateMtoMSocket, at least
// kSocketRecordSize bytes. Fields are read and written with memcpy at their byte offsets:
// the pointer fields are pointer-wide and unaligned on 64-bit systems.
//
//   +12    user pointer          the caller's; the callback finds its owner here
//   +1232  node table pointer    owned by the library; valid until the next search or
//                                FreeMtoMSocket
//   +1244  int32                 10 before a search
//   +1256  int32                 port (set before a search)
//   +1264  int32                 0 before a search
//   +1272  uint32 m_dwErrorCode  the cause of the last failure
//
// Node table: +4 int32 count, then count 12-byte entries from +8: int32 valid flag
// (non-zero: valid), int32 word, uint32 IPv4 address with the first octet in the top byte.
// The word is the TCP port the panel was found on when it lies in 1024 to 65535; the
// binding then opens "a.b.c.d:port" for that panel. Any other word stands for the default
// port 8000, and the panel is opened by its bare address.
//
// Results: with a null callback a request completes before the call returns and 0 means
// success. With a callback, 1 means accepted; the result then arrives through the callback
// on a thread of the library's, possibly before the accepting call has returned: 0 success,
// 1 and 3 nothing, anything else a failure with the cause in m_dwErrorCode.
//
// Card reads that leave files out (MtoMDLE_FileReadCard). The caller sets m_dwErrorCode to 0
// before the request. A library may leave out a card file whose name, as the panel sent it,
// cannot be used (not the category's prefix and five digits, a number outside the range, a
// number listed twice) and store the others. It then completes with success, sets
// m_dwErrorCode to kNoticeNamesLeftOut, and writes into the file list, right after the *count
// entries of the files it stored, one KzLeftOutHeader entry followed by `shown` name entries
// (EncodeLeftOutName), as many as the list has room for. m_dwErrorCode otherwise keeps its
// one meaning, the cause of a failed request: a library that never leaves names out leaves it
// 0 on success, and its list is never read (the list entries are the library's own).
// When *count fills the whole list there is no room for the header: the notice alone says
// that names were left out.
//
// Calls of one socket do not overlap, with one exception: CancelMtoM may come from another
// thread while a call of the same socket waits (for a connection, for the panel's
// acceptance, or for the result of a call without a callback). The library then ends that
// call soon with a failure, as it ends the outstanding request; a library that cannot cut
// a wait short lets the call end by its own bound.
//
// Thread-safety: the accessors have no state; the caller makes sure that nobody else
// writes the field at the same time (the library writes m_dwErrorCode only while a request
// of that socket is outstanding).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#if defined(_WIN32) && defined(_M_IX86)
#define KZ_MTOM_CALL __stdcall
#else
#define KZ_MTOM_CALL
#endif

// The library's opaque socket record; only the offsets below are known.
struct tagMtoMSOCK;

namespace kz::lan {

using MtoMSocket = tagMtoMSOCK;
using MtoMCallback = int(KZ_MTOM_CALL*)(MtoMSocket* socket, int result);

// A range of card files: prefix (first character in the lowest byte, second in the next,
// upper 16 bits 0: "ZI" is 0x495A), first and last number.
struct KzFileLimit {
    std::uint32_t prefix = 0;
    std::int32_t first = 0;
    std::int32_t last = 0;
};
static_assert(sizeof(KzFileLimit) == 12);

// One card file: prefix as above and number.
struct KzFileNo {
    std::uint32_t prefix = 0;
    std::int32_t number = 0;
};
static_assert(sizeof(KzFileNo) == 8);

// A file list entry: 16 bytes whose content is the library's.
struct KzFileList {
    std::uint8_t bytes[16] = {};
};
static_assert(sizeof(KzFileList) == 16);

// The list entry that leads the names of a card read that left files out.
struct KzLeftOutHeader {
    std::uint32_t mark = 0;   // kNoticeNamesLeftOut
    std::uint32_t total = 0;  // names left out
    std::uint32_t shown = 0;  // name entries that follow
    std::uint32_t reserved = 0;
};
static_assert(sizeof(KzLeftOutHeader) == sizeof(KzFileList));

// A name entry holds the name's length in byte 0 (255 for 255 and more) and its first
// kLeftOutNameBytes bytes from byte 1.
inline constexpr std::size_t kLeftOutNameBytes = sizeof(KzFileList) - 1;

inline constexpr std::size_t kSocketRecordSize = 1280;
inline constexpr std::size_t kOffsetUserPointer = 12;
inline constexpr std::size_t kOffsetNodeTable = 1232;
inline constexpr std::size_t kOffsetSearchMode = 1244;
inline constexpr std::size_t kOffsetPort = 1256;
inline constexpr std::size_t kOffsetSearchReserved = 1264;
inline constexpr std::size_t kOffsetErrorCode = 1272;

inline constexpr std::size_t kNodeTableCount = 4;
inline constexpr std::size_t kNodeTableEntries = 8;
inline constexpr std::size_t kNodeEntrySize = 12;

// Result values.
inline constexpr int kResultSuccess = 0;
inline constexpr int kResultAccepted = 1;
inline constexpr int kResultNothing = 3;
// What the binding answers for a function the library lacks (and a socket it cannot make).
inline constexpr int kResultMissing = 128;

// m_dwErrorCode values for card errors: the panel's result character.
inline constexpr std::uint32_t kErrorNoCard = 0x45;         // 'E'
inline constexpr std::uint32_t kErrorCardRead = 0x46;       // 'F'
inline constexpr std::uint32_t kErrorCardWrite = 0x47;      // 'G'
inline constexpr std::uint32_t kErrorCardDelete = 0x48;     // 'H'
inline constexpr std::uint32_t kErrorCardDirectory = 0x49;  // 'I'
// The PC file of a card read could not be written.
inline constexpr std::uint32_t kErrorPcFileWrite = 0xE1;

// m_dwErrorCode after a successful card read: files were left out for their names. Also the
// mark of the KzLeftOutHeader entry.
inline constexpr std::uint32_t kNoticeNamesLeftOut = 0x4B5A4E4C;

// Values passed as the contract gives them.
inline constexpr std::uint32_t kSocketKind = 2;                // CreateMtoMSocket
inline constexpr std::uint32_t kTransitionSearch = 3;          // SetTransitionType
inline constexpr std::uint16_t kBelIdentity = 7;               // MtoMDLE_Bel request code
inline constexpr std::uint8_t kExtensionProgram = 51;          // MtoMDLE_ExtendProgramDownloading
inline constexpr KzFileLimit kPasswordQueryLimit{0x53, 8, 8};  // MtoMDLE_List
inline constexpr std::size_t kPasswordCodeSize = 25;           // MtoMDLE_Password
inline constexpr std::size_t kListEntries = 8;                 // MtoMDLE_List: list area entries
inline constexpr std::size_t kListByteArea = 256;              // MtoMDLE_List: byte area
// MtoMDLE_Bel: the request words, and where the answer's fields lie (the answer area
// follows the 8-byte request directly).
inline constexpr std::uint32_t kBelRequest[2] = {8, 1};
inline constexpr std::size_t kBelAnswerOffset = 8;
inline constexpr std::size_t kBelCoreIdOffset = 160;
inline constexpr std::size_t kBelTextOffset = 228;
// Largest memory transfer of one request.
inline constexpr std::uint32_t kMaxTransfer = 0x8000;
// The adapter's buffer; the Bel answer area and the hardware text fit in it.
inline constexpr std::size_t kAdapterBufferSize = 66560;
// Port of an address given without one.
inline constexpr int kDefaultPort = 8000;
// The ports a node table entry's word can name (and a user may give).
inline constexpr int kMinNodePort = 1024;
inline constexpr int kMaxNodePort = 65535;

// The file prefix value of two characters ("ZI" -> 0x495A).
constexpr std::uint32_t EncodePrefix(char first, char second) {
    return static_cast<std::uint8_t>(first) |
           (static_cast<std::uint32_t>(static_cast<std::uint8_t>(second)) << 8);
}

// --- socket record fields -------------------------------------------------------------

template <typename T>
T ReadField(const MtoMSocket* socket, std::size_t offset) {
    T value;
    std::memcpy(&value, reinterpret_cast<const unsigned char*>(socket) + offset, sizeof value);
    return value;
}

template <typename T>
void WriteField(MtoMSocket* socket, std::size_t offset, T value) {
    std::memcpy(reinterpret_cast<unsigned char*>(socket) + offset, &value, sizeof value);
}

inline void* UserPointer(const MtoMSocket* s) {
    return ReadField<void*>(s, kOffsetUserPointer);
}
inline void SetUserPointer(MtoMSocket* s, void* p) {
    WriteField(s, kOffsetUserPointer, p);
}
inline std::uint32_t ErrorCode(const MtoMSocket* s) {
    return ReadField<std::uint32_t>(s, kOffsetErrorCode);
}
inline void SetErrorCode(MtoMSocket* s, std::uint32_t code) {
    WriteField(s, kOffsetErrorCode, code);
}
inline std::int32_t Port(const MtoMSocket* s) {
    return ReadField<std::int32_t>(s, kOffsetPort);
}

// Sets the fields a search expects: +1244 = 10, port, +1264 = 0.
inline void PrepareSearch(MtoMSocket* s, std::int32_t port) {
    WriteField<std::int32_t>(s, kOffsetSearchMode, 10);
    WriteField<std::int32_t>(s, kOffsetPort, port);
    WriteField<std::int32_t>(s, kOffsetSearchReserved, 0);
}

// --- names left out by a card read ----------------------------------------------------

inline KzFileList EncodeLeftOutName(std::string_view name) {
    KzFileList entry;
    entry.bytes[0] = static_cast<std::uint8_t>(std::min<std::size_t>(name.size(), 255));
    std::memcpy(entry.bytes + 1, name.data(), std::min(name.size(), kLeftOutNameBytes));
    return entry;
}

struct LeftOutName {
    std::string start;  // the name, or its first kLeftOutNameBytes bytes
    bool cut = false;   // the name is longer than start
};

struct LeftOutNames {
    std::uint32_t total = 0;  // names left out; at least 1 when only the notice came
    std::vector<LeftOutName> names;
};

// The names a successful card read left out, read from list (room entries, count of them
// the stored files) when errorCode is the notice; nullopt when the read left nothing out.
// Only what lies inside the room is read, whatever the header claims.
inline std::optional<LeftOutNames> ReadLeftOutNames(std::uint32_t errorCode, const KzFileList* list,
                                                    std::size_t room, int count) {
    if (errorCode != kNoticeNamesLeftOut) {
        return std::nullopt;
    }
    LeftOutNames out;
    out.total = 1;
    if (list == nullptr || count < 0 || static_cast<std::size_t>(count) >= room) {
        return out;
    }
    const std::size_t at = static_cast<std::size_t>(count);
    KzLeftOutHeader header;
    std::memcpy(&header, list[at].bytes, sizeof header);
    if (header.mark != kNoticeNamesLeftOut) {
        return out;
    }
    out.total = std::max<std::uint32_t>(header.total, 1);
    const std::size_t shown = std::min<std::size_t>({header.shown, header.total, room - at - 1});
    for (std::size_t i = 0; i < shown; ++i) {
        const std::uint8_t* entry = list[at + 1 + i].bytes;
        const std::size_t length = entry[0];
        const std::size_t kept = std::min(length, kLeftOutNameBytes);
        out.names.push_back(
            {std::string(reinterpret_cast<const char*>(entry + 1), kept), length > kept});
    }
    return out;
}

// --- node table -----------------------------------------------------------------------

struct Node {
    bool valid = false;
    std::int32_t word = 0;      // the port the panel was found on (see above)
    std::uint32_t address = 0;  // first octet in the top byte
};

// Entries read from a node table at most; a count beyond it is taken as this many.
inline constexpr std::int32_t kMaxNodes = 1024;

// The socket's node table (empty without one). A negative count reads as empty.
inline std::vector<Node> ReadNodeTable(const MtoMSocket* s) {
    std::vector<Node> nodes;
    const auto* table = ReadField<const unsigned char*>(s, kOffsetNodeTable);
    if (table == nullptr) {
        return nodes;
    }
    std::int32_t count;
    std::memcpy(&count, table + kNodeTableCount, sizeof count);
    for (std::int32_t i = 0; i < count && i < kMaxNodes; ++i) {
        const unsigned char* e =
            table + kNodeTableEntries + static_cast<std::size_t>(i) * kNodeEntrySize;
        std::int32_t valid;
        Node node;
        std::memcpy(&valid, e, 4);
        std::memcpy(&node.word, e + 4, 4);
        std::memcpy(&node.address, e + 8, 4);
        node.valid = valid != 0;
        nodes.push_back(node);
    }
    return nodes;
}

}  // namespace kz::lan

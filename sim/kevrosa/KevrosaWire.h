// The TCP protocol between our LAN transfer library (libKevrosa, sim/kevrosa/Kevrosa.cpp)
// and the LAN panel simulator (sim/LanServer.h). Both sides include this header; nothing
// else speaks it.
//
// A connection carries messages, each a 32-bit length (little-endian, at most
// kMaxMessage) followed by that many bytes. All numbers are little-endian.
//
//   request   u8 op, u32 seq, payload of the op
//   answer    u8 kind, u32 seq (the request's), then
//               kind Ack:  u8 accepted (1) or refused (0), u32 cause (refused only)
//               kind Done: u32 cause (0 = success, else the m_dwErrorCode value), payload
//
// Every request is answered by one Ack and, when accepted, one Done. Normally the Ack comes
// first; a panel may send the Done before the Ack (the library then completes the request
// before the accepting call returns), may never send the Done, or may close the connection
// at any point. One request is outstanding per connection; a Done whose seq is not the
// outstanding request's (a request given up with CancelMtoM) is dropped.
//
// Ops and payloads (request -> Done payload):
//   Probe           -                               -         (node search)
//   Open            -                               -         (session opened)
//   Begin           -                               -         (MtoMDLE_Communication)
//   Identity        -                               u32 core ID, text "a,b,VERSION"
//   PasswordQuery   -                               u8 1 when the panel has a password
//   Password        25-byte code                    -         (cause kCausePassword: wrong)
//   LoaderDownload  u32 address, bytes              -
//   LoaderStart     u32 address                     -
//   Extension       u8 kind, u16 block, bytes       -         (no bytes: the last block)
//   ColdRestart     -                               -         (the panel then closes)
//   HardData        -                               text "LLLL,HARDWARE,FROM,DRAM,SRAM"
//   Read            u32 address, u32 size           size bytes (size at most kMaxTransfer)
//   Write           u32 address, bytes              -         (at most kMaxTransfer bytes)
//   Support         name bytes                      -         (cause kCauseUnsupported)
//   Quit            -                               -
//   CfReadRange     u16 prefix, u32 first, u32 last u32 count, then per file: u16 name
//                                                   length, name, u32 size, bytes
//   CfWrite         u16 name length, name, bytes    -
//
// Card errors travel as the panel's result character in the cause (0x45 no card, 0x46
// read, 0x47 write, 0x48 delete, 0x49 folder).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kz::kevrosa {

inline constexpr std::uint32_t kMaxMessage = 64u << 20;
inline constexpr std::uint32_t kMaxTransfer = 0x8000;

enum class Op : std::uint8_t {
    Probe = 1,
    Open,
    Begin,
    Identity,
    PasswordQuery,
    Password,
    LoaderDownload,
    LoaderStart,
    Extension,
    ColdRestart,
    HardData,
    Read,
    Write,
    Support,
    Quit,
    CfReadRange,
    CfWrite,
};

enum class Kind : std::uint8_t { Ack = 1, Done = 2 };

// Causes of the library's and the simulator's own (m_dwErrorCode values beside the card
// errors 0x45-0x49 and 0xE1).
inline constexpr std::uint32_t kCauseConnection = 0x100;   // no connection, or it was lost
inline constexpr std::uint32_t kCauseTimeout = 0x101;      // no answer in time
inline constexpr std::uint32_t kCauseBadAnswer = 0x102;    // the panel's answer is malformed
inline constexpr std::uint32_t kCauseBusy = 0x103;         // a request is already outstanding
inline constexpr std::uint32_t kCauseBadArgument = 0x104;  // the caller's arguments are wrong
inline constexpr std::uint32_t kCausePcFileRead = 0x105;   // the PC file could not be read
inline constexpr std::uint32_t kCausePassword = 0x106;     // the password is wrong
inline constexpr std::uint32_t kCauseUnsupported = 0x107;  // the panel lacks the function
inline constexpr std::uint32_t kCauseRefused = 0x108;      // the panel refused the request
inline constexpr std::uint32_t kCauseCancelled = 0x109;    // CancelMtoM ended the request

// --- encoding helpers -----------------------------------------------------------------

class Writer {
  public:
    Writer& U8(std::uint8_t v) {
        bytes.push_back(v);
        return *this;
    }
    Writer& U16(std::uint16_t v) {
        U8(static_cast<std::uint8_t>(v));
        return U8(static_cast<std::uint8_t>(v >> 8));
    }
    Writer& U32(std::uint32_t v) {
        U16(static_cast<std::uint16_t>(v));
        return U16(static_cast<std::uint16_t>(v >> 16));
    }
    Writer& Bytes(const void* data, std::size_t count) {
        const auto* p = static_cast<const std::uint8_t*>(data);
        bytes.insert(bytes.end(), p, p + count);
        return *this;
    }
    Writer& Text(std::string_view text) { return Bytes(text.data(), text.size()); }
    std::vector<std::uint8_t> bytes;
};

// Reads fields from a message; every read past the end sets the failed flag and yields 0.
class Reader {
  public:
    Reader(const std::uint8_t* data, std::size_t size) : m_p(data), m_n(size) {}
    std::uint8_t U8() {
        if (m_pos + 1 > m_n) {
            m_failed = true;
            return 0;
        }
        return m_p[m_pos++];
    }
    std::uint16_t U16() {
        const std::uint16_t lo = U8();
        return static_cast<std::uint16_t>(lo | (U8() << 8));
    }
    std::uint32_t U32() {
        const std::uint32_t lo = U16();
        return lo | (static_cast<std::uint32_t>(U16()) << 16);
    }
    // count bytes, or null (failed) when fewer remain.
    const std::uint8_t* Take(std::size_t count) {
        if (count > m_n - m_pos) {
            m_failed = true;
            return nullptr;
        }
        const std::uint8_t* p = m_p + m_pos;
        m_pos += count;
        return p;
    }
    std::size_t Remaining() const { return m_n - m_pos; }
    bool Failed() const { return m_failed; }

  private:
    const std::uint8_t* m_p;
    std::size_t m_n;
    std::size_t m_pos = 0;
    bool m_failed = false;
};

// The 4-byte length prefix followed by body.
inline std::vector<std::uint8_t> Frame(const std::vector<std::uint8_t>& body) {
    Writer w;
    w.U32(static_cast<std::uint32_t>(body.size()));
    w.bytes.insert(w.bytes.end(), body.begin(), body.end());
    return std::move(w.bytes);
}

}  // namespace kz::kevrosa

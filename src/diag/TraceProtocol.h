// Names, sizes and layout of the shared objects between TraceMessage() and a trace viewer.
//
// Control block "/<prefix>" (created by the viewer): bytes 0-3 the viewer id, a 32-bit
// number in host byte order (the viewer's process id; 0 = no viewer), from byte 4 the
// NUL-terminated signature "Wendix32".
// Message slot "/<prefix>_NN", NN = 00 ... 99 (created by the sender): 8320 bytes, the
// NUL-terminated tag at byte 0 (at most 127 characters), the NUL-terminated text at
// byte 128 (at most 8191 characters).
// Notification: the sender connects to the abstract Unix socket "\0<prefix>.<viewer id>"
// (SOCK_SEQPACKET), sends the slot number as one 32-bit message in host byte order and
// waits for a one-byte answer: 1 when the viewer has read the slot, 0 when it could not.
//
// Thread-safety: the functions have no state; any thread may call them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kz::trace {

inline constexpr std::string_view kDefaultPrefix = "Wendix32";
inline constexpr std::string_view kSignature = "Wendix32";
inline constexpr std::size_t kMaxPrefixLength = 64;

inline constexpr std::size_t kViewerIdOffset = 0;
inline constexpr std::size_t kSignatureOffset = 4;
// What a sender needs of the control block: the id and the signature with its NUL.
inline constexpr std::size_t kControlHeaderSize = kSignatureOffset + kSignature.size() + 1;
// The size the viewer gives the control block.
inline constexpr std::size_t kControlBlockSize = 4096;

inline constexpr int kSlotCount = 100;
inline constexpr std::size_t kSlotSize = 8320;
inline constexpr std::size_t kTagOffset = 0;
inline constexpr std::size_t kTagSize = 128;
inline constexpr std::size_t kTextOffset = 128;
inline constexpr std::size_t kTextSize = kSlotSize - kTextOffset;  // 8191 characters + NUL

inline constexpr std::uint8_t kAnswerRead = 1;
inline constexpr std::uint8_t kAnswerUnreadable = 0;

// "/<prefix>"
std::string ControlBlockName(std::string_view prefix);
// "/<prefix>_NN"
std::string SlotName(std::string_view prefix, int slot);
// "\0<prefix>.<viewer id>": the abstract socket name, including its leading NUL.
std::string SocketName(std::string_view prefix, std::uint32_t viewerId);

}  // namespace kz::trace

// SHA-256 digests of byte ranges and files, for the service record. The hash itself comes
// from the system's cryptography library behind this seam (OpenSSL's libcrypto on POSIX
// systems, Sha256_openssl.cpp; the system's own on Windows), so this header names no type
// of either.
//
// Thread-safety: a Sha256 object belongs to one thread at a time; the free functions keep
// no state.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

namespace kz::platform {

inline constexpr std::size_t kSha256Size = 32;
using Sha256Digest = std::array<std::uint8_t, kSha256Size>;

// An incremental digest: Update any number of times, then Finish once.
class Sha256 {
  public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void Update(std::span<const std::uint8_t> bytes);
    // The digest of everything given so far. The object cannot be used afterwards.
    Sha256Digest Finish();

  private:
    struct State;
    std::unique_ptr<State> m_state;
};

// Lower-case hexadecimal text of a digest (64 characters).
std::string DigestHex(const Sha256Digest& digest);

// The digest of bytes as hexadecimal text.
std::string Sha256Hex(std::span<const std::uint8_t> bytes);

// The digest of the regular file at path as hexadecimal text; nothing when it cannot be
// opened or read to its end.
std::optional<std::string> FileSha256(const std::string& path);

}  // namespace kz::platform

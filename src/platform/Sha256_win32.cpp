// SHA-256 through the Windows cryptography API (BCrypt).
#include <windows.h>

#include <bcrypt.h>

#include <algorithm>
#include <vector>

#include "platform/Sha256.h"

namespace kz::platform {

struct Sha256::State {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    std::vector<UCHAR> object;
    ~State() {
        if (hash != nullptr) {
            BCryptDestroyHash(hash);
        }
        if (algorithm != nullptr) {
            BCryptCloseAlgorithmProvider(algorithm, 0);
        }
    }
};

Sha256::Sha256() : m_state(std::make_unique<State>()) {
    State& s = *m_state;
    if (!BCRYPT_SUCCESS(
            BCryptOpenAlgorithmProvider(&s.algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) {
        s.algorithm = nullptr;
        return;
    }
    DWORD objectSize = 0;
    ULONG got = 0;
    if (!BCRYPT_SUCCESS(BCryptGetProperty(s.algorithm, BCRYPT_OBJECT_LENGTH,
                                          reinterpret_cast<PUCHAR>(&objectSize), sizeof(objectSize),
                                          &got, 0))) {
        return;
    }
    s.object.resize(objectSize);
    if (!BCRYPT_SUCCESS(
            BCryptCreateHash(s.algorithm, &s.hash, s.object.data(), objectSize, nullptr, 0, 0))) {
        s.hash = nullptr;
    }
}

Sha256::~Sha256() = default;

void Sha256::Update(std::span<const std::uint8_t> bytes) {
    // BCryptHashData takes at most 4 GiB per call.
    while (m_state->hash != nullptr && !bytes.empty()) {
        const std::size_t chunk = std::min<std::size_t>(bytes.size(), 0x40000000);
        BCryptHashData(m_state->hash, const_cast<PUCHAR>(bytes.data()), static_cast<ULONG>(chunk),
                       0);
        bytes = bytes.subspan(chunk);
    }
}

Sha256Digest Sha256::Finish() {
    Sha256Digest digest{};
    if (m_state->hash != nullptr) {
        BCryptFinishHash(m_state->hash, digest.data(), static_cast<ULONG>(digest.size()), 0);
    }
    return digest;
}

}  // namespace kz::platform

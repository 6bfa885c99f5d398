// SHA-256 through OpenSSL's libcrypto (EVP interface).
#include <openssl/evp.h>

#include "platform/Sha256.h"

namespace kz::platform {

struct Sha256::State {
    EVP_MD_CTX* context = nullptr;
    ~State() { EVP_MD_CTX_free(context); }
};

Sha256::Sha256() : m_state(std::make_unique<State>()) {
    m_state->context = EVP_MD_CTX_new();
    if (m_state->context != nullptr &&
        EVP_DigestInit_ex(m_state->context, EVP_sha256(), nullptr) != 1) {
        EVP_MD_CTX_free(m_state->context);
        m_state->context = nullptr;
    }
}

Sha256::~Sha256() = default;

void Sha256::Update(std::span<const std::uint8_t> bytes) {
    if (m_state->context != nullptr && !bytes.empty()) {
        EVP_DigestUpdate(m_state->context, bytes.data(), bytes.size());
    }
}

Sha256Digest Sha256::Finish() {
    Sha256Digest digest{};
    unsigned int length = 0;
    if (m_state->context != nullptr) {
        EVP_DigestFinal_ex(m_state->context, digest.data(), &length);
    }
    return digest;
}

}  // namespace kz::platform

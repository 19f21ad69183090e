#include "Platform/EcdsaSigner.h"

#include <openssl/evp.h>

#include <array>

namespace platform {

namespace {

// SHA-256 fetched once: the implicit fetch of EVP_sha256() costs a lookup on every digest.
const EVP_MD* sha256Algorithm() {
    static const std::unique_ptr<EVP_MD, decltype(&EVP_MD_free)> md(
        EVP_MD_fetch(nullptr, "SHA256", nullptr), EVP_MD_free);
    return md ? md.get() : EVP_sha256();
}

} // namespace

void EcdsaSigner::ContextDeleter::operator()(evp_pkey_ctx_st* context) const {
    EVP_PKEY_CTX_free(context);
}

EcdsaSigner::EcdsaSigner() = default;
EcdsaSigner::~EcdsaSigner() = default;

std::optional<KeychainBytes> EcdsaSigner::sign(evp_pkey_st* key, const KeychainBytes& message) {
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int digestLength = 0;
    if (EVP_Digest(message.data(), message.size(), digest.data(), &digestLength, sha256Algorithm(),
                   nullptr) != 1)
        return std::nullopt;
    std::array<unsigned char, 80> der{};
    std::size_t length = der.size();
    std::lock_guard lock(mutex_);
    if (!context_) {
        std::unique_ptr<evp_pkey_ctx_st, ContextDeleter> context(
            EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
        if (!context || EVP_PKEY_sign_init(context.get()) != 1)
            return std::nullopt;
        context_ = std::move(context);
    }
    if (EVP_PKEY_sign(context_.get(), der.data(), &length, digest.data(), digestLength) != 1)
        return std::nullopt;
    return KeychainBytes(der.begin(), der.begin() + static_cast<std::ptrdiff_t>(length));
}

} // namespace platform

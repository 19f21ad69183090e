// An Ed25519 key pair made by OpenSSL for one test, which signs bytes as an update's publisher
// does (base64 of the raw 64-byte signature). Nothing of it is ever written to disk.
#pragma once

#include <openssl/evp.h>

#include <cstdint>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace desktop::test {

inline std::string base64(std::span<const std::uint8_t> bytes) {
    std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), bytes.data(),
                                  static_cast<int>(bytes.size()));
    out.resize(static_cast<std::size_t>(n));
    return out;
}

inline std::span<const std::uint8_t> bytesOf(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

class TestSigningKey {
public:
    TestSigningKey() {
        std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> context(
            EVP_PKEY_CTX_new_id(EVP_PKEY_ED25519, nullptr), EVP_PKEY_CTX_free);
        EVP_PKEY* made = nullptr;
        if (!context || EVP_PKEY_keygen_init(context.get()) != 1 ||
            EVP_PKEY_keygen(context.get(), &made) != 1)
            throw std::runtime_error("cannot make an Ed25519 key");
        key_.reset(made);
    }

    // The raw 32-byte public key in base64, as SUPublicEDKey holds it.
    std::string publicKeyBase64() const {
        std::vector<std::uint8_t> raw(32);
        std::size_t size = raw.size();
        if (EVP_PKEY_get_raw_public_key(key_.get(), raw.data(), &size) != 1 || size != 32)
            throw std::runtime_error("cannot read the public key");
        return base64(raw);
    }

    // The raw 64-byte signature of `data`.
    std::vector<std::uint8_t> signature(std::span<const std::uint8_t> data) const {
        std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                        EVP_MD_CTX_free);
        std::vector<std::uint8_t> out(64);
        std::size_t size = out.size();
        static const std::uint8_t nothing = 0;
        if (!context ||
            EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, key_.get()) != 1 ||
            EVP_DigestSign(context.get(), out.data(), &size, data.empty() ? &nothing : data.data(),
                           data.size()) != 1 ||
            size != 64)
            throw std::runtime_error("cannot sign");
        return out;
    }
    std::string sign(std::span<const std::uint8_t> data) const { return base64(signature(data)); }
    std::string sign(std::string_view data) const { return sign(bytesOf(data)); }

private:
    struct Free {
        void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
    };
    std::unique_ptr<EVP_PKEY, Free> key_;
};

} // namespace desktop::test

// The ECDSA signing both hosts' Keychains do with a P-256 key: SHA-256 of the message, signed
// with a context prepared at the key's first signature and then reused, one signature at a time
// (preparing one — fetching the algorithm, exporting the key to the provider — costs about half
// as much again as the signature itself). Any thread.
#pragma once

#include "Platform/Keychain.h"

#include <memory>
#include <mutex>
#include <optional>

struct evp_pkey_st;
struct evp_pkey_ctx_st;

namespace platform {

class EcdsaSigner {
public:
    EcdsaSigner();
    ~EcdsaSigner();
    EcdsaSigner(const EcdsaSigner&) = delete;
    EcdsaSigner& operator=(const EcdsaSigner&) = delete;

    // The DER signature of SHA-256(`message`) with `key` (always the same key for one signer);
    // none when OpenSSL refuses.
    std::optional<KeychainBytes> sign(evp_pkey_st* key, const KeychainBytes& message);

private:
    struct ContextDeleter {
        void operator()(evp_pkey_ctx_st* context) const;
    };
    std::mutex mutex_;
    std::unique_ptr<evp_pkey_ctx_st, ContextDeleter> context_;
};

} // namespace platform

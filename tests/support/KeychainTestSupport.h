// Pieces shared by the Keychain tests of both hosts: byte strings, key attributes, and an
// ECDSA check done with OpenSSL alone rather than through the Keychain under test.
#pragma once

#include "Platform/Keychain.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <string>

namespace platform::test {

inline KeychainBytes bytes(const std::string& s) {
    return {s.begin(), s.end()};
}

inline KeyAttributes softwareKey(std::string tag) {
    KeyAttributes a;
    a.applicationTag = std::move(tag);
    return a;
}

// Verifies a DER ECDSA-SHA256 signature with a P-256 public key given as 0x04 || X || Y.
inline bool verifyWithPoint(const KeychainBytes& point, const KeychainBytes& message,
                            const KeychainBytes& der) {
    OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
    OSSL_PARAM_BLD_push_utf8_string(bld, OSSL_PKEY_PARAM_GROUP_NAME, "prime256v1", 0);
    OSSL_PARAM_BLD_push_octet_string(bld, OSSL_PKEY_PARAM_PUB_KEY, point.data(), point.size());
    OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(bld);
    EVP_PKEY_CTX* pctx = EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr);
    EVP_PKEY* pkey = nullptr;
    bool ok = EVP_PKEY_fromdata_init(pctx) == 1 &&
              EVP_PKEY_fromdata(pctx, &pkey, EVP_PKEY_PUBLIC_KEY, params) == 1;
    if (ok) {
        EVP_MD_CTX* md = EVP_MD_CTX_new();
        ok = EVP_DigestVerifyInit(md, nullptr, EVP_sha256(), nullptr, pkey) == 1 &&
             EVP_DigestVerify(md, der.data(), der.size(), message.data(), message.size()) == 1;
        EVP_MD_CTX_free(md);
    }
    EVP_PKEY_free(pkey);
    EVP_PKEY_CTX_free(pctx);
    OSSL_PARAM_free(params);
    OSSL_PARAM_BLD_free(bld);
    return ok;
}

} // namespace platform::test

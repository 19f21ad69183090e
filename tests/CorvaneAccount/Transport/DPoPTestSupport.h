// Helpers of the DPoP tests: taking a compact JWS apart, checking an ES256 signature with
// OpenSSL against a JWK, and matching the reason of a dpopUnavailable error.
#pragma once

#include "CorvaneAccount/Foundation/Base64URL.h"
#include "CorvaneAccount/Foundation/CorvaneError.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace corvane::testing {

struct DecodedProof {
    std::string encodedHeader;
    std::string encodedClaims;
    std::string encodedSignature;
    std::string headerText;
    std::string claimsText;
    nlohmann::json header;
    nlohmann::json claims;
    std::vector<std::uint8_t> signature;
};

inline std::string text(const std::vector<std::uint8_t>& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

// Splits a compact JWS into its three parts and decodes them; fails the test on bad shape.
inline DecodedProof decodeProof(const std::string& proof) {
    DecodedProof out;
    const auto first = proof.find('.');
    const auto second = proof.find('.', first == std::string::npos ? 0 : first + 1);
    EXPECT_NE(first, std::string::npos);
    EXPECT_NE(second, std::string::npos);
    if (first == std::string::npos || second == std::string::npos)
        return out;
    EXPECT_EQ(proof.find('.', second + 1), std::string::npos) << "more than two separators";
    out.encodedHeader = proof.substr(0, first);
    out.encodedClaims = proof.substr(first + 1, second - first - 1);
    out.encodedSignature = proof.substr(second + 1);
    const auto header = Base64URL::decode(out.encodedHeader);
    const auto claims = Base64URL::decode(out.encodedClaims);
    const auto signature = Base64URL::decode(out.encodedSignature);
    EXPECT_TRUE(header && claims && signature) << "a part is not strict base64url";
    if (!header || !claims || !signature)
        return out;
    out.headerText = text(*header);
    out.claimsText = text(*claims);
    out.header = nlohmann::json::parse(out.headerText);
    out.claims = nlohmann::json::parse(out.claimsText);
    out.signature = *signature;
    return out;
}

// Verifies a JOSE ES256 signature (r || s, 64 bytes) over `signingInput` with the public key
// of an EC P-256 JWK, independently of the signer's code paths.
inline bool verifyES256(const std::map<std::string, std::string>& jwk,
                        const std::string& signingInput, const std::vector<std::uint8_t>& jose) {
    if (jose.size() != 64 || !jwk.contains("x") || !jwk.contains("y"))
        return false;
    const auto x = Base64URL::decode(jwk.at("x"));
    const auto y = Base64URL::decode(jwk.at("y"));
    if (!x || !y || x->size() != 32 || y->size() != 32)
        return false;
    std::vector<unsigned char> point{0x04};
    point.insert(point.end(), x->begin(), x->end());
    point.insert(point.end(), y->begin(), y->end());

    OSSL_PARAM_BLD* builder = OSSL_PARAM_BLD_new();
    OSSL_PARAM_BLD_push_utf8_string(builder, OSSL_PKEY_PARAM_GROUP_NAME, "P-256", 0);
    OSSL_PARAM_BLD_push_octet_string(builder, OSSL_PKEY_PARAM_PUB_KEY, point.data(), point.size());
    OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(builder);
    EVP_PKEY_CTX* fromData = EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr);
    EVP_PKEY* key = nullptr;
    const bool built = fromData && EVP_PKEY_fromdata_init(fromData) == 1 &&
                       EVP_PKEY_fromdata(fromData, &key, EVP_PKEY_PUBLIC_KEY, params) == 1;
    EVP_PKEY_CTX_free(fromData);
    OSSL_PARAM_free(params);
    OSSL_PARAM_BLD_free(builder);
    if (!built)
        return false;

    // JOSE r || s back to DER for OpenSSL.
    ECDSA_SIG* sig = ECDSA_SIG_new();
    ECDSA_SIG_set0(sig, BN_bin2bn(jose.data(), 32, nullptr),
                   BN_bin2bn(jose.data() + 32, 32, nullptr));
    unsigned char* der = nullptr;
    const int derLength = i2d_ECDSA_SIG(sig, &der);
    ECDSA_SIG_free(sig);

    EVP_MD_CTX* md = EVP_MD_CTX_new();
    const bool ok = derLength > 0 &&
                    EVP_DigestVerifyInit(md, nullptr, EVP_sha256(), nullptr, key) == 1 &&
                    EVP_DigestVerify(md, der, static_cast<std::size_t>(derLength),
                                     reinterpret_cast<const unsigned char*>(signingInput.data()),
                                     signingInput.size()) == 1;
    EVP_MD_CTX_free(md);
    OPENSSL_free(der);
    EVP_PKEY_free(key);
    return ok;
}

// The reason of the dpopUnavailable error that `action` throws; "" when it throws none (or
// another case, which fails the test).
inline std::string dpopReason(const std::function<void()>& action) {
    try {
        action();
    } catch (const CorvaneError& error) {
        EXPECT_EQ(error.kind(), CorvaneError::Kind::dpopUnavailable) << error.what();
        return error.reason();
    }
    return "";
}

} // namespace corvane::testing

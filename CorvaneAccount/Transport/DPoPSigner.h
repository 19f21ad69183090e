// The per-installation DPoP key (RFC 9449): its public JWK, the RFC 7638 thumbprint and the
// signed proof JWT sent in the `DPoP` header. Immutable after construction: proofs may be made
// from several threads at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace corvane {

class DPoPSigner {
public:
    // The public key as a JWK: "kty" = "EC", "crv" = "P-256", "x", "y".
    using JWK = std::map<std::string, std::string>;

    // Where the private key lives, in the order the initializer tries them.
    enum class BackendKind {
        secureEnclave,      // created on the Secure Enclave token, kept in the Keychain
        softwareKeychain,   // a software key kept in the Keychain
        ephemeralCryptoKit, // an in-memory key for the life of this signer
    };

    // Loads the key kept under keyTag(); when the Keychain has none, creates one there (Secure
    // Enclave first, then software). Any other failure, and a failed creation, end in an
    // in-memory key for this signer's life; nothing is stored then. Key problems never surface.
    DPoPSigner();
    ~DPoPSigner();
    DPoPSigner(const DPoPSigner&) = delete;
    DPoPSigner& operator=(const DPoPSigner&) = delete;

    const JWK& publicJWK() const { return publicJWK_; }
    // Base64url (no padding) SHA-256 thumbprint of publicJWK(): 43 characters.
    const std::string& jktThumbprint() const { return jktThumbprint_; }
    BackendKind backendKind() const { return backendKind_; }

    // The compact JWS of a proof for a request to `htu` with method `htm`. `accessToken`, when
    // present (even empty), is bound through the "ath" claim; `nonce`, the server's latest
    // DPoP-Nonce, goes into the "nonce" claim (RFC 9449 §8). Throws
    // CorvaneError::dpopUnavailable with "sign_failed", "der_not_sequence", "der_not_integer",
    // "der_truncated", "der_integer_too_long", "random_unavailable" or "proof_encoding_failed".
    std::string generateProof(std::string_view htu, std::string_view htm,
                              const std::optional<std::string>& accessToken,
                              const std::optional<std::string>& nonce = std::nullopt) const;

    // "com.corvane.account.dpop.privatekey." followed by the main bundle's identifier, or
    // "default" when it has none.
    static std::string keyTag();

    // RFC 7638 thumbprint of an EC JWK given as members in any order: the members "crv", "kty",
    // "x", "y" that are present, in that order, as {"k":"v",...} without blanks or escaping,
    // hashed with SHA-256 and base64url-encoded.
    static std::string jwkThumbprint(std::span<const std::pair<std::string, std::string>> members);
    static std::string jwkThumbprint(const JWK& jwk);
    // The exact text that jwkThumbprint() hashes.
    static std::string
    thumbprintInput(std::span<const std::pair<std::string, std::string>> members);

    // Converts a DER ECDSA-Sig-Value SEQUENCE { r INTEGER, s INTEGER } into the JOSE form r || s,
    // each left-padded or stripped of leading zeros to `componentLength` bytes. Never reads past
    // `der`: declared lengths that run past its end fail with "der_truncated", integers longer
    // than the component after stripping leading zeros with "der_integer_too_long"; a missing
    // SEQUENCE gives "der_not_sequence", a missing INTEGER "der_not_integer".
    static std::vector<std::uint8_t> derToJoseECDSA(std::span<const std::uint8_t> der,
                                                    std::size_t componentLength);

    // Where the private key lives and how it signs (Keychain reference or in-memory key).
    struct Backend;

private:
    std::unique_ptr<Backend> backend_;
    BackendKind backendKind_;
    JWK publicJWK_;
    std::string jktThumbprint_;
    // base64url of the proofs' protected header, made once.
    std::string encodedHeader_;
};

} // namespace corvane

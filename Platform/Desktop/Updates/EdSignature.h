// Checking an update's EdDSA signature: a base64 Ed25519 signature of the whole download against
// the bundle's base64 Ed25519 public key (SUPublicEDKey). OpenSSL only, no Qt; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace desktop {

// Raw sizes (RFC 8032 §5.1.5, §5.1.6).
inline constexpr std::size_t edPublicKeyBytes = 32;
inline constexpr std::size_t edSignatureBytes = 64;

enum class EdSignatureCheck {
    // The signature is the key's, over exactly these bytes.
    verified,
    // The feed gives no signature.
    noSignature,
    // Not base64, or not 64 bytes once decoded.
    malformedSignature,
    // Not base64, not 32 bytes once decoded, or not usable as an Ed25519 key.
    malformedKey,
    // A well-formed signature that these bytes and this key do not bear out.
    mismatch,
};

// Strict standard base64 (RFC 4648 §4): the alphabet with "+" and "/", padded to a multiple of
// four, "=" only at the end; white space around the text is ignored, inside it is not. None
// for anything else, or when the decoded bytes would be more than `maxBytes`.
std::optional<std::vector<std::uint8_t>> decodeBase64(std::string_view text, std::size_t maxBytes);

// Whether `publicKeyBase64` is a base64 Ed25519 public key.
bool isEdPublicKey(std::string_view publicKeyBase64);

// Checks `signatureBase64` over `data` with `publicKeyBase64`. A missing signature is reported
// before a malformed one, and a malformed key before a malformed signature.
EdSignatureCheck verifyEdSignature(std::span<const std::uint8_t> data,
                                   std::string_view signatureBase64,
                                   std::string_view publicKeyBase64);

// What a failed check means, as one sentence for the user; empty for `verified`.
std::string_view edSignatureProblem(EdSignatureCheck check);

} // namespace desktop

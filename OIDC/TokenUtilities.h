// Random tokens and the PKCE S256 transform: URL-safe Base64 without padding (RFC 7636 §4.1,
// Appendix A), random bytes from OpenSSL's CSPRNG. Pure functions; safe on any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace oidc::TokenUtilities {

// `byteCount` random bytes as URL-safe Base64 without padding (43 characters for 32 bytes).
// Throws oidc::Error (general, invalidRequest) when the random source fails.
std::string randomURLSafeString(std::size_t byteCount = 32);

// URL-safe Base64 without padding of `bytes`.
std::string encodeBase64URLNoPadding(std::string_view bytes);

// BASE64URL(SHA256(ASCII(verifier))) (RFC 7636 §4.2).
std::string codeChallengeS256(std::string_view verifier);

} // namespace oidc::TokenUtilities

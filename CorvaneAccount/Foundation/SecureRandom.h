// Random bytes and URL-safe random tokens from the system random source (OpenSSL's CSPRNG), for
// PKCE verifiers, state, nonces and DPoP "jti" values. Safe on any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace corvane::SecureRandom {

// `byteCount` bytes from the system random source. Throws
// CorvaneError::authorizationFailed("secure_random_unavailable") when the source fails.
std::vector<std::uint8_t> bytes(std::size_t byteCount);

// `byteCount` random bytes as URL-safe Base64 without padding (43 characters for the default 32
// bytes); zero bytes give the empty string. Throws as bytes() does.
std::string urlSafeString(std::size_t byteCount = 32);

} // namespace corvane::SecureRandom

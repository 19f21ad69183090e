// A PKCE pair (RFC 7636): a random code verifier and its S256 challenge. Plain value; safe on
// any thread.
#pragma once

#include <string>

namespace corvane {

struct PKCE {
    // The challenge of `codeVerifier`: URL-safe Base64 without padding of the SHA-256 digest of
    // its UTF-8 bytes, method "S256".
    explicit PKCE(std::string codeVerifier);

    // A verifier of 32 random bytes (43 URL-safe Base64 characters, no "=") and its challenge.
    // Throws CorvaneError::authorizationFailed("secure_random_unavailable") when the system
    // random source fails.
    static PKCE generate();

    std::string codeVerifier;
    std::string codeChallenge;
    std::string codeChallengeMethod;

    bool operator==(const PKCE&) const = default;
};

} // namespace corvane

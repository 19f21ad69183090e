#include "CorvaneAccount/Auth/PKCE.h"

#include "CorvaneAccount/Foundation/Base64URL.h"
#include "CorvaneAccount/Foundation/SecureRandom.h"

#include <openssl/sha.h>

namespace corvane {

PKCE::PKCE(std::string verifier) : codeVerifier(std::move(verifier)), codeChallengeMethod("S256") {
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char*>(codeVerifier.data()), codeVerifier.size(),
           digest);
    codeChallenge = Base64URL::encode(std::span<const std::uint8_t>(digest, sizeof digest));
}

PKCE PKCE::generate() {
    return PKCE(SecureRandom::urlSafeString(32));
}

} // namespace corvane

#include "OIDC/TokenUtilities.h"

#include "OIDC/Error.h"

#include <climits>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/sha.h>

#include <vector>

namespace oidc::TokenUtilities {

std::string encodeBase64URLNoPadding(std::string_view bytes) {
    static constexpr char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    std::string out;
    out.reserve((bytes.size() * 4 + 2) / 3);
    std::size_t i = 0;
    auto at = [&](std::size_t k) { return static_cast<unsigned char>(bytes[k]); };
    for (; i + 3 <= bytes.size(); i += 3) {
        unsigned v = (at(i) << 16) | (at(i + 1) << 8) | at(i + 2);
        out += alphabet[(v >> 18) & 63];
        out += alphabet[(v >> 12) & 63];
        out += alphabet[(v >> 6) & 63];
        out += alphabet[v & 63];
    }
    std::size_t rest = bytes.size() - i;
    if (rest == 1) {
        unsigned v = at(i) << 16;
        out += alphabet[(v >> 18) & 63];
        out += alphabet[(v >> 12) & 63];
    } else if (rest == 2) {
        unsigned v = (at(i) << 16) | (at(i + 1) << 8);
        out += alphabet[(v >> 18) & 63];
        out += alphabet[(v >> 12) & 63];
        out += alphabet[(v >> 6) & 63];
    }
    return out;
}

std::string randomURLSafeString(std::size_t byteCount) {
    if (byteCount == 0)
        return {};
    std::vector<unsigned char> buffer(byteCount);
    if (byteCount > static_cast<std::size_t>(INT_MAX) ||
        RAND_bytes(buffer.data(), static_cast<int>(byteCount)) != 1)
        throw Error::general(GeneralErrorCode::invalidRequest,
                             "The system random source is unavailable.");
    return encodeBase64URLNoPadding(
        std::string_view(reinterpret_cast<const char*>(buffer.data()), buffer.size()));
}

std::string codeChallengeS256(std::string_view verifier) {
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char*>(verifier.data()), verifier.size(), digest);
    return encodeBase64URLNoPadding(
        std::string_view(reinterpret_cast<const char*>(digest), sizeof digest));
}

} // namespace oidc::TokenUtilities

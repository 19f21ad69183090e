#include "CorvaneAccount/Foundation/SecureRandom.h"

#include "CorvaneAccount/Foundation/Base64URL.h"
#include "CorvaneAccount/Foundation/CorvaneError.h"

#include <climits>
#include <openssl/rand.h>

namespace corvane::SecureRandom {

std::vector<std::uint8_t> bytes(std::size_t byteCount) {
    std::vector<std::uint8_t> out(byteCount);
    if (byteCount == 0)
        return out;
    // RAND_bytes takes an int count; no caller asks for anything near that, but a count that
    // does not fit is refused rather than truncated.
    if (byteCount > static_cast<std::size_t>(INT_MAX) ||
        RAND_bytes(out.data(), static_cast<int>(byteCount)) != 1)
        throw CorvaneError::authorizationFailed("secure_random_unavailable");
    return out;
}

std::string urlSafeString(std::size_t byteCount) {
    return Base64URL::encode(bytes(byteCount));
}

} // namespace corvane::SecureRandom

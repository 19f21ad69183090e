// Fuzzes the DER ECDSA signature to JOSE conversion: any input either converts to exactly two
// components or fails with a dpopUnavailable reason, and never reads outside the input.
#include "CorvaneAccount/Foundation/CorvaneError.h"
#include "CorvaneAccount/Transport/DPoPSigner.h"

#include <cstddef>
#include <cstdint>
#include <set>
#include <span>
#include <string>
#include <vector>

namespace {

const std::set<std::string> knownReasons{"der_not_sequence", "der_not_integer", "der_truncated",
                                         "der_integer_too_long"};

void convert(std::span<const std::uint8_t> der, std::size_t componentLength) {
    try {
        const auto jose = corvane::DPoPSigner::derToJoseECDSA(der, componentLength);
        if (jose.size() != 2 * componentLength)
            __builtin_trap();
    } catch (const corvane::CorvaneError& error) {
        if (error.kind() != corvane::CorvaneError::Kind::dpopUnavailable ||
            !knownReasons.contains(error.reason()))
            __builtin_trap();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The input as a P-256 signature, copied so ASan sees its exact bounds.
    const std::vector<std::uint8_t> whole(data, data + size);
    convert(whole, 32);
    // And with the first byte choosing another component length (0 to 69 bytes).
    if (size > 0) {
        const std::vector<std::uint8_t> rest(data + 1, data + size);
        convert(rest, data[0] % 70);
    }
    return 0;
}

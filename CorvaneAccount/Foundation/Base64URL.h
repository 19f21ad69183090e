// Base64 with the URL-safe alphabet and no padding (RFC 4648 §5), as used by PKCE, DPoP proofs,
// random tokens and telemetry. Pure functions; safe on any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace corvane {

struct Base64URL {
    // Standard Base64 of `bytes`, then "+" → "-", "/" → "_", and every "=" removed.
    static std::string encode(std::span<const std::uint8_t> bytes);
    static std::string encode(std::string_view bytes);

    // Strict inverse of encode(): only the URL-safe alphabet, no padding, no whitespace, a
    // length that a whole number of bytes can produce (never 1 mod 4), and zero bits in the
    // unused low bits of the last character, so every byte string has exactly one accepted
    // text. Anything else gives nullopt.
    static std::optional<std::vector<std::uint8_t>> decode(std::string_view text);
};

} // namespace corvane

// How the OAuth redirect is received; encoded and decoded as its raw string.
#pragma once

#include <nlohmann/json_fwd.hpp>

#include <optional>
#include <string_view>

namespace corvane {

enum class AuthScheme {
    aswas,         // the platform's web authentication session
    loopback,      // a loopback listener; served like aswas
    systemBrowser, // the default browser, back through the redirect URI's scheme
};

std::string_view rawValue(AuthScheme scheme);
std::optional<AuthScheme> authSchemeFromRaw(std::string_view raw);

// JSON: the raw string; an unknown string fails to decode.
void to_json(nlohmann::json& j, AuthScheme scheme);
void from_json(const nlohmann::json& j, AuthScheme& scheme);

} // namespace corvane

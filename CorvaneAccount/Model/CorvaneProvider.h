// The ways an account can sign in, as the identity service names them.
#pragma once

#include <nlohmann/json_fwd.hpp>

#include <optional>
#include <string_view>

namespace corvane {

enum class CorvaneProvider { password, emailLink, google, apple, passkey };

// "password", "email-link", "google.com", "apple.com", "passkey".
std::string_view rawValue(CorvaneProvider provider);
std::optional<CorvaneProvider> corvaneProviderFromRaw(std::string_view raw);

// JSON: the raw string; any other string fails to decode.
void to_json(nlohmann::json& j, CorvaneProvider provider);
void from_json(const nlohmann::json& j, CorvaneProvider& provider);

} // namespace corvane

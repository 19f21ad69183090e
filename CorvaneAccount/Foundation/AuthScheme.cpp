#include "CorvaneAccount/Foundation/AuthScheme.h"

#include "CorvaneAccount/Foundation/CorvaneJSON.h"

namespace corvane {

std::string_view rawValue(AuthScheme scheme) {
    switch (scheme) {
    case AuthScheme::aswas:
        return "aswas";
    case AuthScheme::loopback:
        return "loopback";
    case AuthScheme::systemBrowser:
        return "systemBrowser";
    }
    return "";
}

std::optional<AuthScheme> authSchemeFromRaw(std::string_view raw) {
    for (auto s : {AuthScheme::aswas, AuthScheme::loopback, AuthScheme::systemBrowser})
        if (rawValue(s) == raw)
            return s;
    return std::nullopt;
}

void to_json(nlohmann::json& j, AuthScheme scheme) {
    j = std::string(rawValue(scheme));
}

void from_json(const nlohmann::json& j, AuthScheme& scheme) {
    auto parsed = authSchemeFromRaw(CorvaneJSON::stringValue(j, "AuthScheme"));
    if (!parsed)
        throw CorvaneJSON::DecodingError("Cannot initialize AuthScheme from invalid String value");
    scheme = *parsed;
}

} // namespace corvane

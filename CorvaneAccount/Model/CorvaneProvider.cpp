#include "CorvaneAccount/Model/CorvaneProvider.h"

#include "CorvaneAccount/Foundation/CorvaneJSON.h"

namespace corvane {

std::string_view rawValue(CorvaneProvider provider) {
    switch (provider) {
    case CorvaneProvider::password:
        return "password";
    case CorvaneProvider::emailLink:
        return "email-link";
    case CorvaneProvider::google:
        return "google.com";
    case CorvaneProvider::apple:
        return "apple.com";
    case CorvaneProvider::passkey:
        return "passkey";
    }
    return "";
}

std::optional<CorvaneProvider> corvaneProviderFromRaw(std::string_view raw) {
    for (auto p : {CorvaneProvider::password, CorvaneProvider::emailLink, CorvaneProvider::google,
                   CorvaneProvider::apple, CorvaneProvider::passkey})
        if (rawValue(p) == raw)
            return p;
    return std::nullopt;
}

void to_json(nlohmann::json& j, CorvaneProvider provider) {
    j = std::string(rawValue(provider));
}

void from_json(const nlohmann::json& j, CorvaneProvider& provider) {
    auto parsed = corvaneProviderFromRaw(CorvaneJSON::stringValue(j, "CorvaneProvider"));
    if (!parsed)
        throw CorvaneJSON::DecodingError(
            "Cannot initialize CorvaneProvider from invalid String value");
    provider = *parsed;
}

} // namespace corvane

// The identity service's wire records (JSON with the keys each record declares), its deprecation
// notices and the version comparison they use. Plain values; any thread.
#pragma once

#include "CorvaneAccount/Foundation/CorvaneJSON.h"
#include "CorvaneAccount/Model/CorvaneAccountID.h"

#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace corvane {

// --- request bodies: keys in the order listed, absent optionals omitted ---

struct ExchangeBody {
    std::string appSlug;
    std::string code;
    std::optional<std::string> codeVerifier;
    std::optional<std::string> redirectURI;
    std::optional<std::string> clientVersion;
    std::optional<std::string> installID;
    std::string encoded() const;
};

struct RefreshBody {
    std::string appSlug;
    std::string refreshToken;
    std::optional<std::string> clientVersion;
    std::string encoded() const;
};

struct AppleAuthcodeBody {
    std::string appSlug;
    std::string authorizationCode;
    std::optional<std::string> identityToken;
    std::optional<std::string> installID;
    std::string encoded() const;
};

struct AppDataTokenBody {
    std::string appSlug;
    std::string encoded() const;
};

// --- answers: unknown keys are ignored; "optional" keys may be missing or null ---

// The service's version policy for this library (camelCase keys).
struct LibVersionPolicy {
    std::optional<std::string> minVersion;
    std::optional<std::string> currentVersion;
    std::optional<std::string> replacement;
    std::optional<std::string> reason;
    std::optional<Date> expires;
    bool operator==(const LibVersionPolicy&) const = default;
};
void to_json(nlohmann::json& j, const LibVersionPolicy& p);
void from_json(const nlohmann::json& j, LibVersionPolicy& p);

// The session answer of the exchange and refresh endpoints.
struct CasResponse {
    bool ok = false;
    std::string cas;
    std::optional<std::string> sessionToken;
    std::optional<std::string> refreshToken;
    std::optional<long long> expiresIn;
    Date expiresAt;
    CorvaneAccountID corvaneAccountId;
    std::string email;
    std::string appSlug;
    std::optional<std::string> platform;
    std::optional<std::string> appDataToken;
    std::optional<Date> appDataTokenExpiresAt;
    std::optional<LibVersionPolicy> libVersionPolicy;
    bool operator==(const CasResponse&) const = default;
};
void to_json(nlohmann::json& j, const CasResponse& r);
void from_json(const nlohmann::json& j, CasResponse& r);

struct AppleAuthcodeResponse {
    bool ok = false;
    std::optional<std::string> corvaneAccountId;
    std::optional<std::string> email;
    std::optional<std::string> cas;
    std::optional<std::string> refreshToken;
    std::optional<Date> expiresAt;
    std::optional<bool> isNewUser;
};
void from_json(const nlohmann::json& j, AppleAuthcodeResponse& r);

struct AppDataTokenResponse {
    bool ok = false;
    std::string appDataToken;
    Date expiresAt;
};
void from_json(const nlohmann::json& j, AppDataTokenResponse& r);

struct EmptyResponse {
    bool ok = false;
};
void from_json(const nlohmann::json& j, EmptyResponse& r);

// The body of a failed answer: the service's error code.
struct ErrorPayload {
    std::optional<std::string> error;
};
void from_json(const nlohmann::json& j, ErrorPayload& p);

// --- deprecation notices (the `Corvane-Deprecation` header) ---

struct CorvaneDeprecationNotice {
    // An endpoint the client uses is deprecated.
    struct Endpoint {
        std::optional<std::string> replacement;
        std::optional<Date> expires;
        std::optional<std::string> reason;
        bool operator==(const Endpoint&) const = default;
    };
    // The client version is deprecated.
    struct Client {
        std::string minVersion;
        std::optional<std::string> currentVersion;
        std::optional<std::string> reason;
        bool operator==(const Client&) const = default;
    };

    std::variant<Endpoint, Client> value;

    const Endpoint* endpoint() const { return std::get_if<Endpoint>(&value); }
    const Client* client() const { return std::get_if<Client>(&value); }
    bool operator==(const CorvaneDeprecationNotice&) const = default;
};

namespace CorvaneDeprecationParser {
// Comma-separated notices, each "kind; key=value; ...". Unknown kinds, client notices without
// "min-version" and pieces without "=" are skipped; later keys replace earlier ones.
std::vector<CorvaneDeprecationNotice> parse(std::string_view headerValue);
// An ISO 8601 internet date-time, else a plain "yyyy-MM-dd" (midnight UTC), else nothing.
std::optional<Date> parseISO8601(std::string_view text);
} // namespace CorvaneDeprecationParser

namespace Semver {
// -1, 0 or 1. Dot-separated decimal components, empty ones dropped; a component that is not a
// whole decimal number counts as 0, a missing one as 0.
int compare(std::string_view a, std::string_view b);
} // namespace Semver

} // namespace corvane

#include "CorvaneAccount/Transport/AuthModels.h"

#include <boost/url/parse.hpp>
#include <date/date.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <map>
#include <sstream>

namespace corvane {

using nlohmann::ordered_json;
using namespace CorvaneJSON;

namespace {

template <class T> void putOptional(ordered_json& j, const char* key, const std::optional<T>& v) {
    if (v)
        j[key] = *v;
}

std::optional<std::string> optionalString(const nlohmann::json& j, const char* key) {
    if (const auto* v = CorvaneJSON::optional(j, key))
        return stringValue(*v, key);
    return std::nullopt;
}

std::optional<Date> optionalDate(const nlohmann::json& j, const char* key) {
    if (const auto* v = CorvaneJSON::optional(j, key))
        return dateValue(*v);
    return std::nullopt;
}

bool requiredBool(const nlohmann::json& j, const char* key) {
    const auto& v = required(j, key);
    if (!v.is_boolean())
        throw DecodingError(std::string("Expected a Boolean for \"") + key + "\".");
    return v.get<bool>();
}

std::optional<bool> optionalBool(const nlohmann::json& j, const char* key) {
    if (const auto* v = CorvaneJSON::optional(j, key)) {
        if (!v->is_boolean())
            throw DecodingError(std::string("Expected a Boolean for \"") + key + "\".");
        return v->get<bool>();
    }
    return std::nullopt;
}

std::string_view trim(std::string_view s) {
    auto space = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
    while (!s.empty() && space(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && space(s.back()))
        s.remove_suffix(1);
    return s;
}

std::string lower(std::string_view s) {
    std::string out(s);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

// The non-empty pieces of `s` between separators.
std::vector<std::string_view> split(std::string_view s, char separator) {
    std::vector<std::string_view> out;
    std::size_t start = 0;
    while (start <= s.size()) {
        const std::size_t end = std::min(s.find(separator, start), s.size());
        if (end > start)
            out.push_back(s.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

std::optional<CorvaneDeprecationNotice> parseSingle(std::string_view piece) {
    const auto parts = split(piece, ';');
    if (parts.empty())
        return std::nullopt;
    const std::string kind = lower(trim(parts.front()));
    std::map<std::string, std::string> params;
    for (std::size_t i = 1; i < parts.size(); ++i) {
        const std::size_t eq = parts[i].find('=');
        if (eq == std::string_view::npos)
            continue;
        params[lower(trim(parts[i].substr(0, eq)))] = std::string(trim(parts[i].substr(eq + 1)));
    }
    auto param = [&](const char* key) -> std::optional<std::string> {
        auto it = params.find(key);
        if (it == params.end())
            return std::nullopt;
        return it->second;
    };
    if (kind == "endpoint") {
        CorvaneDeprecationNotice::Endpoint e;
        if (auto r = param("replacement"); r && boost::urls::parse_uri_reference(*r))
            e.replacement = *r;
        if (auto x = param("expires"))
            e.expires = CorvaneDeprecationParser::parseISO8601(*x);
        e.reason = param("reason");
        return CorvaneDeprecationNotice{e};
    }
    if (kind == "client") {
        auto minVersion = param("min-version");
        if (!minVersion)
            return std::nullopt;
        return CorvaneDeprecationNotice{
            CorvaneDeprecationNotice::Client{*minVersion, param("current"), param("reason")}};
    }
    return std::nullopt;
}

// A whole decimal integer (optionally signed); anything else, or an overflow, counts as 0.
long long versionComponent(std::string_view piece) {
    if (!piece.empty() && piece.front() == '+')
        piece.remove_prefix(1);
    long long value = 0;
    const char* end = piece.data() + piece.size();
    auto [ptr, ec] = std::from_chars(piece.data(), end, value);
    if (piece.empty() || ec != std::errc() || ptr != end)
        return 0;
    return value;
}

} // namespace

// --- request bodies ---

std::string ExchangeBody::encoded() const {
    ordered_json j;
    j["app_slug"] = appSlug;
    j["code"] = code;
    putOptional(j, "code_verifier", codeVerifier);
    putOptional(j, "redirect_uri", redirectURI);
    putOptional(j, "client_version", clientVersion);
    putOptional(j, "install_id", installID);
    return j.dump();
}

std::string RefreshBody::encoded() const {
    ordered_json j;
    j["app_slug"] = appSlug;
    j["refresh_token"] = refreshToken;
    putOptional(j, "client_version", clientVersion);
    return j.dump();
}

std::string AppleAuthcodeBody::encoded() const {
    ordered_json j;
    j["app_slug"] = appSlug;
    j["authorization_code"] = authorizationCode;
    putOptional(j, "identity_token", identityToken);
    putOptional(j, "install_id", installID);
    return j.dump();
}

std::string AppDataTokenBody::encoded() const {
    ordered_json j;
    j["app_slug"] = appSlug;
    return j.dump();
}

// --- answers ---

void to_json(nlohmann::json& j, const LibVersionPolicy& p) {
    j = nlohmann::json::object();
    auto put = [&](const char* key, const std::optional<std::string>& v) {
        if (v)
            j[key] = *v;
    };
    put("minVersion", p.minVersion);
    put("currentVersion", p.currentVersion);
    put("replacement", p.replacement);
    put("reason", p.reason);
    if (p.expires)
        j["expires"] = dateJSON(*p.expires);
}

void from_json(const nlohmann::json& j, LibVersionPolicy& p) {
    if (!j.is_object())
        throw DecodingError("Expected an object for \"corvane_lib_version\".");
    p.minVersion = optionalString(j, "minVersion");
    p.currentVersion = optionalString(j, "currentVersion");
    p.replacement = optionalString(j, "replacement");
    p.reason = optionalString(j, "reason");
    p.expires = optionalDate(j, "expires");
}

void to_json(nlohmann::json& j, const CasResponse& r) {
    j = nlohmann::json::object();
    j["ok"] = r.ok;
    j["cas"] = r.cas;
    if (r.sessionToken)
        j["session_token"] = *r.sessionToken;
    if (r.refreshToken)
        j["refresh_token"] = *r.refreshToken;
    if (r.expiresIn)
        j["expires_in"] = *r.expiresIn;
    j["expires_at"] = dateJSON(r.expiresAt);
    j["corvane_account_id"] = r.corvaneAccountId;
    j["email"] = r.email;
    j["app_slug"] = r.appSlug;
    if (r.platform)
        j["platform"] = *r.platform;
    if (r.appDataToken)
        j["app_data_token"] = *r.appDataToken;
    if (r.appDataTokenExpiresAt)
        j["app_data_token_expires_at"] = dateJSON(*r.appDataTokenExpiresAt);
    if (r.libVersionPolicy)
        j["corvane_lib_version"] = *r.libVersionPolicy;
}

void from_json(const nlohmann::json& j, CasResponse& r) {
    r.ok = requiredBool(j, "ok");
    r.cas = stringValue(required(j, "cas"), "cas");
    r.sessionToken = optionalString(j, "session_token");
    r.refreshToken = optionalString(j, "refresh_token");
    r.expiresIn.reset();
    if (const auto* v = CorvaneJSON::optional(j, "expires_in")) {
        if (!v->is_number_integer())
            throw DecodingError("Expected an integer for \"expires_in\".");
        r.expiresIn = v->get<long long>();
    }
    r.expiresAt = dateValue(required(j, "expires_at"));
    r.corvaneAccountId = required(j, "corvane_account_id").get<CorvaneAccountID>();
    r.email = stringValue(required(j, "email"), "email");
    r.appSlug = stringValue(required(j, "app_slug"), "app_slug");
    r.platform = optionalString(j, "platform");
    r.appDataToken = optionalString(j, "app_data_token");
    r.appDataTokenExpiresAt = optionalDate(j, "app_data_token_expires_at");
    r.libVersionPolicy.reset();
    if (const auto* v = CorvaneJSON::optional(j, "corvane_lib_version"))
        r.libVersionPolicy = v->get<LibVersionPolicy>();
}

void from_json(const nlohmann::json& j, AppleAuthcodeResponse& r) {
    r.ok = requiredBool(j, "ok");
    r.corvaneAccountId = optionalString(j, "corvane_account_id");
    r.email = optionalString(j, "email");
    r.cas = optionalString(j, "cas");
    r.refreshToken = optionalString(j, "refresh_token");
    r.expiresAt = optionalDate(j, "expires_at");
    r.isNewUser = optionalBool(j, "is_new_user");
}

void from_json(const nlohmann::json& j, AppDataTokenResponse& r) {
    r.ok = requiredBool(j, "ok");
    r.appDataToken = stringValue(required(j, "app_data_token"), "app_data_token");
    r.expiresAt = dateValue(required(j, "expires_at"));
}

void from_json(const nlohmann::json& j, EmptyResponse& r) {
    r.ok = requiredBool(j, "ok");
}

void from_json(const nlohmann::json& j, ErrorPayload& p) {
    if (!j.is_object())
        throw DecodingError("Expected an object.");
    p.error = optionalString(j, "error");
}

// --- deprecation notices ---

std::vector<CorvaneDeprecationNotice> CorvaneDeprecationParser::parse(std::string_view value) {
    std::vector<CorvaneDeprecationNotice> out;
    for (std::string_view piece : split(value, ',')) {
        piece = trim(piece);
        if (piece.empty())
            continue;
        if (auto notice = parseSingle(piece))
            out.push_back(std::move(*notice));
    }
    return out;
}

std::optional<Date> CorvaneDeprecationParser::parseISO8601(std::string_view text) {
    if (auto d = CorvaneJSON::parseDate(text))
        return d;
    std::istringstream in{std::string(text)};
    in.imbue(std::locale::classic());
    date::sys_days day;
    in >> date::parse("%Y-%m-%d", day);
    if (in.fail() || in.peek() != std::char_traits<char>::eof())
        return std::nullopt;
    return Date(std::chrono::duration_cast<Date::duration>(day.time_since_epoch()));
}

int Semver::compare(std::string_view a, std::string_view b) {
    const auto pa = split(a, '.');
    const auto pb = split(b, '.');
    for (std::size_t i = 0; i < std::max(pa.size(), pb.size()); ++i) {
        const long long x = i < pa.size() ? versionComponent(pa[i]) : 0;
        const long long y = i < pb.size() ? versionComponent(pb[i]) : 0;
        if (x != y)
            return x < y ? -1 : 1;
    }
    return 0;
}

} // namespace corvane

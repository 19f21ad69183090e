#include "OIDC/ServiceConfiguration.h"

#include "OIDC/Error.h"

#include <boost/url/parse.hpp>
#include <nlohmann/json.hpp>

namespace oidc {

namespace {

Error invalidDocument(const std::string& why) {
    return Error::general(GeneralErrorCode::invalidDiscoveryDocument,
                          "Invalid discovery document: " + why);
}

bool isLoopbackHost(boost::urls::url_view url) {
    switch (url.host_type()) {
    case boost::urls::host_type::ipv4:
        return url.host_ipv4_address().is_loopback();
    case boost::urls::host_type::ipv6:
        return url.host_ipv6_address().is_loopback();
    default:
        return url.encoded_host() == "localhost";
    }
}

std::optional<boost::urls::url> endpoint(const nlohmann::json& doc, const char* key,
                                         bool required) {
    auto it = doc.find(key);
    if (it == doc.end() || it->is_null()) {
        if (required)
            throw invalidDocument(std::string("missing \"") + key + "\"");
        return std::nullopt;
    }
    if (!it->is_string())
        throw invalidDocument(std::string("\"") + key + "\" is not a string");
    auto parsed = boost::urls::parse_absolute_uri(it->get_ref<const std::string&>());
    if (!parsed || !isAcceptableEndpoint(*parsed))
        throw invalidDocument(std::string("\"") + key + "\" is not an acceptable URL");
    return boost::urls::url(*parsed);
}

std::vector<std::string> strings(const nlohmann::json& doc, const char* key) {
    std::vector<std::string> out;
    auto it = doc.find(key);
    if (it == doc.end() || !it->is_array())
        return out;
    for (const auto& v : *it)
        if (v.is_string())
            out.push_back(v.get<std::string>());
    return out;
}

} // namespace

bool isAcceptableEndpoint(boost::urls::url_view url) {
    if (!url.has_scheme() || !url.has_authority() || url.encoded_host().empty() ||
        url.has_fragment())
        return false;
    // After an authority the path is empty or starts with "/" (RFC 3986 §3.3). Boost.URL 1.81
    // reads "http://127.0.0.1.example" as the host 127.0.0.1 and the path ".example", while
    // an HTTP client goes to the host "127.0.0.1.example".
    if (!url.encoded_path().empty() && url.encoded_path().front() != '/')
        return false;
    if (url.scheme_id() == boost::urls::scheme::https)
        return true;
    return url.scheme_id() == boost::urls::scheme::http && isLoopbackHost(url);
}

boost::urls::url ServiceConfiguration::discoveryURL(const boost::urls::url& issuer) {
    if (!isAcceptableEndpoint(issuer) || issuer.has_query())
        throw invalidDocument("the issuer must be an https URL without query or fragment");
    boost::urls::url out = issuer;
    std::string path(out.encoded_path());
    while (!path.empty() && path.back() == '/')
        path.pop_back();
    out.set_encoded_path(path + "/.well-known/openid-configuration");
    return out;
}

ServiceConfiguration
ServiceConfiguration::fromDiscoveryDocument(std::string_view body,
                                            const boost::urls::url& expectedIssuer) {
    auto doc = nlohmann::json::parse(body, nullptr, /*allow_exceptions=*/false);
    if (doc.is_discarded() || !doc.is_object())
        throw Error::general(GeneralErrorCode::jsonDeserializationError,
                             "The discovery document is not a JSON object.");

    // Discovery §4.3: the issuer in the document must be identical to the one asked for.
    auto issuer = doc.find("issuer");
    if (issuer == doc.end() || !issuer->is_string())
        throw invalidDocument("missing \"issuer\"");
    if (issuer->get_ref<const std::string&>() != expectedIssuer.buffer())
        throw invalidDocument("the issuer differs from the one requested");

    ServiceConfiguration c;
    c.issuer = expectedIssuer;
    c.authorizationEndpoint = *endpoint(doc, "authorization_endpoint", true);
    c.tokenEndpoint = *endpoint(doc, "token_endpoint", true);
    c.userinfoEndpoint = endpoint(doc, "userinfo_endpoint", false);
    c.registrationEndpoint = endpoint(doc, "registration_endpoint", false);
    c.jwksURI = endpoint(doc, "jwks_uri", false);
    c.revocationEndpoint = endpoint(doc, "revocation_endpoint", false);
    c.endSessionEndpoint = endpoint(doc, "end_session_endpoint", false);
    c.scopesSupported = strings(doc, "scopes_supported");
    c.responseTypesSupported = strings(doc, "response_types_supported");
    c.codeChallengeMethodsSupported = strings(doc, "code_challenge_methods_supported");
    auto iss = doc.find("authorization_response_iss_parameter_supported");
    c.authorizationResponseIssParameterSupported =
        iss != doc.end() && iss->is_boolean() && iss->get<bool>();
    return c;
}

} // namespace oidc

// The authorization server's configuration: its issuer and endpoints, from an OpenID Provider
// Metadata document (OpenID Connect Discovery 1.0 §3) or given directly. Plain value.
#pragma once

#include <boost/url/url.hpp>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace oidc {

struct ServiceConfiguration {
    // Discovery §3 "issuer": identical to the issuer the document was asked for (§4.3).
    boost::urls::url issuer;
    // RFC 6749 §3.1; Discovery §3 "authorization_endpoint" (required).
    boost::urls::url authorizationEndpoint;
    // RFC 6749 §3.2; Discovery §3 "token_endpoint" (required for the code flow).
    boost::urls::url tokenEndpoint;
    // Discovery §3 optional endpoints.
    std::optional<boost::urls::url> userinfoEndpoint;
    std::optional<boost::urls::url> registrationEndpoint;
    std::optional<boost::urls::url> jwksURI;
    // RFC 7009 revocation and OpenID RP-Initiated Logout, when advertised.
    std::optional<boost::urls::url> revocationEndpoint;
    std::optional<boost::urls::url> endSessionEndpoint;
    // Discovery §3 lists; empty when absent.
    std::vector<std::string> scopesSupported;
    std::vector<std::string> responseTypesSupported;
    // RFC 8414 §2 "code_challenge_methods_supported".
    std::vector<std::string> codeChallengeMethodsSupported;
    // RFC 9207 §3 "authorization_response_iss_parameter_supported": every authorization
    // response carries "iss", so one without it is refused.
    bool authorizationResponseIssParameterSupported = false;

    // Reads a discovery document fetched for `expectedIssuer`. Throws oidc::Error: the body is
    // not a JSON object (general, jsonDeserializationError); the issuer differs, or a required
    // endpoint is missing or not an acceptable absolute URL (general, invalidDiscoveryDocument).
    static ServiceConfiguration fromDiscoveryDocument(std::string_view body,
                                                      const boost::urls::url& expectedIssuer);

    // Where the discovery document of `issuer` lives (Discovery §4.1): the issuer without a
    // trailing "/", then "/.well-known/openid-configuration". Throws oidc::Error
    // (invalidDiscoveryDocument) for an issuer that is not https (loopback http aside) or that
    // has a query or fragment (Discovery §2).
    static boost::urls::url discoveryURL(const boost::urls::url& issuer);
};

// An absolute https URL, or http to a loopback host (RFC 8252 §8.3), without a fragment
// (RFC 6749 §3.1): what the client accepts as a server endpoint.
bool isAcceptableEndpoint(boost::urls::url_view url);

} // namespace oidc

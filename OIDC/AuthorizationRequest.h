// An OAuth 2.0 authorization request (RFC 6749 §4.1.1) with PKCE (RFC 7636) and the OpenID
// Connect nonce, and the URL that carries it to the authorization endpoint. Plain value.
#pragma once

#include "OIDC/ServiceConfiguration.h"

#include <boost/url/url.hpp>

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace oidc {

// RFC 6749 §4.1.1: the authorization-code grant.
inline constexpr const char* responseTypeCode = "code";
// RFC 7636 §4.3.
inline constexpr const char* codeChallengeMethodS256 = "S256";

using Parameters = std::vector<std::pair<std::string, std::string>>;

struct AuthorizationRequest {
    ServiceConfiguration configuration;
    // RFC 6749 §2.2.
    std::string clientID;
    // RFC 6749 §3.3: space-delimited; none when no scope was asked for.
    std::optional<std::string> scope;
    // RFC 6749 §3.1.2; RFC 8252 §7.1 for a private-use scheme.
    boost::urls::url redirectURL;
    // RFC 6749 §3.1.1.
    std::string responseType = responseTypeCode;
    // RFC 6749 §4.1.1, §10.12: an unguessable value bound to this request.
    std::optional<std::string> state;
    // OpenID Connect Core 1.0 §3.1.2.1.
    std::optional<std::string> nonce;
    // RFC 7636 §4.1: 43 to 128 characters of [A-Z a-z 0-9 - . _ ~]; kept by the client only.
    std::optional<std::string> codeVerifier;
    // RFC 7636 §4.2, §4.3.
    std::optional<std::string> codeChallenge;
    std::optional<std::string> codeChallengeMethod;
    // Further parameters, sent after the standard ones in the order given.
    Parameters additionalParameters;

    // A request with secure defaults: a fresh state, nonce and code verifier of 32 random bytes
    // each (URL-safe Base64, 43 characters) and the S256 challenge of the verifier. Throws
    // oidc::Error (general, invalidRequest) for an empty client id, a redirect URL that is not
    // absolute, or an additional parameter that names one of the standard ones.
    static AuthorizationRequest make(ServiceConfiguration configuration, std::string clientID,
                                     const std::vector<std::string>& scopes,
                                     boost::urls::url redirectURL,
                                     std::string responseType = responseTypeCode,
                                     Parameters additionalParameters = {});

    // The authorization endpoint with its own query kept and this request's parameters
    // appended in application/x-www-form-urlencoded form (RFC 6749 §4.1.1, Appendix B):
    // response_type, client_id, redirect_uri, scope, state, nonce, code_challenge,
    // code_challenge_method (each when set), then the additional parameters.
    boost::urls::url authorizationRequestURL() const;

    // The parameters of authorizationRequestURL(), in order, not encoded.
    Parameters parameters() const;
};

// application/x-www-form-urlencoded serialisation of one name or value: every byte except
// ALPHA / DIGIT / "*" / "-" / "." / "_" percent-encoded, space as "+".
std::string formEncode(std::string_view text);

} // namespace oidc

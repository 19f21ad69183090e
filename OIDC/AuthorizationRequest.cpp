#include "OIDC/AuthorizationRequest.h"

#include "OIDC/Error.h"
#include "OIDC/TokenUtilities.h"

#include <boost/url/encode.hpp>
#include <boost/url/grammar/lut_chars.hpp>

#include <algorithm>
#include <array>
#include <string_view>

namespace oidc {

namespace {

constexpr std::array<std::string_view, 8> standardNames{
    "response_type", "client_id", "redirect_uri",   "scope",
    "state",         "nonce",     "code_challenge", "code_challenge_method"};

Error invalidRequest(const std::string& why) {
    return Error::general(GeneralErrorCode::invalidRequest,
                          "Invalid authorization request: " + why);
}

} // namespace

std::string formEncode(std::string_view text) {
    static constexpr boost::urls::grammar::lut_chars unreserved(
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789*-._");
    boost::urls::encoding_opts opts;
    opts.space_as_plus = true;
    return boost::urls::encode(text, unreserved, opts);
}

AuthorizationRequest
AuthorizationRequest::make(ServiceConfiguration configuration, std::string clientID,
                           const std::vector<std::string>& scopes, boost::urls::url redirectURL,
                           std::string responseType, Parameters additionalParameters) {
    if (clientID.empty())
        throw invalidRequest("no client id");
    if (!redirectURL.has_scheme())
        throw invalidRequest("the redirect URL is not absolute");
    for (const auto& [name, value] : additionalParameters)
        if (std::find(standardNames.begin(), standardNames.end(), name) != standardNames.end())
            throw invalidRequest("an additional parameter repeats \"" + name + "\"");

    AuthorizationRequest r;
    r.configuration = std::move(configuration);
    r.clientID = std::move(clientID);
    if (!scopes.empty()) {
        std::string joined;
        for (const auto& s : scopes)
            joined += (joined.empty() ? "" : " ") + s;
        r.scope = joined;
    }
    r.redirectURL = std::move(redirectURL);
    r.responseType = std::move(responseType);
    r.state = TokenUtilities::randomURLSafeString(32);
    r.nonce = TokenUtilities::randomURLSafeString(32);
    r.codeVerifier = TokenUtilities::randomURLSafeString(32);
    r.codeChallenge = TokenUtilities::codeChallengeS256(*r.codeVerifier);
    r.codeChallengeMethod = codeChallengeMethodS256;
    r.additionalParameters = std::move(additionalParameters);
    return r;
}

Parameters AuthorizationRequest::parameters() const {
    Parameters p;
    p.emplace_back("response_type", responseType);
    p.emplace_back("client_id", clientID);
    p.emplace_back("redirect_uri", std::string(redirectURL.buffer()));
    if (scope)
        p.emplace_back("scope", *scope);
    if (state)
        p.emplace_back("state", *state);
    if (nonce)
        p.emplace_back("nonce", *nonce);
    if (codeChallenge)
        p.emplace_back("code_challenge", *codeChallenge);
    if (codeChallengeMethod)
        p.emplace_back("code_challenge_method", *codeChallengeMethod);
    p.insert(p.end(), additionalParameters.begin(), additionalParameters.end());
    return p;
}

boost::urls::url AuthorizationRequest::authorizationRequestURL() const {
    // RFC 6749 §3.1: the endpoint's own query component is kept.
    std::string query(configuration.authorizationEndpoint.encoded_query());
    for (const auto& [name, value] : parameters()) {
        if (!query.empty())
            query += '&';
        query += formEncode(name);
        query += '=';
        query += formEncode(value);
    }
    boost::urls::url out = configuration.authorizationEndpoint;
    out.set_encoded_query(query);
    return out;
}

} // namespace oidc

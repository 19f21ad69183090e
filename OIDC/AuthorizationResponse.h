// A successful authorization response (RFC 6749 §4.1.2), with the request it answers so that
// the code verifier stays at hand for the token exchange. Plain value.
#pragma once

#include "OIDC/AuthorizationRequest.h"

#include <optional>
#include <string>

namespace oidc {

struct AuthorizationResponse {
    AuthorizationRequest request;
    // RFC 6749 §4.1.2 "code"; a response without one is passed on for the caller to refuse.
    std::optional<std::string> authorizationCode;
    // RFC 6749 §4.1.2 "state": always equal to the request's (checked before a response is made).
    std::optional<std::string> state;
    // RFC 6749 §5.1 "scope", when the server narrowed it.
    std::optional<std::string> scope;
    // Every other parameter of the redirect, in order.
    Parameters additionalParameters;
};

} // namespace oidc

// External user agents (RFC 8252 §3): what shows the authorization request to the user, and
// the side of a flow that hears back from them. Implemented by BrowserUserAgent and
// WebAuthenticationUserAgent. Main thread only.
#pragma once

#include "OIDC/Error.h"

#include <memory>
#include <optional>
#include <string>

namespace oidc {

struct AuthorizationRequest;

// The flow a user agent reports to.
class ExternalUserAgentSession {
public:
    virtual ~ExternalUserAgentSession() = default;
    // A redirect URL reached the user agent; false when the flow does not take it.
    virtual bool resumeExternalUserAgentFlow(const std::string& url) = 0;
    // The user agent failed or the user closed it.
    virtual void failExternalUserAgentFlow(const Error& error) = 0;
};

class ExternalUserAgent {
public:
    virtual ~ExternalUserAgent() = default;
    // Shows the request. The user agent may keep `session` alive until it reports to it.
    // Returns the error when it could not show the request (nothing is reported then).
    virtual std::optional<Error> present(const AuthorizationRequest& request,
                                         std::shared_ptr<ExternalUserAgentSession> session) = 0;
    // Takes the request off the screen where it can; nothing is reported afterwards.
    virtual void dismiss() = 0;
};

} // namespace oidc

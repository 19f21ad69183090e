// The default browser as external user agent (RFC 8252 §7.1): the redirect comes back through
// the application's URL scheme and reaches the flow through resume(). Main thread only.
#pragma once

#include "OIDC/ExternalUserAgent.h"

namespace oidc {

class BrowserUserAgent final : public ExternalUserAgent {
public:
    // Opens the request URL with platform::browser(); browserOpenError when it cannot.
    std::optional<Error> present(const AuthorizationRequest& request,
                                 std::shared_ptr<ExternalUserAgentSession> session) override;
    // A browser tab cannot be closed from here: nothing to do.
    void dismiss() override {}
};

} // namespace oidc

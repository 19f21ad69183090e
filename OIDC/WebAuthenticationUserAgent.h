// The platform's web authentication session as external user agent, attached to a window: it
// catches the redirect of the redirect URL's scheme itself and hands it to the flow. Main
// thread only.
#pragma once

#include "OIDC/ExternalUserAgent.h"

#include <memory>

namespace platform {
class Window;
class WebAuthenticationSession;
} // namespace platform

namespace oidc {

class WebAuthenticationUserAgent final : public ExternalUserAgent {
public:
    explicit WebAuthenticationUserAgent(std::shared_ptr<platform::Window> presentingWindow);

    // Starts a session for the request URL with the redirect URL's scheme as callback scheme.
    // The user's cancel becomes userCanceledAuthorizationFlow; other failures keep the
    // session's own domain and code.
    std::optional<Error> present(const AuthorizationRequest& request,
                                 std::shared_ptr<ExternalUserAgentSession> session) override;
    void dismiss() override;

private:
    std::shared_ptr<platform::Window> window_;
    std::shared_ptr<platform::WebAuthenticationSession> session_;
};

} // namespace oidc

#include "OIDC/WebAuthenticationUserAgent.h"

#include "OIDC/AuthorizationRequest.h"
#include "Platform/WebAuthenticationSession.h"

namespace oidc {

WebAuthenticationUserAgent::WebAuthenticationUserAgent(
    std::shared_ptr<platform::Window> presentingWindow)
    : window_(std::move(presentingWindow)) {}

std::optional<Error>
WebAuthenticationUserAgent::present(const AuthorizationRequest& request,
                                    std::shared_ptr<ExternalUserAgentSession> flow) {
    namespace E = platform::WebAuthenticationSessionError;
    if (!window_) {
        auto failure = platform::WebAuthenticationFailure::make(E::presentationContextNotProvided);
        return Error(E::domain, failure.code, failure.localizedDescription);
    }
    // The page holds the flow until it reports; its report ends the page's hold.
    auto completion = [flow](std::optional<std::string> url,
                             std::optional<platform::WebAuthenticationFailure> failure) {
        if (url) {
            if (!flow->resumeExternalUserAgentFlow(*url))
                flow->failExternalUserAgentFlow(
                    Error::general(GeneralErrorCode::invalidRequest,
                                   "The sign-in page returned to an unexpected address."));
            return;
        }
        if (!failure)
            return;
        if (failure->isCanceledLogin())
            flow->failExternalUserAgentFlow(
                Error::general(GeneralErrorCode::userCanceledAuthorizationFlow,
                               "The user cancelled the authorization flow."));
        else
            flow->failExternalUserAgentFlow(
                Error(E::domain, failure->code, failure->localizedDescription));
    };
    session_ = platform::webAuthenticationSessions().makeSession(
        std::string(request.authorizationRequestURL().buffer()),
        std::string(request.redirectURL.scheme()), std::move(completion));
    if (!session_->start(window_)) {
        session_->cancel();
        session_.reset();
        return Error::general(GeneralErrorCode::browserOpenError,
                              "Unable to show the sign-in page.");
    }
    return std::nullopt;
}

void WebAuthenticationUserAgent::dismiss() {
    if (auto session = std::move(session_))
        session->cancel();
}

} // namespace oidc

#include "OIDC/BrowserUserAgent.h"

#include "OIDC/AuthorizationRequest.h"
#include "Platform/Browser.h"

namespace oidc {

std::optional<Error> BrowserUserAgent::present(const AuthorizationRequest& request,
                                               std::shared_ptr<ExternalUserAgentSession>) {
    if (!platform::browser().openURL(std::string(request.authorizationRequestURL().buffer())))
        return Error::general(GeneralErrorCode::browserOpenError,
                              "Unable to open the default browser.");
    return std::nullopt;
}

} // namespace oidc

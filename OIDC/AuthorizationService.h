// Issuer discovery (OpenID Connect Discovery 1.0 §4) and the start of authorization flows.
// Discovery may be awaited on any executor; present() belongs to the main thread.
#pragma once

#include "OIDC/AuthorizationFlowSession.h"
#include "OIDC/ServiceConfiguration.h"

#include <boost/asio/awaitable.hpp>
#include <boost/url/url.hpp>

#include <memory>

namespace platform {
class HttpSession;
}

namespace oidc::AuthorizationService {

// Seconds a discovery request may take.
inline constexpr double discoveryTimeout = 30;

// GETs `<issuer>/.well-known/openid-configuration` through `session` (redirects are not
// followed: a 3xx is a non-2xx answer) and reads it. Throws oidc::Error: an unacceptable issuer
// URL or document (general, invalidDiscoveryDocument / jsonDeserializationError), a non-2xx
// answer (remoteHTTP, the status as code), a transport failure (general, networkError). A
// cancelled await rethrows the session's cancelled platform::HttpTransportError.
boost::asio::awaitable<ServiceConfiguration>
discoverServiceConfigurationForIssuer(boost::urls::url issuer, platform::HttpSession& session,
                                      double timeout = discoveryTimeout);

// Starts a flow: shows `request` with `userAgent`; `callback` hears how the flow ended.
std::shared_ptr<AuthorizationFlowSession> present(AuthorizationRequest request,
                                                  std::shared_ptr<ExternalUserAgent> userAgent,
                                                  AuthorizationFlowSession::Callback callback);

} // namespace oidc::AuthorizationService

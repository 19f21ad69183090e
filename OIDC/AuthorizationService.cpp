#include "OIDC/AuthorizationService.h"

#include "Platform/HttpSession.h"

namespace oidc::AuthorizationService {

namespace {
// A discovery document is a few kilobytes; anything near this is not one.
constexpr std::size_t maxDocumentBytes = 256 * 1024;
} // namespace

boost::asio::awaitable<ServiceConfiguration>
discoverServiceConfigurationForIssuer(boost::urls::url issuer, platform::HttpSession& session,
                                      double timeout) {
    // Discovery §4.1: the well-known location under the issuer.
    platform::HttpRequest request;
    request.method = "GET";
    request.url = std::string(ServiceConfiguration::discoveryURL(issuer).buffer());
    request.headers.set("Accept", "application/json");
    request.timeout = timeout;
    request.redirects = platform::RedirectPolicy::none;
    request.maxBodyBytes = maxDocumentBytes;

    // Fetch it; failures below HTTP become network errors, a cancel stays a cancel.
    platform::HttpResult result;
    try {
        result = co_await session.send(std::move(request));
    } catch (const platform::HttpTransportError& e) {
        if (e.isCancelled())
            throw;
        throw Error::general(GeneralErrorCode::networkError,
                             std::string("Network error: ") + e.what());
    }

    // Discovery §4.2: a successful answer is 200 with a JSON object.
    int status = result.response.statusCode;
    if (!result.response.isHTTP || status < 200 || status > 299)
        throw Error(ErrorDomain::remoteHTTP, status,
                    "The discovery request failed with HTTP status " + std::to_string(status) +
                        ".");
    std::string_view body(reinterpret_cast<const char*>(result.data.data()), result.data.size());
    co_return ServiceConfiguration::fromDiscoveryDocument(body, issuer);
}

std::shared_ptr<AuthorizationFlowSession> present(AuthorizationRequest request,
                                                  std::shared_ptr<ExternalUserAgent> userAgent,
                                                  AuthorizationFlowSession::Callback callback) {
    auto flow = std::make_shared<AuthorizationFlowSession>(std::move(request), std::move(userAgent),
                                                           std::move(callback));
    flow->start();
    return flow;
}

} // namespace oidc::AuthorizationService

// Feeds arbitrary redirect URLs to a pending authorization flow's resume(). Findings: a
// sanitizer report, a flow that completes more than once, a completed flow that still takes a
// URL, or a response whose state is not the request's.
#include "OIDC/AuthorizationFlowSession.h"
#include "OIDC/AuthorizationService.h"
#include "OIDC/BrowserUserAgent.h"
#include "Platform/Sim/SimHost.h"

#include <boost/url/parse.hpp>

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

constexpr const char* expectedState = "fuzzState-0123456789_abcdefghijklmnopqrstuvw";

oidc::AuthorizationRequest makeRequest() {
    oidc::ServiceConfiguration c;
    c.issuer = boost::urls::url("https://auth.corvane.example");
    c.authorizationEndpoint = boost::urls::url("https://auth.corvane.example/authorize");
    c.tokenEndpoint = boost::urls::url("https://auth.corvane.example/token");
    auto r = oidc::AuthorizationRequest::make(c, "quillet-mac", {"openid"},
                                              boost::urls::url("quillet://auth/callback"));
    // A fixed state, so that the fuzzer can learn it and reach the response path.
    r.state = expectedState;
    return r;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static platform::sim::SimHost host;
    static const oidc::AuthorizationRequest request = makeRequest();
    host.simBrowser().openedURLs.clear();

    // The first byte chooses a prefix, so that most inputs reach past the redirect match.
    std::string url;
    if (size > 0) {
        switch (data[0] % 3) {
        case 0:
            break;
        case 1:
            url = "quillet://auth/callback?";
            break;
        case 2:
            url = std::string("quillet://auth/callback?code=x&state=") + expectedState;
            break;
        }
        url.append(reinterpret_cast<const char*>(data + 1), size - 1);
    }

    int completions = 0;
    std::optional<oidc::AuthorizationResponse> response;
    auto flow = oidc::AuthorizationService::present(
        request, std::make_shared<oidc::BrowserUserAgent>(),
        [&](std::optional<oidc::AuthorizationResponse> r, std::optional<oidc::Error> e) {
            ++completions;
            if (r == std::nullopt && e == std::nullopt)
                std::abort(); // neither a response nor an error
            response = std::move(r);
        });

    bool took = flow->resume(url);
    if (took != (completions == 1) || completions > 1)
        std::abort();
    if (took && !oidc::AuthorizationFlowSession::matchesRedirectURL(url, request.redirectURL))
        std::abort();
    if (response && response->state != std::optional<std::string>(expectedState))
        std::abort(); // a wrong state yielded a response
    // Completed once: nothing more is taken.
    if (took && (flow->resume(url) || flow->cancel() || completions != 1))
        std::abort();
    if (!took && !flow->cancel())
        std::abort();
    host.runUntilIdle();
    if (completions != 1)
        std::abort();
    return 0;
}

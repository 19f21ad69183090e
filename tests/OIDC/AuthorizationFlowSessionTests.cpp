#include "OIDC/AuthorizationFlowSession.h"
#include "OIDC/AuthorizationService.h"
#include "OIDC/BrowserUserAgent.h"
#include "OIDC/WebAuthenticationUserAgent.h"
#include "Platform/Sim/SimHost.h"

#include <gtest/gtest.h>

#include <boost/url/parse.hpp>

using oidc::AuthorizationFlowSession;
using oidc::AuthorizationResponse;
using oidc::CancelReason;
using platform::sim::SimWebAuthenticationSession;

namespace {

boost::urls::url url(const std::string& text) {
    return boost::urls::url(*boost::urls::parse_uri(text));
}

// How a flow ended, and how often.
struct Ending {
    int count = 0;
    std::optional<AuthorizationResponse> response;
    std::optional<oidc::Error> error;
};

class FlowSessionTest : public ::testing::Test {
protected:
    oidc::AuthorizationRequest
    makeRequest(const std::string& redirect = "quillet://auth/callback") {
        oidc::ServiceConfiguration c;
        c.issuer = url("https://auth.corvane.example");
        c.authorizationEndpoint = url("https://auth.corvane.example/authorize");
        c.tokenEndpoint = url("https://auth.corvane.example/token");
        return oidc::AuthorizationRequest::make(c, "quillet-mac", {"openid"}, url(redirect));
    }

    std::shared_ptr<AuthorizationFlowSession>
    start(std::shared_ptr<oidc::ExternalUserAgent> agent = nullptr,
          const std::string& redirect = "quillet://auth/callback") {
        if (!agent)
            agent = std::make_shared<oidc::BrowserUserAgent>();
        auto e = ending;
        return oidc::AuthorizationService::present(
            makeRequest(redirect), std::move(agent),
            [e](std::optional<AuthorizationResponse> r, std::optional<oidc::Error> err) {
                ++e->count;
                e->response = std::move(r);
                e->error = std::move(err);
            });
    }

    std::string redirect(const AuthorizationFlowSession& flow, const std::string& rest = "") {
        return "quillet://auth/callback?code=the-code&state=" + *flow.request().state + rest;
    }

    platform::sim::SimHost host;
    std::shared_ptr<Ending> ending = std::make_shared<Ending>();
};

TEST_F(FlowSessionTest, TheBrowserOpensTheAuthorizationURL) {
    auto flow = start();
    ASSERT_EQ(host.simBrowser().openedURLs.size(), 1u);
    EXPECT_EQ(host.simBrowser().openedURLs[0], flow->request().authorizationRequestURL().buffer());
    EXPECT_TRUE(flow->isPending());
}

TEST_F(FlowSessionTest, IgnoresURLsThatAreNotTheRedirectURI) {
    auto flow = start();
    const std::string query = "?code=c&state=" + *flow->request().state;
    for (std::string other :
         {"other://auth/callback", "quillet://evil/callback", "quillet://auth/callback/",
          "quillet://auth/other", "quillet://auth:99/callback", "quillet:auth/callback",
          "quillet://AUTH/callback", "quillet:///callback", "/auth/callback", "", "%%%",
          "quillet://auth/call%62ack"}) {
        SCOPED_TRACE(other);
        EXPECT_FALSE(flow->resume(other + query));
        EXPECT_TRUE(flow->isPending());
    }
    EXPECT_EQ(ending->count, 0);
    // The scheme alone compares without regard to case.
    EXPECT_TRUE(flow->resume("QuilleT://auth/callback" + query));
    ASSERT_TRUE(ending->response);
    EXPECT_EQ(ending->response->authorizationCode, "c");
}

TEST_F(FlowSessionTest, AMatchingRedirectWithTheStateGivesTheResponseOnce) {
    auto flow = start();
    EXPECT_TRUE(flow->resume(redirect(*flow, "&scope=openid+email&extra=%2F")));
    ASSERT_EQ(ending->count, 1);
    ASSERT_TRUE(ending->response);
    EXPECT_FALSE(ending->error);
    EXPECT_EQ(ending->response->authorizationCode, "the-code");
    EXPECT_EQ(ending->response->state, flow->request().state);
    EXPECT_EQ(ending->response->scope, "openid email");
    EXPECT_EQ(ending->response->request.codeVerifier, flow->request().codeVerifier);
    EXPECT_EQ(ending->response->additionalParameters, (oidc::Parameters{{"extra", "/"}}));

    // Complete exactly once: later redirects and cancels are refused.
    EXPECT_FALSE(flow->isPending());
    EXPECT_FALSE(flow->resume(redirect(*flow)));
    EXPECT_FALSE(flow->cancel());
    EXPECT_FALSE(flow->cancel(CancelReason::program));
    host.runUntilIdle();
    EXPECT_EQ(ending->count, 1);
}

TEST_F(FlowSessionTest, AStateThatIsMissingDifferentOrRepeatedIsRefusedNeverAccepted) {
    auto expectRefused = [&](const std::function<std::string(const std::string& state)>& make) {
        ending = std::make_shared<Ending>();
        auto flow = start();
        std::string u = make(*flow->request().state);
        SCOPED_TRACE(u);
        EXPECT_TRUE(flow->resume(u));
        EXPECT_EQ(ending->count, 1);
        EXPECT_FALSE(ending->response);
        ASSERT_TRUE(ending->error);
        EXPECT_EQ(ending->error->domain(), oidc::ErrorDomain::oauthAuthorization);
        EXPECT_EQ(ending->error->code(), oidc::OAuthErrorCode::clientError);
        // The expected state never shows in the message.
        EXPECT_EQ(ending->error->localizedDescription().find(*flow->request().state),
                  std::string::npos);
        EXPECT_FALSE(flow->resume(redirect(*flow)));
    };
    expectRefused([](auto&) { return "quillet://auth/callback?code=c"; });
    expectRefused([](auto&) { return "quillet://auth/callback?code=c&state="; });
    expectRefused([](auto&) { return "quillet://auth/callback?code=c&state=forged"; });
    expectRefused([](auto& s) { return "quillet://auth/callback?code=c&state=" + s + "x"; });
    expectRefused([](auto& s) {
        return "quillet://auth/callback?code=c&state=" + s.substr(0, s.size() - 1);
    });
    expectRefused(
        [](auto& s) { return "quillet://auth/callback?code=c&state=" + s + "&state=" + s; });
    expectRefused([](auto& s) { return "quillet://auth/callback?code=a&code=b&state=" + s; });
}

TEST_F(FlowSessionTest, OddQueriesAreReadSafelyAndBrokenEscapesAreRefused) {
    // An empty query before a fragment (a shape that upset the URL library's own iterator).
    auto flow = start();
    EXPECT_TRUE(flow->resume("quillet://auth/callback?#e...............................rror="));
    ASSERT_TRUE(ending->error);
    EXPECT_EQ(ending->error->code(), oidc::OAuthErrorCode::clientError);

    for (std::string broken : {"%", "%4", "%zz", "x%g1"}) {
        SCOPED_TRACE(broken);
        ending = std::make_shared<Ending>();
        auto f = start();
        // Not a URL at all, so not the redirect URI: the flow goes on waiting.
        EXPECT_FALSE(f->resume(redirect(*f, "&extra=" + broken)));
        EXPECT_TRUE(f->isPending());
        EXPECT_EQ(ending->count, 0);
    }

    // Empty pieces and a parameter without "=" are fine; escapes decode, "+" is a space.
    ending = std::make_shared<Ending>();
    auto ok = start();
    EXPECT_TRUE(ok->resume(
        "quillet://auth/callback?&&code=a%2Bb+c&flag&state=" + *ok->request().state + "&#frag"));
    ASSERT_TRUE(ending->response);
    EXPECT_EQ(ending->response->authorizationCode, "a+b c");
    EXPECT_EQ(ending->response->additionalParameters, (oidc::Parameters{{"flag", ""}}));
}

TEST_F(FlowSessionTest, AnErrorParameterEndsTheFlowWithThatOAuthError) {
    auto flow = start();
    EXPECT_TRUE(flow->resume("quillet://auth/callback?error=access_denied&error_description="
                             "The+user+said+no&state=" +
                             *flow->request().state));
    ASSERT_TRUE(ending->error);
    EXPECT_EQ(ending->error->domain(), oidc::ErrorDomain::oauthAuthorization);
    EXPECT_EQ(ending->error->code(), oidc::OAuthErrorCode::accessDenied);
    EXPECT_EQ(ending->error->oauthError(), "access_denied");
    EXPECT_EQ(ending->error->localizedDescription(), "The user said no");

    ending = std::make_shared<Ending>();
    auto other = start();
    EXPECT_TRUE(other->resume("quillet://auth/callback?error=login_required"));
    ASSERT_TRUE(ending->error);
    EXPECT_EQ(ending->error->code(), oidc::OAuthErrorCode::other);
    EXPECT_EQ(ending->error->localizedDescription(), "login_required");
}

TEST_F(FlowSessionTest, CancelsCarryWhoCancelled) {
    auto flow = start();
    EXPECT_TRUE(flow->cancel());
    ASSERT_TRUE(ending->error);
    EXPECT_EQ(ending->error->domain(), oidc::ErrorDomain::general);
    EXPECT_EQ(ending->error->code(), -3);
    EXPECT_TRUE(ending->error->isUserCancel());
    EXPECT_FALSE(flow->cancel());
    EXPECT_FALSE(flow->resume(redirect(*flow)));

    ending = std::make_shared<Ending>();
    auto second = start();
    EXPECT_TRUE(second->cancel(CancelReason::program));
    ASSERT_TRUE(ending->error);
    EXPECT_EQ(ending->error->code(), oidc::GeneralErrorCode::programCanceledAuthorizationFlow);
    EXPECT_FALSE(ending->error->isUserCancel());
    EXPECT_EQ(ending->count, 1);
}

TEST_F(FlowSessionTest, ABrowserThatCannotOpenEndsTheFlowOnTheNextTurn) {
    host.simBrowser().available = false;
    auto flow = start();
    EXPECT_EQ(ending->count, 0) << "reported inside present()";
    host.runUntilIdle();
    ASSERT_EQ(ending->count, 1);
    ASSERT_TRUE(ending->error);
    EXPECT_EQ(ending->error->code(), oidc::GeneralErrorCode::browserOpenError);
    EXPECT_FALSE(flow->isPending());
}

TEST_F(FlowSessionTest, AWebAuthenticationSessionReturnsTheRedirectItself) {
    auto window = host.addWindow(false, true);
    auto flow = start(std::make_shared<oidc::WebAuthenticationUserAgent>(window));
    auto session = host.simWebAuthentication().presenting();
    ASSERT_TRUE(session);
    EXPECT_EQ(session->url(), flow->request().authorizationRequestURL().buffer());
    EXPECT_EQ(session->callbackURLScheme(), "quillet");
    EXPECT_EQ(session->presentingWindow(), window);

    EXPECT_FALSE(session->navigate("https://auth.corvane.example/login"));
    EXPECT_TRUE(session->navigate(redirect(*flow)));
    host.runUntilIdle();
    ASSERT_EQ(ending->count, 1);
    ASSERT_TRUE(ending->response);
    EXPECT_EQ(ending->response->authorizationCode, "the-code");
}

TEST_F(FlowSessionTest, AWebAuthenticationSessionReportsTheUsersCancelAndOtherFailuresApart) {
    auto window = host.addWindow(false, true);
    start(std::make_shared<oidc::WebAuthenticationUserAgent>(window));
    ASSERT_TRUE(host.simWebAuthentication().presenting()->userCancel());
    host.runUntilIdle();
    ASSERT_TRUE(ending->error);
    EXPECT_TRUE(ending->error->isUserCancel());

    ending = std::make_shared<Ending>();
    start(std::make_shared<oidc::WebAuthenticationUserAgent>(window));
    ASSERT_TRUE(host.simWebAuthentication().presenting()->fail(
        platform::WebAuthenticationSessionError::presentationContextInvalid));
    host.runUntilIdle();
    ASSERT_TRUE(ending->error);
    EXPECT_EQ(ending->error->domain(), platform::WebAuthenticationSessionError::domain);
    EXPECT_EQ(ending->error->code(),
              platform::WebAuthenticationSessionError::presentationContextInvalid);

    // A page that returns to our scheme but not to the redirect URI fails the flow rather
    // than leaving it waiting for ever.
    ending = std::make_shared<Ending>();
    start(std::make_shared<oidc::WebAuthenticationUserAgent>(window));
    ASSERT_TRUE(host.simWebAuthentication().presenting()->navigate("quillet://elsewhere"));
    host.runUntilIdle();
    ASSERT_TRUE(ending->error);
    EXPECT_FALSE(ending->error->isUserCancel());

    ending = std::make_shared<Ending>();
    start(std::make_shared<oidc::WebAuthenticationUserAgent>(nullptr));
    host.runUntilIdle();
    ASSERT_TRUE(ending->error);
    EXPECT_EQ(ending->error->code(),
              platform::WebAuthenticationSessionError::presentationContextNotProvided);
}

TEST_F(FlowSessionTest, AFlowResumedFromElsewhereClosesItsPageAndLetsGoOfIt) {
    // The redirect reaches the application through its URL handler while the page still
    // shows: the page closes, and neither the page nor the flow keeps the other alive.
    auto window = host.addWindow(false, true);
    auto flow = start(std::make_shared<oidc::WebAuthenticationUserAgent>(window));
    auto session = host.simWebAuthentication().presenting();
    ASSERT_TRUE(session);
    EXPECT_TRUE(flow->resume(redirect(*flow)));
    EXPECT_EQ(session->phase(), SimWebAuthenticationSession::Phase::cancelled);
    EXPECT_FALSE(host.simWebAuthentication().presenting());
    ASSERT_EQ(ending->count, 1);
    ASSERT_TRUE(ending->response);

    std::weak_ptr<AuthorizationFlowSession> weak = flow;
    flow.reset();
    EXPECT_TRUE(weak.expired()) << "the page's completion still holds the flow";
}

TEST_F(FlowSessionTest, CancellingAFlowDismissesItsWebAuthenticationSession) {
    auto window = host.addWindow(false, true);
    auto flow = start(std::make_shared<oidc::WebAuthenticationUserAgent>(window));
    auto session = host.simWebAuthentication().presenting();
    ASSERT_TRUE(session);
    EXPECT_TRUE(flow->cancel());
    EXPECT_EQ(session->phase(), SimWebAuthenticationSession::Phase::cancelled);
    EXPECT_FALSE(session->navigate(redirect(*flow)));
    host.runUntilIdle();
    EXPECT_EQ(ending->count, 1);
    EXPECT_TRUE(ending->error->isUserCancel());
}

} // namespace

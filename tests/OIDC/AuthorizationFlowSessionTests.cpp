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
          "quillet:///callback", "/auth/callback", "", "%%%", "quillet://auth/call%62ack",
          "quillet://auth/CALLBACK"}) {
        SCOPED_TRACE(other);
        EXPECT_EQ(flow->resumeWithResult(other + query).outcome,
                  AuthorizationFlowSession::ResumeOutcome::notRedirectURL);
        EXPECT_TRUE(flow->isPending());
    }
    EXPECT_EQ(ending->count, 0);
    // Scheme and host compare without regard to case; the path does not.
    EXPECT_TRUE(flow->resume("QuilleT://AUTH/callback" + query));
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

TEST_F(FlowSessionTest, AReturnWithoutTheRightStateIsIgnoredAndTheFlowWaitsForTheRealOne) {
    // Any page can open the redirect URL: without the state that was sent, a return proves
    // nothing, whether it carries a code or an error.
    auto flow = start();
    const std::string s = *flow->request().state;
    const std::string forged[] = {
        "quillet://auth/callback?code=c",
        "quillet://auth/callback?code=c&state=",
        "quillet://auth/callback?code=c&state=forged",
        "quillet://auth/callback?code=c&state=" + s + "x",
        "quillet://auth/callback?code=c&state=" + s.substr(0, s.size() - 1),
        "quillet://auth/callback?code=c&state=" + s + "&state=" + s,
        "quillet://auth/callback?error=access_denied&error_description=Your+account+is+locked",
        "quillet://auth/callback?error=access_denied&state=forged",
        "quillet://AUTH/callback?error=server_error&state=" + s + "%00",
        "quillet://auth/callback?#e...............................rror=",
    };
    for (const auto& u : forged) {
        SCOPED_TRACE(u);
        auto result = flow->resumeWithResult(u);
        EXPECT_EQ(result.outcome, AuthorizationFlowSession::ResumeOutcome::ignored);
        EXPECT_FALSE(result.reason.empty());
        // The expected state never shows in the reason.
        EXPECT_EQ(result.reason.find(s), std::string::npos);
        EXPECT_TRUE(flow->isPending());
    }
    EXPECT_EQ(ending->count, 0);
    EXPECT_EQ(host.simBrowser().openedURLs.size(), 1u);

    // The real answer still ends the flow.
    EXPECT_TRUE(flow->resume(redirect(*flow)));
    ASSERT_EQ(ending->count, 1);
    ASSERT_TRUE(ending->response);
    EXPECT_EQ(ending->response->authorizationCode, "the-code");
}

TEST_F(FlowSessionTest, AnAnswerWithTheRightStateButTwoCodesIsRefused) {
    auto flow = start();
    EXPECT_TRUE(
        flow->resume("quillet://auth/callback?code=a&code=b&state=" + *flow->request().state));
    ASSERT_EQ(ending->count, 1);
    EXPECT_FALSE(ending->response);
    ASSERT_TRUE(ending->error);
    EXPECT_EQ(ending->error->domain(), oidc::ErrorDomain::oauthAuthorization);
    EXPECT_EQ(ending->error->code(), oidc::OAuthErrorCode::clientError);
}

TEST_F(FlowSessionTest, TheIssuerInTheAnswerMustBeTheOneAsked) {
    // RFC 9207: when "iss" comes back it must be the issuer, whatever discovery said.
    struct Case {
        bool advertised;
        std::string iss; // "-" for none
        bool accepted;
    };
    const Case cases[] = {
        {false, "-", true},
        {false, "https%3A%2F%2Fauth.corvane.example", true},
        {false, "https%3A%2F%2Fevil.example", false},
        {false, "https%3A%2F%2Fauth.corvane.example%2F", false},
        {true, "-", false},
        {true, "https%3A%2F%2Fauth.corvane.example", true},
        {true, "https%3A%2F%2FAUTH.corvane.example", false},
        {true, "https%3A%2F%2Fauth.corvane.example&iss=https%3A%2F%2Fauth.corvane.example", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.advertised ? "advertised " : "") + c.iss);
        ending = std::make_shared<Ending>();
        auto request = makeRequest();
        request.configuration.authorizationResponseIssParameterSupported = c.advertised;
        auto e = ending;
        auto flow = oidc::AuthorizationService::present(
            std::move(request), std::make_shared<oidc::BrowserUserAgent>(),
            [e](std::optional<AuthorizationResponse> r, std::optional<oidc::Error> err) {
                ++e->count;
                e->response = std::move(r);
                e->error = std::move(err);
            });
        EXPECT_TRUE(flow->resume(redirect(*flow, c.iss == "-" ? "" : "&iss=" + c.iss)));
        ASSERT_EQ(ending->count, 1);
        EXPECT_EQ(ending->response.has_value(), c.accepted);
        if (!c.accepted) {
            ASSERT_TRUE(ending->error);
            EXPECT_EQ(ending->error->code(), oidc::OAuthErrorCode::clientError);
        }
    }
    // An error answer from another issuer is no answer of ours either.
    ending = std::make_shared<Ending>();
    auto flow = start();
    EXPECT_TRUE(flow->resume("quillet://auth/callback?error=access_denied&iss=https%3A%2F%2Fevil."
                             "example&state=" +
                             *flow->request().state));
    ASSERT_TRUE(ending->error);
    EXPECT_EQ(ending->error->code(), oidc::OAuthErrorCode::clientError);
    EXPECT_FALSE(ending->error->oauthError());
}

TEST_F(FlowSessionTest, OddQueriesAreReadSafelyAndBrokenEscapesAreRefused) {
    // An empty query before a fragment (a shape that upset the URL library's own iterator):
    // read safely, and without a state it ends nothing.
    auto flow = start();
    EXPECT_EQ(
        flow->resumeWithResult("quillet://auth/callback?#e...............................rror=")
            .outcome,
        AuthorizationFlowSession::ResumeOutcome::ignored);
    EXPECT_TRUE(flow->isPending());

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

TEST_F(FlowSessionTest, AnErrorWithTheRightStateEndsTheFlowDescribedOnlyByItsCode) {
    auto flow = start();
    EXPECT_TRUE(flow->resume("quillet://auth/callback?error=access_denied&error_description="
                             "The+user+said+no&state=" +
                             *flow->request().state));
    ASSERT_TRUE(ending->error);
    EXPECT_EQ(ending->error->domain(), oidc::ErrorDomain::oauthAuthorization);
    EXPECT_EQ(ending->error->code(), oidc::OAuthErrorCode::accessDenied);
    EXPECT_EQ(ending->error->oauthError(), "access_denied");
    EXPECT_EQ(ending->error->oauthErrorDescription(), "The user said no");
    // The server's words are not the description.
    EXPECT_EQ(ending->error->localizedDescription(), "access_denied");

    // A code that RFC 6749 does not list is described as "unknown", however it reads.
    for (std::string code : {"login_required", "Access_Denied", "%E2%80%AEevil%0A"}) {
        SCOPED_TRACE(code);
        ending = std::make_shared<Ending>();
        auto other = start();
        EXPECT_TRUE(other->resume("quillet://auth/callback?error=" + code +
                                  "&error_description=Call+us&state=" + *other->request().state));
        ASSERT_TRUE(ending->error);
        EXPECT_EQ(ending->error->code(), oidc::OAuthErrorCode::other);
        EXPECT_EQ(ending->error->localizedDescription(), "unknown");
    }
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

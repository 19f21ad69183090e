#include "CorvaneAccount/Auth/OAuthDriver.h"
#include "CorvaneAccount/Auth/PKCE.h"
#include "CorvaneAccount/Foundation/CorvaneError.h"
#include "OIDC/TokenUtilities.h"
#include "Platform/Sim/SimHost.h"
#include "Platform/Sim/SimHttpSession.h"
#include "tests/support/AsyncCall.h"

#include <gtest/gtest.h>

#include <boost/url/parse.hpp>
#include <nlohmann/json.hpp>

#include <map>
#include <set>
#include <string>
#include <vector>

using corvane::CancellationError;
using corvane::CorvaneError;
using corvane::CorvaneLogLevel;
using corvane::OAuthAuthorizationResult;
using corvane::OAuthDriver;
using Hint = corvane::OAuthDriver::ProviderHint;
using platform::sim::SimHttpReply;
using Call = testsupport::AsyncCall<OAuthAuthorizationResult>;

namespace {

constexpr const char* authority = "https://auth.corvane.example";

struct LogLine {
    CorvaneLogLevel level;
    std::string event;
    std::map<std::string, std::string> fields;
};

boost::urls::url url(const std::string& text) {
    return boost::urls::url(*boost::urls::parse_uri(text));
}

// The decoded query parameters of a URL, in order.
std::vector<std::pair<std::string, std::string>> queryOf(const std::string& text) {
    boost::urls::encoding_opts form;
    form.space_as_plus = true;
    std::vector<std::pair<std::string, std::string>> out;
    auto u = *boost::urls::parse_uri(text);
    for (auto p : u.params(form))
        out.emplace_back(std::string(p.key), std::string(p.value));
    return out;
}

std::optional<std::string> param(const std::string& text, const std::string& name) {
    for (auto& [k, v] : queryOf(text))
        if (k == name)
            return v;
    return std::nullopt;
}

class OAuthDriverTest : public ::testing::Test {
protected:
    OAuthDriverTest() {
        nlohmann::json doc{{"issuer", authority},
                           {"authorization_endpoint", std::string(authority) + "/authorize"},
                           {"token_endpoint", std::string(authority) + "/token"}};
        host.simHttp().route("GET", "/.well-known/openid-configuration",
                             SimHttpReply::json(200, doc.dump()));
        driver = std::make_shared<OAuthDriver>(config());
    }

    // A sign-in task started here holds the driver, and the driver's flow holds the task: a
    // flow a test leaves open is ended, so that the task finishes and lets go of the driver.
    ~OAuthDriverTest() override {
        if (driver)
            driver->cancelInFlight();
        host.runUntilIdle();
    }

    corvane::CorvaneConfig config() {
        return corvane::CorvaneConfig(
            url(authority), url("https://id.corvane.example"), "quillet", "quillet-mac", "0.3.1",
            "0.9.5", url("quillet://auth/callback"), corvane::AuthScheme::systemBrowser,
            std::nullopt, {"openid", "email"}, &host.simHttp(),
            [this](CorvaneLogLevel level, const std::string& event,
                   const std::map<std::string, std::string>& fields) {
                logs.push_back({level, event, fields});
            },
            std::nullopt);
    }

    std::shared_ptr<Call> browserSignIn(std::optional<Hint> hint = std::nullopt,
                                        boost::asio::cancellation_signal* signal = nullptr) {
        auto d = driver;
        auto call = testsupport::startCall<OAuthAuthorizationResult>(
            [d, hint] { return d->authorizeViaSystemBrowser(hint); }, signal);
        host.runUntilIdle();
        return call;
    }

    std::shared_ptr<Call> windowSignIn(std::shared_ptr<platform::Window> window,
                                       std::optional<Hint> hint = std::nullopt) {
        auto d = driver;
        auto call = testsupport::startCall<OAuthAuthorizationResult>(
            [d, window, hint] { return d->authorize(window, hint); });
        host.runUntilIdle();
        return call;
    }

    const std::string& lastOpened() {
        static const std::string none;
        auto& opened = host.simBrowser().openedURLs;
        return opened.empty() ? none : opened.back();
    }

    // The redirect the identity provider sends for the authorization URL `authURL`.
    static std::string redirectFor(const std::string& authURL, const std::string& code = "c0de") {
        return "quillet://auth/callback?code=" + code + "&state=" + *param(authURL, "state");
    }

    std::vector<LogLine> logged(const std::string& event) const {
        std::vector<LogLine> out;
        for (auto& l : logs)
            if (l.event == event)
                out.push_back(l);
        return out;
    }

    static void expectError(const Call& call, const CorvaneError& expected) {
        ASSERT_TRUE(call.finished);
        auto e = call.errorAs<CorvaneError>();
        ASSERT_TRUE(e) << "did not end with a CorvaneError";
        EXPECT_EQ(*e, expected) << e->errorDescription();
    }

    platform::sim::SimHost host;
    std::vector<LogLine> logs;
    std::shared_ptr<OAuthDriver> driver;
};

TEST_F(OAuthDriverTest, BrowserSignInReturnsTheCodeTheVerifierOfTheChallengeAndTheState) {
    auto call = browserSignIn();
    ASSERT_FALSE(call->finished);
    ASSERT_EQ(host.simBrowser().openedURLs.size(), 1u);
    const std::string authURL = lastOpened();
    EXPECT_EQ(authURL.rfind(std::string(authority) + "/authorize?", 0), 0u) << authURL;
    EXPECT_EQ(param(authURL, "client_id"), "quillet-mac");
    EXPECT_EQ(param(authURL, "redirect_uri"), "quillet://auth/callback");
    EXPECT_EQ(param(authURL, "response_type"), "code");
    EXPECT_EQ(param(authURL, "scope"), "openid email");
    EXPECT_EQ(param(authURL, "code_challenge_method"), "S256");
    ASSERT_TRUE(param(authURL, "nonce"));

    EXPECT_TRUE(driver->resume(redirectFor(authURL)));
    host.runUntilIdle();
    ASSERT_TRUE(call->value);
    EXPECT_EQ(call->value->authorizationCode, "c0de");
    EXPECT_EQ(call->value->state, param(authURL, "state"));
    ASSERT_TRUE(call->value->codeVerifier);
    EXPECT_EQ(oidc::TokenUtilities::codeChallengeS256(*call->value->codeVerifier),
              param(authURL, "code_challenge"));
    EXPECT_FALSE(driver->hasSessionInProgress());
    EXPECT_TRUE(logs.empty());
}

TEST_F(OAuthDriverTest, TheHintAddsProviderAndOnlyGoogleAddsPromptAfterTheLibraryParameters) {
    struct Case {
        std::optional<Hint> hint;
        std::vector<std::pair<std::string, std::string>> tail;
    };
    const std::vector<std::pair<std::string, std::string>> ours{{"corvane_app_slug", "quillet"},
                                                                {"corvane_client_version", "0.3.1"},
                                                                {"corvane_lib_version", "0.9.5"}};
    std::vector<Case> cases{
        {std::nullopt, {}},
        {Hint::apple, {{"provider", "apple"}}},
        {Hint::email, {{"provider", "email"}}},
        {Hint::google, {{"provider", "google"}, {"prompt", "select_account"}}},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.hint ? std::string(corvane::rawValue(*c.hint)) : "none");
        auto call = browserSignIn(c.hint);
        auto query = queryOf(lastOpened());
        auto expected = ours;
        expected.insert(expected.end(), c.tail.begin(), c.tail.end());
        ASSERT_GE(query.size(), expected.size());
        std::vector<std::pair<std::string, std::string>> last(query.end() - expected.size(),
                                                              query.end());
        EXPECT_EQ(last, expected);
        EXPECT_EQ(param(lastOpened(), "prompt").has_value(), c.hint == Hint::google);
        EXPECT_TRUE(driver->cancelInFlight());
        host.runUntilIdle();
        expectError(*call, CorvaneError::authorizationCancelled());
    }
}

TEST_F(OAuthDriverTest, ABrowserSignInUnansweredFor300SecondsIsCancelled) {
    auto call = browserSignIn(Hint::apple);
    host.advance(299.5);
    EXPECT_FALSE(call->finished);
    EXPECT_TRUE(driver->hasSessionInProgress());
    host.advance(1);
    expectError(*call, CorvaneError::authorizationCancelled());
    EXPECT_FALSE(driver->hasSessionInProgress());
    auto lines = logged("oauth_authorize_failed");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, CorvaneLogLevel::info);
    EXPECT_EQ(lines[0].fields,
              (std::map<std::string, std::string>{{"class", "cancelled"},
                                                  {"provider", "apple"},
                                                  {"error_domain", "org.openid.appauth.general"},
                                                  {"error_code", "-3"}}));
}

TEST_F(OAuthDriverTest, TheTimerOfAFinishedFlowLeavesTheNextFlowAlone) {
    auto first = browserSignIn();
    host.advance(10);
    ASSERT_TRUE(driver->resume(redirectFor(lastOpened())));
    host.runUntilIdle();
    ASSERT_TRUE(first->value);

    // A second sign-in, started while the first one's 300 seconds are still running.
    host.advance(90);
    auto second = browserSignIn();
    host.advance(250); // past the first flow's deadline (t = 300), well inside the second's
    EXPECT_FALSE(second->finished) << "the first flow's timer cancelled the second flow";
    EXPECT_TRUE(driver->hasSessionInProgress());
    EXPECT_TRUE(driver->resume(redirectFor(lastOpened(), "second")));
    host.runUntilIdle();
    ASSERT_TRUE(second->value);
    EXPECT_EQ(second->value->authorizationCode, "second");
}

TEST_F(OAuthDriverTest, TheSecondFlowStillHasItsOwn300Seconds) {
    auto first = browserSignIn();
    host.advance(100);
    ASSERT_TRUE(driver->cancelInFlight());
    host.runUntilIdle();
    auto second = browserSignIn();
    host.advance(299);
    EXPECT_FALSE(second->finished);
    host.advance(2);
    expectError(*second, CorvaneError::authorizationCancelled());
}

TEST_F(OAuthDriverTest, ASecondBrowserSignInIsRefusedAtOnceWithoutDisturbingTheFirst) {
    auto first = browserSignIn(Hint::google);
    const std::string firstURL = lastOpened();
    auto second = browserSignIn(Hint::email);
    expectError(*second, CorvaneError::authorizationFailed("sign_in_already_in_progress"));
    EXPECT_EQ(host.simBrowser().openedURLs.size(), 1u);
    EXPECT_FALSE(first->finished);
    EXPECT_TRUE(logs.empty());

    EXPECT_TRUE(driver->resume(redirectFor(firstURL)));
    host.runUntilIdle();
    ASSERT_TRUE(first->value);
}

TEST_F(OAuthDriverTest, ResumeAnswersFalseWithoutAFlowAndForAForeignURL) {
    EXPECT_FALSE(driver->resume("quillet://auth/callback?code=c&state=s"));
    EXPECT_FALSE(driver->cancelInFlight());
    auto call = browserSignIn();
    EXPECT_FALSE(
        driver->resume("quillet://signed-in?code=c&state=" + *param(lastOpened(), "state")));
    EXPECT_TRUE(driver->hasSessionInProgress());
    EXPECT_FALSE(call->finished);
    EXPECT_TRUE(driver->cancelInFlight());
    EXPECT_FALSE(driver->cancelInFlight());
    host.runUntilIdle();
    expectError(*call, CorvaneError::authorizationCancelled());
}

TEST_F(OAuthDriverTest, RedirectsThatAreNotASuccessEndAsFailuresAndLogNoSecrets) {
    struct Case {
        const char* name;
        std::function<std::string(const std::string& state)> redirect;
        CorvaneError expected;
        std::string errorDomain;
    };
    std::vector<Case> cases{
        {"oauth error",
         [](auto& s) {
             return "quillet://auth/callback?error=access_denied&error_description=No+thanks&"
                    "state=" +
                    s;
         },
         CorvaneError::authorizationFailed("access_denied"),
         "org.openid.appauth.oauth_authorization"},
        {"another issuer",
         [](auto& s) {
             return "quillet://auth/callback?code=c0de&iss=https%3A%2F%2Fevil.example&state=" + s;
         },
         CorvaneError::authorizationFailed(
             "The authorization response was refused: the response comes from another issuer"),
         "org.openid.appauth.oauth_authorization"},
        {"no code", [](auto& s) { return "quillet://auth/callback?state=" + s; },
         CorvaneError::authorizationFailed("empty_response"), ""},
        {"empty code", [](auto& s) { return "quillet://auth/callback?code=&state=" + s; },
         CorvaneError::authorizationFailed("empty_response"), ""},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        logs.clear();
        auto call = browserSignIn(Hint::email);
        const std::string state = *param(lastOpened(), "state");
        EXPECT_TRUE(driver->resume(c.redirect(state)));
        host.runUntilIdle();
        expectError(*call, c.expected);
        EXPECT_FALSE(call->value);
        auto lines = logged("oauth_authorize_failed");
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].level, CorvaneLogLevel::warning);
        EXPECT_EQ(lines[0].fields.at("class"), "auth");
        EXPECT_EQ(lines[0].fields.at("provider"), "email");
        if (c.errorDomain.empty())
            EXPECT_EQ(lines[0].fields.count("error_domain"), 0u);
        else
            EXPECT_EQ(lines[0].fields.at("error_domain"), c.errorDomain);
        for (auto& [k, v] : lines[0].fields) {
            EXPECT_EQ(v.find(state), std::string::npos) << k;
            EXPECT_EQ(v.find("c0de"), std::string::npos) << k;
        }
    }
}

TEST_F(OAuthDriverTest, ForgedReturnsAreIgnoredAndLoggedAndTheFlowWaitsForTheRealOne) {
    auto call = browserSignIn(Hint::email);
    const std::string state = *param(lastOpened(), "state");
    // Any page may open these while the browser waits; none knows the state.
    const std::string forged[] = {
        "quillet://auth/callback?error=access_denied&error_description=Your+account+is+"
        "locked.+Call+%2B1+555+0100",
        "quillet://auth/callback?error=x&error_description=%E2%80%AEevil&state=forged",
        "quillet://AUTH/callback?code=stolen&state=" + state + "0",
        "quillet://auth/callback?code=stolen",
    };
    for (const auto& u : forged) {
        SCOPED_TRACE(u);
        EXPECT_FALSE(driver->resume(u));
    }
    host.runUntilIdle();
    EXPECT_FALSE(call->finished);
    EXPECT_TRUE(driver->hasSessionInProgress());
    auto ignored = logged("oauth_redirect_ignored");
    ASSERT_EQ(ignored.size(), 4u);
    for (const auto& line : ignored) {
        EXPECT_EQ(line.level, CorvaneLogLevel::warning);
        for (auto& [k, v] : line.fields) {
            EXPECT_EQ(v.find(state), std::string::npos) << k;
            EXPECT_EQ(v.find("stolen"), std::string::npos) << k;
            EXPECT_EQ(v.find("locked"), std::string::npos) << k;
        }
    }
    EXPECT_TRUE(logged("oauth_authorize_failed").empty());

    // The real answer, with an upper-case host, still ends the flow.
    EXPECT_TRUE(driver->resume("quillet://AUTH/callback?code=c0de&state=" + state));
    host.runUntilIdle();
    ASSERT_TRUE(call->value);
    EXPECT_EQ(call->value->authorizationCode, "c0de");
}

TEST_F(OAuthDriverTest, AnErrorAnswerShowsOnlyItsCodeAndLogsItsTextMadeSafe) {
    // 300 characters of text with a line break, a right-to-left override, an isolate and an
    // invalid byte among them.
    std::string description = "Line%0Aone%E2%80%AEgnol%E2%81%A6x%FF";
    for (int i = 0; i < 290; ++i)
        description += "%C3%A9";
    struct Case {
        std::string error;
        std::string shown;
    };
    for (const Case& c :
         {Case{"temporarily_unavailable", "temporarily_unavailable"},
          Case{"server_error", "server_error"}, Case{"Please+call+%2B1+555+0100", "unknown"},
          Case{"%E2%80%AEdeinied", "unknown"}}) {
        SCOPED_TRACE(c.error);
        logs.clear();
        auto call = browserSignIn();
        const std::string state = *param(lastOpened(), "state");
        EXPECT_TRUE(driver->resume("quillet://auth/callback?error=" + c.error +
                                   "&error_description=" + description + "&state=" + state));
        host.runUntilIdle();
        expectError(*call, CorvaneError::authorizationFailed(c.shown));
        EXPECT_EQ(call->errorAs<CorvaneError>()->errorDescription(), "Sign-in failed: " + c.shown);

        auto lines = logged("oauth_authorize_failed");
        ASSERT_EQ(lines.size(), 1u);
        const std::string& logged = lines[0].fields.at("error_description");
        EXPECT_EQ(logged.substr(0, 13), "Lineonegnolx\xC3");
        EXPECT_EQ(logged.find('\n'), std::string::npos);
        EXPECT_EQ(logged.find("\xE2\x80\xAE"), std::string::npos);
        EXPECT_EQ(logged.find("\xE2\x81\xA6"), std::string::npos);
        EXPECT_EQ(logged.find('\xFF'), std::string::npos);
        // 12 characters, then 188 of the 290 accented ones: 200 characters.
        EXPECT_EQ(logged.size(), 12u + 188u * 2u);
        EXPECT_EQ(lines[0].fields.at("oauth_error").find("\xE2\x80\xAE"), std::string::npos);
    }
}

TEST_F(OAuthDriverTest, CancellingDuringDiscoveryEndsTheSignInAtOnceAndNothingShowsLater) {
    nlohmann::json doc{{"issuer", authority},
                       {"authorization_endpoint", std::string(authority) + "/authorize"},
                       {"token_endpoint", std::string(authority) + "/token"}};
    host.simHttp().route("GET", "/.well-known/openid-configuration",
                         SimHttpReply::json(200, doc.dump()).after(20));
    auto call = browserSignIn();
    host.advance(5);
    ASSERT_FALSE(call->finished);
    EXPECT_FALSE(driver->hasSessionInProgress());

    EXPECT_TRUE(driver->cancelInFlight());
    host.runUntilIdle();
    expectError(*call, CorvaneError::authorizationCancelled());
    EXPECT_EQ(call->completions, 1);
    auto lines = logged("oauth_authorize_failed");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].fields.at("class"), "cancelled");

    // The discovery's answer would have come now: nothing opens, nothing waits.
    host.advance(60);
    EXPECT_TRUE(host.simBrowser().openedURLs.empty());
    EXPECT_FALSE(driver->hasSessionInProgress());
    EXPECT_FALSE(driver->cancelInFlight());

    // A new sign-in is not refused as "already in progress".
    auto next = browserSignIn();
    host.advance(21);
    EXPECT_FALSE(next->finished);
    EXPECT_EQ(host.simBrowser().openedURLs.size(), 1u);
    EXPECT_TRUE(driver->hasSessionInProgress());
}

TEST_F(OAuthDriverTest, ADiscoveryFailureIsLoggedAndNothingIsShown) {
    host.simHttp().route("GET", "/.well-known/openid-configuration", SimHttpReply::json(503, "{}"));
    auto call = browserSignIn(Hint::google);
    expectError(*call, CorvaneError::authorizationFailed(
                           "The discovery request failed with HTTP status 503."));
    EXPECT_TRUE(host.simBrowser().openedURLs.empty());
    EXPECT_FALSE(driver->hasSessionInProgress());
    auto lines = logged("oauth_discovery_failed");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, CorvaneLogLevel::warning);
    EXPECT_EQ(lines[0].fields, (std::map<std::string, std::string>{
                                   {"class", "transport"},
                                   {"error_domain", "org.openid.appauth.remote-http"},
                                   {"error_code", "503"}}));
    EXPECT_TRUE(logged("oauth_authorize_failed").empty());
}

TEST_F(OAuthDriverTest, TheWindowPathUsesAWebAuthenticationSessionAttachedToTheWindow) {
    auto window = host.addWindow(false, true);
    auto call = windowSignIn(window, Hint::google);
    auto session = host.simWebAuthentication().presenting();
    ASSERT_TRUE(session);
    EXPECT_EQ(session->presentingWindow(), window);
    EXPECT_EQ(session->callbackURLScheme(), "quillet");
    EXPECT_EQ(param(session->url(), "prompt"), "select_account");
    EXPECT_TRUE(host.simBrowser().openedURLs.empty());

    ASSERT_TRUE(session->navigate(redirectFor(session->url())));
    host.runUntilIdle();
    ASSERT_TRUE(call->value);
    EXPECT_EQ(call->value->authorizationCode, "c0de");
    EXPECT_FALSE(driver->hasSessionInProgress());

    // The user closing the sheet is a cancel; no timer runs on this path.
    auto cancelled = windowSignIn(window);
    host.advance(1000);
    EXPECT_FALSE(cancelled->finished);
    ASSERT_TRUE(host.simWebAuthentication().presenting()->userCancel());
    host.runUntilIdle();
    expectError(*cancelled, CorvaneError::authorizationCancelled());
}

TEST_F(OAuthDriverTest, TheWindowPathReplacesAFlowInProgressAndEndsTheReplacedOne) {
    auto window = host.addWindow(false, true);
    auto first = windowSignIn(window);
    auto firstSession = host.simWebAuthentication().presenting();
    auto second = windowSignIn(window);
    ASSERT_TRUE(first->finished);
    EXPECT_TRUE(first->errorAs<CancellationError>());
    EXPECT_EQ(firstSession->phase(), platform::sim::SimWebAuthenticationSession::Phase::cancelled);
    EXPECT_FALSE(second->finished);

    auto session = host.simWebAuthentication().presenting();
    ASSERT_TRUE(session);
    ASSERT_NE(session, firstSession);
    EXPECT_TRUE(driver->resume(redirectFor(session->url(), "via-resume")));
    host.runUntilIdle();
    ASSERT_TRUE(second->value);
    EXPECT_EQ(second->value->authorizationCode, "via-resume");
}

TEST_F(OAuthDriverTest, CancellingTheAwaitingTaskEndsTheFlowWithTheProgramsCancel) {
    boost::asio::cancellation_signal signal;
    auto call = browserSignIn(std::nullopt, &signal);
    ASSERT_TRUE(driver->hasSessionInProgress());
    signal.emit(boost::asio::cancellation_type::terminal);
    host.runUntilIdle();
    ASSERT_TRUE(call->finished);
    EXPECT_TRUE(call->errorAs<CancellationError>());
    EXPECT_FALSE(driver->hasSessionInProgress());
    EXPECT_EQ(call->completions, 1);
    // A new sign-in may start at once.
    auto next = browserSignIn();
    EXPECT_FALSE(next->finished);
    EXPECT_TRUE(driver->hasSessionInProgress());
}

TEST_F(OAuthDriverTest, ADriverThatGoesAwayEndsItsFlowInsteadOfLeavingItsTaskWaiting) {
    // The task does not own the driver (the facade does).
    OAuthDriver* raw = driver.get();
    auto call = testsupport::startCall<OAuthAuthorizationResult>(
        [raw] { return raw->authorizeViaSystemBrowser(std::nullopt); });
    host.runUntilIdle();
    ASSERT_TRUE(driver->hasSessionInProgress());
    driver.reset();
    host.runUntilIdle();
    ASSERT_TRUE(call->finished);
    EXPECT_TRUE(call->errorAs<CancellationError>());
    host.advance(400); // its timer finds nothing
    EXPECT_EQ(call->completions, 1);
}

TEST(PKCE, AVerifierIs43URLSafeCharactersAndItsChallengeIsTheirSHA256) {
    std::set<std::string> seen;
    for (int i = 0; i < 5; ++i) {
        auto pkce = corvane::PKCE::generate();
        EXPECT_EQ(pkce.codeVerifier.size(), 43u);
        EXPECT_EQ(pkce.codeVerifier.find_first_not_of(
                      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"),
                  std::string::npos);
        EXPECT_EQ(pkce.codeChallengeMethod, "S256");
        EXPECT_EQ(pkce, corvane::PKCE(pkce.codeVerifier));
        EXPECT_EQ(pkce.codeChallenge.size(), 43u);
        EXPECT_TRUE(seen.insert(pkce.codeVerifier).second);
    }
    // RFC 7636 Appendix B.
    corvane::PKCE known("dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk");
    EXPECT_EQ(known.codeChallenge, "E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM");
}

TEST(ProviderHint, RawValuesRoundTrip) {
    for (auto [hint, raw] : {std::pair{Hint::apple, "apple"}, std::pair{Hint::google, "google"},
                             std::pair{Hint::email, "email"}}) {
        EXPECT_EQ(corvane::rawValue(hint), raw);
        EXPECT_EQ(corvane::providerHintFromRaw(raw), hint);
    }
    EXPECT_FALSE(corvane::providerHintFromRaw("Google"));
}

} // namespace

#include "CorvaneAccount/Facade/CorvaneAccountManager.h"
#include "CorvaneAccount/Storage/KeychainStorage.h"
#include "CorvaneAccount/Transport/AuthClient.h"
#include "Platform/Sim/SimHost.h"
#include "Platform/Sim/SimHttpSession.h"
#include "Platform/Sim/SimWebAuthentication.h"
#include "tests/support/AsyncTestSupport.h"
#include "tests/support/IdentityFixtures.h"

#include <boost/url/parse.hpp>
#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace corvane;
using platform::HttpRequest;
using platform::sim::SimHttpReply;
using State = CorvaneAccountManager::State;

using test_support::accountID;
using test_support::casJSON;
using test_support::queryValue;

namespace {

class CorvaneAccountManagerTest : public ::testing::Test {
protected:
    CorvaneAccountManagerTest() {
        server().route("GET", "/.well-known/openid-configuration",
                       SimHttpReply::json(
                           200,
                           R"({"issuer":"https://auth.corvane.example",)"
                           R"("authorization_endpoint":"https://auth.corvane.example/authorize",)"
                           R"("token_endpoint":"https://auth.corvane.example/token"})"));
    }

    CorvaneConfig config(std::optional<std::string> installID = "install-1") {
        return CorvaneConfig(
            boost::urls::url("https://auth.corvane.example"),
            boost::urls::url("https://id.corvane.example"), "quillet", "quillet-desktop", "1.0.0",
            "0.9.5", boost::urls::url("quillet://auth/callback"), AuthScheme::systemBrowser,
            std::nullopt, {"openid", "email"}, &host.simHttp(), {}, std::move(installID));
    }

    std::shared_ptr<CorvaneAccountManager>
    make(std::optional<std::string> installID = "install-1") {
        auto m = CorvaneAccountManager::create(config(std::move(installID)));
        subscription = m->onStateChange([this](const State& s) { states.push_back(s); });
        return m;
    }

    platform::sim::SimHttpSession& server() { return host.simHttp(); }
    KeychainStorage storage() { return KeychainStorage("quillet", std::nullopt); }

    void storeSession(const std::string& cas, std::optional<std::string> refresh,
                      std::chrono::seconds expiresIn) {
        StoredSession s{cas,
                        std::move(refresh),
                        platform::now() + expiresIn,
                        {{accountID}, "ada@example.com", std::nullopt},
                        "quillet",
                        platform::now()};
        storage().setJSON(s, KeychainStorage::Keys::session);
    }
    std::optional<StoredSession> stored() {
        return storage().getJSON<StoredSession>(KeychainStorage::Keys::session);
    }

    // Starts a browser sign-in and answers the authorization like the provider would.
    std::shared_ptr<test_support::Outcome<CorvaneAccount>> signInThroughBrowser() {
        const auto opened = host.simBrowser().openedURLs.size();
        auto outcome =
            test_support::start(manager->signInViaSystemBrowser(std::nullopt, std::nullopt));
        host.advance(1);
        EXPECT_EQ(host.simBrowser().openedURLs.size(), opened + 1);
        return outcome;
    }

    platform::sim::SimHost host;
    // Declared before the manager: make() fills them in.
    std::vector<State> states;
    std::unique_ptr<CorvaneAccountManager::StateSubscription> subscription;
    std::shared_ptr<CorvaneAccountManager> manager = make();
};

} // namespace

TEST_F(CorvaneAccountManagerTest, ABrowserSignInExchangesTheCodeAndStoresTheSession) {
    server().route("POST", "/api/app-sessions/exchange",
                   SimHttpReply::json(
                       200, casJSON("cas-1", "rt-1", platform::now() + std::chrono::hours(24))));
    auto outcome = signInThroughBrowser();
    EXPECT_EQ(manager->state(), State::signingIn(true));

    const std::string url = host.simBrowser().openedURLs.at(0);
    const std::string state = queryValue(url, "state");
    ASSERT_FALSE(state.empty());
    // A foreign URL and a tampered state are refused; the real redirect completes the flow.
    EXPECT_FALSE(manager->resume("quillet://elsewhere/callback?code=x&state=" + state));
    EXPECT_TRUE(manager->resume("quillet://auth/callback?code=the-code&state=" + state));
    test_support::runUntilFinished(host, outcome);
    ASSERT_TRUE(outcome->value) << "sign-in failed";
    EXPECT_EQ(outcome->value->emailPrimary, "ada@example.com");
    EXPECT_EQ(manager->state(), State::signedIn(*outcome->value));

    // The exchange carries the code, the PKCE verifier whose challenge went to the browser,
    // the redirect URI and the installation id; no bearer token.
    ASSERT_EQ(server().count("POST", "/api/app-sessions/exchange"), 1u);
    const HttpRequest& exchange = server().requests().back();
    auto body = nlohmann::json::parse(std::string(exchange.body.begin(), exchange.body.end()));
    EXPECT_EQ(body["code"], "the-code");
    EXPECT_EQ(body["redirect_uri"], "quillet://auth/callback");
    EXPECT_EQ(body["install_id"], "install-1");
    EXPECT_EQ(body["code_verifier"].get<std::string>().size(), 43u);
    EXPECT_FALSE(exchange.headers.value("Authorization"));

    auto session = stored();
    ASSERT_TRUE(session);
    EXPECT_EQ(session->cas, "cas-1");
    EXPECT_EQ(session->refreshToken, "rt-1");
    ASSERT_GE(states.size(), 2u);
    EXPECT_EQ(states.front(), State::signingIn(true));
    EXPECT_EQ(states.back(), manager->state());
}

TEST_F(CorvaneAccountManagerTest, AFailedOrCancelledSignInEndsInFailedAndRethrows) {
    auto cancelled = signInThroughBrowser();
    EXPECT_TRUE(manager->cancelSignIn());
    test_support::runUntilFinished(host, cancelled);
    EXPECT_EQ(cancelled->errorAs<CorvaneError>(), CorvaneError::authorizationCancelled());
    EXPECT_EQ(manager->state(), State::failed(CorvaneError::authorizationCancelled()));
    EXPECT_FALSE(manager->cancelSignIn());
    EXPECT_FALSE(manager->resume("quillet://auth/callback?code=x&state=y"));

    // The exchange refuses the code.
    server().route("POST", "/api/app-sessions/exchange",
                   SimHttpReply::json(400, R"({"error":"invalid_grant"})"));
    auto refused = signInThroughBrowser();
    const std::string state = queryValue(host.simBrowser().openedURLs.back(), "state");
    ASSERT_TRUE(manager->resume("quillet://auth/callback?code=c&state=" + state));
    test_support::runUntilFinished(host, refused);
    EXPECT_EQ(refused->errorAs<CorvaneError>(), CorvaneError::serverError(400, "invalid_grant"));
    EXPECT_EQ(manager->state(), State::failed(CorvaneError::serverError(400, "invalid_grant")));
    EXPECT_FALSE(stored());
}

TEST_F(CorvaneAccountManagerTest, SignOutRevokesWhatIsStoredAndAlwaysEndsSignedOut) {
    // Nothing stored: no request, still signed out.
    EXPECT_FALSE(test_support::run(host, manager->signOut()).error);
    EXPECT_TRUE(server().requests().empty());
    EXPECT_EQ(manager->state(), State::signedOut());

    // A stored session is revoked with its cas, and forgotten even when revoking fails.
    storeSession("cas-9", "rt-9", std::chrono::hours(24));
    server().route("POST", "/api/sessions/revoke",
                   SimHttpReply::failure(platform::URLError::notConnectedToInternet));
    EXPECT_FALSE(test_support::run(host, manager->signOut()).error);
    ASSERT_EQ(server().count("POST", "/api/sessions/revoke"), 1u);
    EXPECT_EQ(server().requests().back().headers.value("Authorization"), "Bearer cas-9");
    EXPECT_TRUE(server().requests().back().headers.value("DPoP"));
    EXPECT_FALSE(stored());
    EXPECT_EQ(manager->state(), State::signedOut());
}

TEST_F(CorvaneAccountManagerTest, RestoreRefreshesExpiredSessionsAndForgetsOnlyDefinitiveFailures) {
    // Valid: restored without a request.
    storeSession("cas-1", "rt-1", std::chrono::hours(1));
    auto valid = test_support::run(host, manager->restore(true));
    ASSERT_TRUE(valid.value && *valid.value);
    EXPECT_TRUE(server().requests().empty());
    EXPECT_TRUE(manager->state().account());

    // Expired, and the service is unreachable: kept, offline, still signed in.
    storeSession("cas-1", "rt-1", -std::chrono::hours(1));
    server().route("POST", "/api/app-sessions/refresh",
                   SimHttpReply::failure(platform::URLError::notConnectedToInternet));
    auto offline = test_support::run(host, manager->restore(true));
    ASSERT_TRUE(offline.value && *offline.value);
    EXPECT_TRUE(manager->isOffline.get());
    EXPECT_TRUE(stored());

    // Expired and refreshed: the new session is stored and the app is online again.
    server().route("POST", "/api/app-sessions/refresh",
                   SimHttpReply::json(
                       200, casJSON("cas-2", "rt-2", platform::now() + std::chrono::hours(24))));
    auto renewed = test_support::run(host, manager->restore(true));
    ASSERT_TRUE(renewed.value && *renewed.value);
    EXPECT_FALSE(manager->isOffline.get());
    EXPECT_EQ(stored()->cas, "cas-2");
    EXPECT_EQ(stored()->refreshToken, "rt-2");

    // Expired and refused with invalid_grant: deleted.
    storeSession("cas-3", "rt-3", -std::chrono::hours(1));
    server().route("POST", "/api/app-sessions/refresh",
                   SimHttpReply::json(400, R"({"error":"invalid_grant"})"));
    auto refused = test_support::run(host, manager->restore(true));
    ASSERT_TRUE(refused.value);
    EXPECT_FALSE(*refused.value);
    EXPECT_FALSE(stored());

    // Expired without a refresh token: deleted without a request.
    storeSession("cas-4", std::nullopt, -std::chrono::hours(1));
    const auto before = server().requests().size();
    auto bare = test_support::run(host, manager->restore(true));
    EXPECT_FALSE(*bare.value);
    EXPECT_FALSE(stored());
    EXPECT_EQ(server().requests().size(), before);
}

TEST_F(CorvaneAccountManagerTest, ARotatedSessionNeverOverwritesOneReplacedMeanwhile) {
    storeSession("cas-a", "rt-a", std::chrono::hours(1));
    server().route(
        "POST", "/api/app-sessions/refresh",
        SimHttpReply::json(200, casJSON("cas-b", "rt-b", platform::now() + std::chrono::hours(24)))
            .after(5));
    auto refresh = test_support::start(manager->authClient()->refreshSerialized("rt-a"));
    host.advance(1);
    // A new sign-in replaces the session while the refresh runs.
    storeSession("cas-new", "rt-new", std::chrono::hours(24));
    test_support::runUntilFinished(host, refresh);
    ASSERT_TRUE(refresh->value);
    EXPECT_EQ(stored()->cas, "cas-new");

    // Without interference the rotated session is written.
    storeSession("cas-c", "rt-c", std::chrono::hours(1));
    server().route("POST", "/api/app-sessions/refresh",
                   SimHttpReply::json(
                       200, casJSON("cas-d", "rt-d", platform::now() + std::chrono::hours(24))));
    ASSERT_TRUE(test_support::run(host, manager->authClient()->refreshSerialized("rt-c")).value);
    EXPECT_EQ(stored()->cas, "cas-d");
    EXPECT_EQ(stored()->refreshToken, "rt-d");
}

TEST_F(CorvaneAccountManagerTest, RecoveringARejectedSession) {
    storeSession("cas-1", "rt-1", std::chrono::hours(1));
    server().route("POST", "/api/app-sessions/refresh", SimHttpReply::http(503));
    auto transient = test_support::run(host, manager->recoverRejectedSession());
    EXPECT_EQ(transient.value, false);
    EXPECT_TRUE(manager->isOffline.get());
    EXPECT_TRUE(stored());

    server().route("POST", "/api/app-sessions/refresh", SimHttpReply::json(401, "{}"));
    auto definitive = test_support::run(host, manager->recoverRejectedSession());
    EXPECT_EQ(definitive.value, false);
    EXPECT_FALSE(stored());
    EXPECT_EQ(manager->state(), State::signedOut());
}

TEST_F(CorvaneAccountManagerTest, AHandlerReleasingItselfDoesNotDisturbTheOthers) {
    std::vector<std::string> calls;
    std::unique_ptr<CorvaneAccountManager::StateSubscription> self;
    self = manager->onStateChange([&](const State&) {
        calls.push_back("self");
        self->release();
    });
    auto other = manager->onStateChange([&](const State&) { calls.push_back("other"); });
    test_support::run(host, manager->signOut());
    test_support::run(host, manager->signOut());
    EXPECT_EQ(calls, (std::vector<std::string>{"self", "other", "other"}));
    // Destroying a subscription removes its handler too.
    other.reset();
    test_support::run(host, manager->signOut());
    EXPECT_EQ(calls.size(), 3u);
}

TEST_F(CorvaneAccountManagerTest, TheInstallationIDIsFilledInOnceAndKept) {
    subscription.reset();
    auto a = make(std::nullopt);
    ASSERT_TRUE(a->config().installID);
    EXPECT_FALSE(a->config().installID->empty());
    host.relaunch();
    auto b = make(std::nullopt);
    EXPECT_EQ(b->config().installID, a->config().installID);
    EXPECT_EQ(make("given")->config().installID, "given");
}

TEST_F(CorvaneAccountManagerTest, DeprecationNoticesArePublishedOnTheMainThread) {
    storeSession("cas-1", "rt-1", std::chrono::hours(240));
    server().route(
        "POST", "/api/app-data-token",
        SimHttpReply::json(
            200, R"({"ok":true,"app_data_token":"t","expires_at":"2027-01-01T00:00:00Z"})")
            .header("Corvane-Deprecation", "client;min-version=0.5;current=0.9;reason=soon"));
    int changes = 0;
    manager->libVersionPolicy.willChange.connect([&](const auto&) { ++changes; });
    ASSERT_TRUE(test_support::run(host, manager->authClient()->getAppDataToken("cas-1")).value);
    host.runUntilIdle();
    ASSERT_TRUE(manager->libVersionPolicy.get());
    EXPECT_EQ(manager->libVersionPolicy.get()->minVersion, "0.5");
    EXPECT_EQ(manager->libVersionPolicy.get()->reason, "soon");
    ASSERT_TRUE(manager->lastDeprecationNotice.get());
    // The same notice again changes nothing.
    ASSERT_TRUE(test_support::run(host, manager->authClient()->getAppDataToken("cas-1")).value);
    host.runUntilIdle();
    EXPECT_EQ(changes, 1);
}

TEST_F(CorvaneAccountManagerTest, DefinitiveFailuresAndErrorConversion) {
    EXPECT_TRUE(CorvaneAccountManager::isDefinitiveAuthFailure(CorvaneError::sessionExpired()));
    EXPECT_TRUE(CorvaneAccountManager::isDefinitiveAuthFailure(
        CorvaneError::serverError(400, "invalid_grant")));
    EXPECT_FALSE(CorvaneAccountManager::isDefinitiveAuthFailure(CorvaneError::serverError(400)));
    EXPECT_FALSE(
        CorvaneAccountManager::isDefinitiveAuthFailure(CorvaneError::networkUnavailable()));
    EXPECT_EQ(CorvaneAccountManager::asCorvaneError(std::make_exception_ptr(CancellationError())),
              CorvaneError::networkUnavailable());
    EXPECT_EQ(
        CorvaneAccountManager::asCorvaneError(std::make_exception_ptr(CorvaneError::notSignedIn())),
        CorvaneError::notSignedIn());
    ASSERT_TRUE(manager->dpopThumbprint());
    EXPECT_EQ(manager->dpopThumbprint()->size(), 43u);
    EXPECT_TRUE(manager->generateDPoPProof("https://id.corvane.example/x", "GET", "cas"));
}

namespace {

bool anyFailed(const std::vector<State>& states) {
    for (const auto& s : states)
        if (std::holds_alternative<State::Failed>(s.value))
            return true;
    return false;
}

} // namespace

TEST_F(CorvaneAccountManagerTest, ACancelEndsTheSignInInEveryPhaseAndNothingOfItHappensLater) {
    // During discovery: nothing opens afterwards.
    server().route("GET", "/.well-known/openid-configuration",
                   SimHttpReply::json(
                       200, R"({"issuer":"https://auth.corvane.example",)"
                            R"("authorization_endpoint":"https://auth.corvane.example/authorize",)"
                            R"("token_endpoint":"https://auth.corvane.example/token"})")
                       .after(20));
    auto discovering =
        test_support::start(manager->signInViaSystemBrowser(std::nullopt, std::nullopt));
    host.advance(1);
    EXPECT_TRUE(manager->cancelSignIn());
    test_support::runUntilFinished(host, discovering);
    EXPECT_EQ(discovering->errorAs<CorvaneError>(), CorvaneError::authorizationCancelled());
    host.advance(60);
    EXPECT_TRUE(host.simBrowser().openedURLs.empty());
    EXPECT_EQ(manager->state(), State::failed(CorvaneError::authorizationCancelled()));
    EXPECT_FALSE(manager->cancelSignIn());

    // During the exchange: the answer that arrives afterwards is not kept.
    server().route(
        "POST", "/api/app-sessions/exchange",
        SimHttpReply::json(200, casJSON("cas-1", "rt-1", platform::now() + std::chrono::hours(24)))
            .after(10));
    auto exchanging =
        test_support::start(manager->signInViaSystemBrowser(std::nullopt, std::nullopt));
    host.advance(21);
    ASSERT_EQ(host.simBrowser().openedURLs.size(), 1u);
    const std::string state = queryValue(host.simBrowser().openedURLs.back(), "state");
    ASSERT_TRUE(manager->resume("quillet://auth/callback?code=the-code&state=" + state));
    host.advance(1);
    ASSERT_EQ(server().count("POST", "/api/app-sessions/exchange"), 1u);
    EXPECT_FALSE(exchanging->finished);
    EXPECT_TRUE(manager->cancelSignIn());
    test_support::runUntilFinished(host, exchanging);
    EXPECT_EQ(exchanging->errorAs<CorvaneError>(), CorvaneError::authorizationCancelled());
    host.advance(60);
    EXPECT_FALSE(stored());
    EXPECT_EQ(manager->state(), State::failed(CorvaneError::authorizationCancelled()));
}

TEST_F(CorvaneAccountManagerTest, ARefusedOrReplacedSignInLeavesTheStateToTheRunningOne) {
    server().route("POST", "/api/app-sessions/exchange",
                   SimHttpReply::json(
                       200, casJSON("cas-1", "rt-1", platform::now() + std::chrono::hours(24))));
    // A second browser sign-in is refused while the first waits.
    auto first = signInThroughBrowser();
    const std::string state = queryValue(host.simBrowser().openedURLs.back(), "state");
    auto second = test_support::start(manager->signInViaSystemBrowser(std::nullopt, std::nullopt));
    test_support::runUntilFinished(host, second);
    EXPECT_EQ(second->errorAs<CorvaneError>(),
              CorvaneError::authorizationFailed("sign_in_already_in_progress"));
    EXPECT_EQ(manager->state(), State::signingIn(true));
    EXPECT_FALSE(anyFailed(states));
    // The first goes on, and a failure of its own is still published.
    EXPECT_TRUE(manager->cancelSignIn());
    test_support::runUntilFinished(host, first);
    EXPECT_EQ(manager->state(), State::failed(CorvaneError::authorizationCancelled()));
    (void)state;

    // A window sign-in replaced by a newer one leaves the state to the newer one.
    auto config = this->config();
    config.preferredScheme = AuthScheme::aswas;
    auto windowed = CorvaneAccountManager::create(config);
    std::vector<State> seen;
    auto subscription = windowed->onStateChange([&](const State& s) { seen.push_back(s); });
    auto window = host.addWindow(false, true);
    auto replaced = test_support::start(windowed->signIn(window, std::nullopt, std::nullopt));
    host.advance(1);
    auto newer = test_support::start(windowed->signIn(window, std::nullopt, std::nullopt));
    host.advance(1);
    ASSERT_TRUE(replaced->finished);
    EXPECT_EQ(windowed->state(), State::signingIn(true));
    EXPECT_FALSE(anyFailed(seen));
    auto page = host.simWebAuthentication().presenting();
    ASSERT_TRUE(page);
    ASSERT_TRUE(
        page->navigate("quillet://auth/callback?code=c&state=" + queryValue(page->url(), "state")));
    test_support::runUntilFinished(host, newer);
    ASSERT_TRUE(newer->value);
    EXPECT_EQ(windowed->state(), State::signedIn(*newer->value));
    EXPECT_FALSE(anyFailed(seen));
}

TEST_F(CorvaneAccountManagerTest, AnIdentityURLThatWouldCarrySecretsInClearTextIsRefused) {
    for (const char* refused :
         {"http://id.corvane.example", "http://10.0.0.1:8899", "http://127.0.0.1.evil.example",
          "ftp://id.corvane.example", "https://id.corvane.example/#x"}) {
        SCOPED_TRACE(refused);
        auto c = config();
        c.identityURL = boost::urls::url(refused);
        try {
            CorvaneAccountManager::create(c);
            ADD_FAILURE() << "accepted";
        } catch (const CorvaneError& e) {
            EXPECT_EQ(e, CorvaneError::authorizationFailed(CorvaneConfig::insecureIdentityURL));
        }
    }
    for (const char* accepted : {"https://id.corvane.example", "http://127.0.0.1:8899",
                                 "http://localhost:8899/", "http://[::1]:8899"}) {
        SCOPED_TRACE(accepted);
        auto c = config();
        c.identityURL = boost::urls::url(accepted);
        EXPECT_NO_THROW(CorvaneAccountManager::create(c));
    }
}

TEST_F(CorvaneAccountManagerTest, AKeyringThatCannotBeReadIsNotTakenForAnEmptyOne) {
    using platform::sim::KeychainOperation;
    server().route("POST", "/api/sessions/revoke", SimHttpReply::json(200, R"({"ok":true})"));
    server().route("POST", "/api/app-sessions/exchange",
                   SimHttpReply::json(200, casJSON("cas-new", "rt-new",
                                                   platform::now() + std::chrono::hours(24))));
    // Nothing stored: nothing to read again.
    EXPECT_FALSE(test_support::run(host, manager->restore(true)).value.value());
    EXPECT_FALSE(manager->storedSessionUnread());

    // A keyring locked at launch: no account, but the session is known to be unread.
    storeSession("cas-old", "rt-old", std::chrono::hours(24));
    host.simKeychain().setFailure(KeychainOperation::copy, platform::errSecInteractionNotAllowed);
    auto restored = test_support::run(host, manager->restore(true));
    EXPECT_FALSE(restored.error);
    EXPECT_FALSE(restored.value.value());
    EXPECT_TRUE(manager->storedSessionUnread());

    // A sign-in while it still cannot be read does not write over it: it fails, and the
    // session it was given is revoked.
    auto blocked = signInThroughBrowser();
    ASSERT_TRUE(manager->resume("quillet://auth/callback?code=c&state=" +
                                queryValue(host.simBrowser().openedURLs.back(), "state")));
    test_support::runUntilFinished(host, blocked);
    EXPECT_EQ(blocked->errorAs<CorvaneError>(),
              CorvaneError::keychainFailure(platform::errSecInteractionNotAllowed));
    ASSERT_EQ(server().count("POST", "/api/sessions/revoke"), 1u);
    EXPECT_EQ(server().requests().back().headers.value("Authorization"), "Bearer cas-new");
    host.simKeychain().clearFailure(KeychainOperation::copy);
    ASSERT_TRUE(stored());
    EXPECT_EQ(stored()->cas, "cas-old");

    // Readable again: the old session is revoked before the new one replaces it.
    auto signedIn = signInThroughBrowser();
    ASSERT_TRUE(manager->resume("quillet://auth/callback?code=c&state=" +
                                queryValue(host.simBrowser().openedURLs.back(), "state")));
    test_support::runUntilFinished(host, signedIn);
    ASSERT_TRUE(signedIn->value);
    ASSERT_EQ(server().count("POST", "/api/sessions/revoke"), 2u);
    EXPECT_EQ(server().requests().back().headers.value("Authorization"), "Bearer cas-old");
    EXPECT_EQ(stored()->cas, "cas-new");
    EXPECT_FALSE(manager->storedSessionUnread());

    // A restore that reads it clears the mark too.
    host.simKeychain().setFailure(KeychainOperation::copy, platform::errSecNotAvailable);
    test_support::run(host, manager->restore(true));
    EXPECT_TRUE(manager->storedSessionUnread());
    host.simKeychain().clearFailure(KeychainOperation::copy);
    auto again = test_support::run(host, manager->restore(true));
    ASSERT_TRUE(again.value.value());
    EXPECT_FALSE(manager->storedSessionUnread());
}

TEST_F(CorvaneAccountManagerTest, ASignOutThatCannotReachTheServiceRevokesLater) {
    const auto pendingKey = KeychainStorage::Keys::pendingRevocations;
    // Offline: signed out locally at once, the session kept for revoking.
    storeSession("cas-1", "rt-1", std::chrono::hours(24));
    server().route("POST", "/api/sessions/revoke",
                   SimHttpReply::failure(platform::URLError::notConnectedToInternet));
    EXPECT_FALSE(test_support::run(host, manager->signOut()).error);
    EXPECT_FALSE(stored());
    EXPECT_EQ(manager->state(), State::signedOut());
    auto kept = storage().getData(pendingKey);
    ASSERT_TRUE(kept);
    EXPECT_NE(std::string(kept->begin(), kept->end()).find("rt-1"), std::string::npos);

    // A definitive refusal (the session is already gone) keeps nothing.
    storeSession("cas-2", "rt-2", std::chrono::hours(24));
    server().route("POST", "/api/sessions/revoke", SimHttpReply::json(403, R"({"error":"x"})"));
    test_support::run(host, manager->signOut());
    auto pendingText = [&] {
        auto d = storage().getData(pendingKey);
        return d ? std::string(d->begin(), d->end()) : std::string();
    };
    EXPECT_EQ(pendingText().find("cas-2"), std::string::npos);

    // At most five are kept, the newest.
    server().route("POST", "/api/sessions/revoke", SimHttpReply::json(503, "{}"));
    for (int i = 3; i <= 8; ++i) {
        host.advance(60);
        storeSession("cas-" + std::to_string(i), "rt-" + std::to_string(i), std::chrono::hours(24));
        test_support::run(host, manager->signOut());
    }
    auto list = nlohmann::json::parse(pendingText());
    ASSERT_EQ(list.size(), 5u);
    EXPECT_EQ(list[0]["cas"], "cas-8");
    EXPECT_EQ(list[4]["cas"], "cas-4");

    // The next launch revokes them; one whose session token lapsed is revoked through a
    // fresh session of its refresh token.
    host.advance(3600);
    std::vector<std::string> revoked;
    server().route("POST", "/api/sessions/revoke", [&](const HttpRequest& r) {
        auto bearer = r.headers.value("Authorization").value_or("");
        if (bearer == "Bearer cas-5")
            return SimHttpReply::json(401, R"({"error":"session_expired"})");
        revoked.push_back(bearer);
        return SimHttpReply::json(200, R"({"ok":true})");
    });
    server().route("POST", "/api/app-sessions/refresh",
                   SimHttpReply::json(
                       200, casJSON("cas-5b", "rt-5b", platform::now() + std::chrono::hours(24))));
    host.relaunch();
    auto relaunched = CorvaneAccountManager::create(config());
    test_support::run(host, relaunched->restore(true));
    host.runUntilIdle();
    std::sort(revoked.begin(), revoked.end());
    EXPECT_EQ(revoked, (std::vector<std::string>{"Bearer cas-4", "Bearer cas-5b", "Bearer cas-6",
                                                 "Bearer cas-7", "Bearer cas-8"}));
    EXPECT_FALSE(storage().getData(pendingKey));
}

TEST_F(CorvaneAccountManagerTest, PendingRevocationsExpireAndWaitForTheNetworkToReturn) {
    const auto pendingKey = KeychainStorage::Keys::pendingRevocations;
    storeSession("cas-old", "rt-old", std::chrono::hours(24));
    server().route("POST", "/api/sessions/revoke",
                   SimHttpReply::failure(platform::URLError::notConnectedToInternet));
    test_support::run(host, manager->signOut());
    host.advance(61.0 * 24 * 3600);
    storeSession("cas-new", "rt-new", std::chrono::hours(24));
    test_support::run(host, manager->signOut());
    // The 61-day-old one is dropped; the new one stays while offline.
    auto text = [&] {
        auto d = storage().getData(pendingKey);
        return d ? std::string(d->begin(), d->end()) : std::string();
    };
    EXPECT_EQ(text().find("cas-old"), std::string::npos);
    EXPECT_NE(text().find("cas-new"), std::string::npos);

    // The library comes back online: the session is revoked.
    server().route("POST", "/api/sessions/revoke", SimHttpReply::json(200, R"({"ok":true})"));
    const auto before = server().count("POST", "/api/sessions/revoke");
    manager->isOffline.set(true);
    host.runUntilIdle();
    EXPECT_EQ(server().count("POST", "/api/sessions/revoke"), before);
    manager->isOffline.set(false);
    host.runUntilIdle();
    EXPECT_EQ(server().count("POST", "/api/sessions/revoke"), before + 1);
    EXPECT_EQ(server().requests().back().headers.value("Authorization"), "Bearer cas-new");
    EXPECT_TRUE(text().empty());
}

// A launch refresh of an expired session A is slow; meanwhile the user signs in as B. Whatever
// the refresh then ends with, B's stored session and signed-in state stay.
class LateRefreshTest : public CorvaneAccountManagerTest {
protected:
    static std::string refreshTokenOf(const HttpRequest& request) {
        auto body = nlohmann::json::parse(std::string(request.body.begin(), request.body.end()));
        return body.value("refresh_token", std::string());
    }

    // Routes A's refresh to `reply` after five seconds; B's refresh renews B at once.
    void routeRefresh(SimHttpReply replyForA) {
        replyForA.after(5);
        server().route("POST", "/api/app-sessions/refresh", [replyForA](const HttpRequest& r) {
            if (refreshTokenOf(r) == "rt-a")
                return replyForA;
            return SimHttpReply::json(200, casJSON("cas-b2", "rt-b2",
                                                   platform::now() + std::chrono::hours(24),
                                                   "bob@example.com"));
        });
    }

    // Starts the launch restore of expired A, then signs in as B while A's refresh is in flight.
    std::shared_ptr<test_support::Outcome<std::optional<CorvaneAccount>>> restoreThenSignInAsB() {
        storeSession("cas-a", "rt-a", -std::chrono::hours(1));
        auto restored = test_support::start(manager->restore(true));
        host.advance(1);
        EXPECT_EQ(server().count("POST", "/api/app-sessions/refresh"), 1u);
        CasResponse b = CorvaneJSON::decode<CasResponse>(
            casJSON("cas-b", "rt-b", platform::now() + std::chrono::hours(24), "bob@example.com"));
        auto signedIn = test_support::run(host, manager->complete(b));
        EXPECT_TRUE(signedIn.value);
        bob = *signedIn.value;
        return restored;
    }

    void expectBobStaysSignedIn(
        const std::shared_ptr<test_support::Outcome<std::optional<CorvaneAccount>>>& restored) {
        test_support::runUntilFinished(host, restored);
        ASSERT_TRUE(restored->finished);
        ASSERT_TRUE(restored->value);
        // The launch restore reports the account stored now, not the one it started with.
        EXPECT_EQ(*restored->value, bob);
        ASSERT_TRUE(stored());
        EXPECT_EQ(stored()->cas, "cas-b");
        EXPECT_EQ(stored()->refreshToken, "rt-b");
        EXPECT_EQ(manager->state(), State::signedIn(bob));
        EXPECT_EQ(states.back(), State::signedIn(bob));
    }

    CorvaneAccount bob;
};

TEST_F(LateRefreshTest, ASuccessfulLateRefreshNeitherStoresNorPublishesTheOldSession) {
    routeRefresh(SimHttpReply::json(
        200, casJSON("cas-a2", "rt-a2", platform::now() + std::chrono::hours(24))));
    auto restored = restoreThenSignInAsB();
    expectBobStaysSignedIn(restored);
    // The service answered: online.
    EXPECT_FALSE(manager->isOffline.get());
}

TEST_F(LateRefreshTest, ARefusedLateRefreshDoesNotDeleteTheNewSession) {
    routeRefresh(SimHttpReply::json(400, R"({"error":"invalid_grant"})"));
    auto restored = restoreThenSignInAsB();
    expectBobStaysSignedIn(restored);
}

TEST_F(LateRefreshTest, AFailedLateRefreshDoesNotPublishTheOldAccount) {
    routeRefresh(SimHttpReply::failure(platform::URLError::notConnectedToInternet));
    auto restored = restoreThenSignInAsB();
    expectBobStaysSignedIn(restored);
    EXPECT_TRUE(manager->isOffline.get());
}

TEST_F(LateRefreshTest, ASignOutDuringTheRefreshStaysSignedOut) {
    routeRefresh(SimHttpReply::json(
        200, casJSON("cas-a2", "rt-a2", platform::now() + std::chrono::hours(24))));
    storeSession("cas-a", "rt-a", -std::chrono::hours(1));
    auto restored = test_support::start(manager->restore(true));
    host.advance(1);
    server().route("POST", "/api/sessions/revoke", SimHttpReply::json(200, "{}"));
    EXPECT_FALSE(test_support::run(host, manager->signOut()).error);
    test_support::runUntilFinished(host, restored);
    ASSERT_TRUE(restored->value);
    EXPECT_FALSE(*restored->value);
    EXPECT_FALSE(stored());
    EXPECT_EQ(manager->state(), State::signedOut());
}

TEST_F(LateRefreshTest, TheNewSessionRecoversFromA401WithItsOwnRefresh) {
    routeRefresh(SimHttpReply::json(
        200, casJSON("cas-a2", "rt-a2", platform::now() + std::chrono::hours(24))));
    // The service rejects B's first session and accepts its renewal only.
    server().route("POST", "/api/app-data-token", [](const HttpRequest& r) {
        if (r.headers.value("Authorization") == "Bearer cas-b2")
            return SimHttpReply::json(
                200, R"({"ok":true,"app_data_token":"t","expires_at":"2027-01-01T00:00:00Z"})");
        return SimHttpReply::json(401, R"({"error":"unauthorized"})");
    });
    auto restored = restoreThenSignInAsB();
    // B's call gets a 401 while A's refresh is still in flight.
    auto call = test_support::start(manager->authClient()->getAppDataToken("cas-b"));
    host.advance(1);
    ASSERT_FALSE(restored->finished);
    test_support::runUntilFinished(host, call);
    ASSERT_TRUE(call->value) << "B's recovery failed";
    EXPECT_EQ(*call->value, "t");
    // B's own refresh token was spent, and the resend carried B's renewed session.
    std::vector<std::string> spent;
    for (const auto& r : server().requests())
        if (platform::sim::SimHttpSession::pathOf(r.url) == "/api/app-sessions/refresh")
            spent.push_back(refreshTokenOf(r));
    EXPECT_EQ(spent, (std::vector<std::string>{"rt-a", "rt-b"}));
    EXPECT_EQ(stored()->refreshToken, "rt-b2");

    // A's late answer changes nothing of B's.
    test_support::runUntilFinished(host, restored);
    EXPECT_EQ(stored()->cas, "cas-b2");
    ASSERT_TRUE(manager->state().account());
    EXPECT_EQ(manager->state().account()->emailPrimary, "bob@example.com");
}

// The account library against the local identity service over real HTTP: the service checks
// PKCE, one-time codes and refresh tokens, and every DPoP proof on its own.
#include "CorvaneAccount/Facade/CorvaneAccountManager.h"
#include "CorvaneAccount/Storage/KeychainStorage.h"
#include "CorvaneAccount/Transport/AuthClient.h"
#include "Platform/Desktop/Services/DesktopHttpSession.h"
#include "Platform/Sim/SimHost.h"
#include "Platform/Sim/SimWebAuthentication.h"
#include "tests/Desktop/Account/IdentityDevServer.h"
#include "tests/support/AsyncTestSupport.h"
#include "tests/support/IdentityFixtures.h"

#include <boost/url/parse.hpp>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

using namespace corvane;
using State = CorvaneAccountManager::State;
namespace asio = boost::asio;

using test_support::accountID;
using test_support::casJSON;
using test_support::queryValue;

namespace {

bool underCI() {
    const char* ci = std::getenv("CI");
    return ci && std::string(ci) == "true";
}

class IdentityDevIntegration : public ::testing::Test {
protected:
    void SetUp() override {
        if (!identity_dev::Server::available()) {
            if (underCI())
                FAIL() << "node or tools/identity-dev's packages are missing";
            GTEST_SKIP() << "node or tools/identity-dev's packages are missing";
        }
        start({});
    }

    void start(const std::vector<std::string>& arguments) {
        manager.reset();
        server = std::make_unique<identity_dev::Server>(arguments);
        ASSERT_TRUE(server->running()) << server->log();
        // Proofs carry the wall clock; the service compares them with its own.
        host.setWallClock(std::chrono::system_clock::now());
        host.useHttpSession(&http);
        manager = CorvaneAccountManager::create(config());
    }

    CorvaneConfig config() {
        const boost::urls::url base(server->baseURL());
        return CorvaneConfig(
            base, base, "quillet", "quillet-desktop", "0.3.1", "0.9.5",
            boost::urls::url("quillet://auth/callback"), AuthScheme::systemBrowser, std::nullopt,
            {"openid", "email"}, &http,
            [this](CorvaneLogLevel, const std::string& key,
                   const std::map<std::string, std::string>& metadata) {
                std::string line = key;
                for (const auto& [k, v] : metadata)
                    line += " " + k + "=" + v;
                libraryLog.push_back(line);
            },
            std::nullopt);
    }

    // Runs `op` on the simulated host while real answers arrive from the transfer thread.
    template <class T> test_support::Outcome<T> await(asio::awaitable<T> op) {
        auto outcome = test_support::start(std::move(op));
        pump(outcome);
        return *outcome;
    }
    test_support::Outcome<test_support::Done> await(asio::awaitable<void> op) {
        auto outcome = test_support::start(std::move(op));
        pump(outcome);
        return *outcome;
    }
    template <class O> void pump(const O& outcome) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!outcome->finished && std::chrono::steady_clock::now() < deadline) {
            host.runUntilIdle();
            if (!outcome->finished)
                host.simRunLoop().waitForPostedWork(std::chrono::milliseconds(50));
        }
        ASSERT_TRUE(outcome->finished) << "no answer within 30 s";
    }

    platform::HttpResult exchange(platform::HttpRequest request) {
        auto session = &http;
        auto op = [](platform::HttpSession* s,
                     platform::HttpRequest r) -> asio::awaitable<platform::HttpResult> {
            auto send = s->send(std::move(r));
            co_return co_await std::move(send);
        };
        auto outcome = await(op(session, std::move(request)));
        EXPECT_TRUE(outcome.value) << "transport failure";
        return outcome.value.value_or(platform::HttpResult{});
    }

    // The test's browser: loads the authorization URL and returns where the service sends it.
    std::string follow(const std::string& url) {
        platform::HttpRequest request;
        request.url = url;
        auto answer = exchange(request);
        EXPECT_EQ(answer.response.statusCode, 302)
            << std::string(answer.data.begin(), answer.data.end());
        return answer.response.headers.value("Location").value_or("");
    }

    nlohmann::json dev(const std::string& method, const std::string& path,
                       const nlohmann::json& body = nullptr) {
        platform::HttpRequest request;
        request.method = method;
        request.url = server->baseURL() + path;
        if (!body.is_null()) {
            const std::string text = body.dump();
            request.body.assign(text.begin(), text.end());
            request.headers.set("Content-Type", "application/json");
        }
        auto answer = exchange(request);
        return nlohmann::json::parse(std::string(answer.data.begin(), answer.data.end()), nullptr,
                                     false);
    }

    // Requests the service logged for `path`, with their statuses.
    std::vector<int> statusesOf(const std::string& path) {
        std::vector<int> out;
        for (const auto& entry : dev("GET", "/__dev/log"))
            if (entry.value("path", "") == path)
                out.push_back(entry.value("status", 0));
        return out;
    }

    // Signs in through the browser as a user who approves at once.
    std::optional<CorvaneAccount> signIn() {
        auto outcome =
            test_support::start(manager->signInViaSystemBrowser(std::nullopt, std::nullopt));
        host.runUntilIdle();
        for (int i = 0; i < 200 && host.simBrowser().openedURLs.empty(); ++i) {
            host.simRunLoop().waitForPostedWork(std::chrono::milliseconds(50));
            host.runUntilIdle();
        }
        EXPECT_FALSE(host.simBrowser().openedURLs.empty()) << "no browser opened";
        if (host.simBrowser().openedURLs.empty())
            return std::nullopt;
        const std::string location = follow(host.simBrowser().openedURLs.back());
        redirects.push_back(location);
        EXPECT_TRUE(manager->resume(location));
        pump(outcome);
        return outcome->value;
    }

    std::optional<StoredSession> stored() {
        return KeychainStorage("quillet", std::nullopt)
            .getJSON<StoredSession>(KeychainStorage::Keys::session);
    }

    // Every log line of the run: the library's, the host's and the service's.
    std::string allLogs() {
        std::string text = server->log();
        for (const auto& line : libraryLog)
            text += line + "\n";
        for (const auto& entry : host.simLog().lines)
            text += entry.message + "\n";
        return text;
    }

    platform::sim::SimHost host;
    desktop::DesktopHttpSession http;
    std::unique_ptr<identity_dev::Server> server;
    std::shared_ptr<CorvaneAccountManager> manager;
    std::vector<std::string> libraryLog;
    std::vector<std::string> redirects;
};

} // namespace

TEST_F(IdentityDevIntegration, SignInCallRecoverAndSignOutOverRealHttp) {
    // A browser sign-in: the service checks the request, PKCE and the one-time code.
    auto account = signIn();
    ASSERT_TRUE(account) << server->log();
    EXPECT_EQ(account->emailPrimary, "dev@example.com");
    EXPECT_EQ(manager->state(), State::signedIn(*account));
    auto session = stored();
    ASSERT_TRUE(session && session->refreshToken);
    const std::string firstCas = session->cas;
    const std::string firstRefresh = *session->refreshToken;

    // An authenticated call: the service verifies the bearer token and the DPoP proof.
    auto token = await(manager->authClient()->getAppDataToken(firstCas));
    ASSERT_TRUE(token.value) << server->log();
    EXPECT_EQ(statusesOf("/api/app-data-token"), (std::vector<int>{200}));

    // The service rejects the session once: exactly one refresh and one resend recover it.
    dev("POST", "/__dev/knobs",
        {{"rules", {{{"path", "/api/app-data-token"}, {"status", 401}, {"times", 1}}}}});
    auto recovered = await(manager->authClient()->getAppDataToken(firstCas));
    ASSERT_TRUE(recovered.value) << server->log();
    EXPECT_EQ(statusesOf("/api/app-data-token"), (std::vector<int>{200, 401, 200}));
    EXPECT_EQ(statusesOf("/api/app-sessions/refresh"), (std::vector<int>{200}));
    ASSERT_TRUE(stored());
    EXPECT_NE(stored()->cas, firstCas);
    ASSERT_TRUE(stored()->refreshToken);
    const std::string secondRefresh = *stored()->refreshToken;
    EXPECT_NE(secondRefresh, firstRefresh);

    // A spent refresh token is refused by the service (asked directly, past the refresher).
    auto replay = await(manager->authClient()->refresh(firstRefresh));
    EXPECT_EQ(replay.errorAs<CorvaneError>(), CorvaneError::serverError(400, "invalid_grant"));

    // Sign-out revokes the session: its cas is refused afterwards.
    const std::string revokedCas = stored()->cas;
    ASSERT_FALSE(await(manager->signOut()).error);
    EXPECT_EQ(statusesOf("/api/sessions/revoke"), (std::vector<int>{200}));
    EXPECT_EQ(manager->state(), State::signedOut());
    EXPECT_FALSE(stored());
    auto afterSignOut = await(manager->authClient()->getAppDataToken(revokedCas));
    EXPECT_EQ(afterSignOut.errorAs<CorvaneError>(), CorvaneError::sessionExpired());

    // No token, code or state in any log line of the run.
    const std::string logs = allLogs();
    ASSERT_FALSE(logs.empty());
    const std::string code = queryValue(redirects.at(0), "code");
    ASSERT_FALSE(code.empty());
    for (const std::string& secret : {firstCas, firstRefresh, secondRefresh, revokedCas, code,
                                      queryValue(redirects.at(0), "state")})
        EXPECT_EQ(logs.find(secret), std::string::npos) << "a secret reached a log";
}

TEST_F(IdentityDevIntegration, TamperedStatesForeignRedirectsAndForeignIssuersAreRefused) {
    // Returns that are not the service's answer to this sign-in never give a session.
    auto outcome = test_support::start(manager->signInViaSystemBrowser(std::nullopt, std::nullopt));
    for (int i = 0; i < 200 && host.simBrowser().openedURLs.empty(); ++i) {
        host.runUntilIdle();
        host.simRunLoop().waitForPostedWork(std::chrono::milliseconds(50));
    }
    ASSERT_FALSE(host.simBrowser().openedURLs.empty());
    const std::string location = follow(host.simBrowser().openedURLs.back());
    const std::string state = queryValue(location, "state");
    ASSERT_FALSE(state.empty());
    // Not the redirect URI: not ours to answer.
    EXPECT_FALSE(manager->resume("quillet://evil/callback?code=x&state=" + state));
    EXPECT_FALSE(manager->resume("https://127.0.0.1/auth/callback?code=x&state=" + state));
    // A return whose state was changed could come from any page: it is ignored and the flow
    // keeps waiting for the real one.
    EXPECT_FALSE(manager->resume("quillet://auth/callback?code=" + queryValue(location, "code") +
                                 "&state=" + state + "x"));
    host.runUntilIdle();
    EXPECT_FALSE(outcome->finished);
    EXPECT_TRUE(statusesOf("/api/app-sessions/exchange").empty());
    // The user gives up: the sign-in ends as cancelled, never with a session.
    EXPECT_TRUE(manager->cancelSignIn());
    pump(outcome);
    ASSERT_TRUE(outcome->errorAs<CorvaneError>());
    EXPECT_EQ(*outcome->errorAs<CorvaneError>(), CorvaneError::authorizationCancelled());
    EXPECT_TRUE(statusesOf("/api/app-sessions/exchange").empty());

    // The service itself refuses an authorization request for a foreign redirect URI.
    std::string foreign = host.simBrowser().openedURLs.back();
    const auto at = foreign.find("redirect_uri=");
    ASSERT_NE(at, std::string::npos);
    foreign.insert(at + std::string("redirect_uri=").size(), "https%3A%2F%2Fevil.example%2F");
    platform::HttpRequest request;
    request.url = foreign;
    EXPECT_EQ(exchange(request).response.statusCode, 400);

    // A discovery document naming another issuer ends the sign-in before any browser opens.
    start({"--discovery-issuer", "https://elsewhere.example"});
    const auto opened = host.simBrowser().openedURLs.size();
    auto refused = await(manager->signInViaSystemBrowser(std::nullopt, std::nullopt));
    ASSERT_TRUE(refused.errorAs<CorvaneError>());
    EXPECT_EQ(refused.errorAs<CorvaneError>()->kind(), CorvaneError::Kind::authorizationFailed);
    EXPECT_EQ(host.simBrowser().openedURLs.size(), opened);
}

TEST_F(IdentityDevIntegration, ARedirectFromTheServiceIsReturnedNotFollowed) {
    auto account = signIn();
    ASSERT_TRUE(account) << server->log();
    const std::string cas = stored()->cas;
    dev("POST", "/__dev/knobs",
        {{"rules",
          {{{"path", "/api/app-data-token"},
            {"redirect", server->baseURL() + "/api/sessions/revoke"},
            {"status", 307}}}}});
    auto redirected = await(manager->authClient()->getAppDataToken(cas));
    EXPECT_EQ(redirected.errorAs<CorvaneError>(), CorvaneError::serverError(307));
    // The body and proof went nowhere else.
    EXPECT_TRUE(statusesOf("/api/sessions/revoke").empty());
    EXPECT_TRUE(stored());
}

TEST_F(IdentityDevIntegration, NoncesTheServiceDemandsAndRotatesAreFollowedWithoutARefresh) {
    start({"--require-dpop-nonce"});
    auto account = signIn();
    ASSERT_TRUE(account) << server->log();
    const std::string cas = stored()->cas;

    // The first call learns the nonce from the refusal and is sent once more with it; the next
    // carries it from the start.
    ASSERT_TRUE(await(manager->authClient()->getAppDataToken(cas)).value) << server->log();
    ASSERT_TRUE(await(manager->authClient()->getAppDataToken(cas)).value) << server->log();
    EXPECT_EQ(statusesOf("/api/app-data-token"), (std::vector<int>{401, 200, 200}));

    // Rotated twice, so that the kept nonce is refused: one re-send with the new one.
    dev("POST", "/__dev/knobs", {{"rotate_dpop_nonce", true}});
    dev("POST", "/__dev/knobs", {{"rotate_dpop_nonce", true}});
    ASSERT_TRUE(await(manager->authClient()->getAppDataToken(cas)).value) << server->log();
    EXPECT_EQ(statusesOf("/api/app-data-token"), (std::vector<int>{401, 200, 200, 401, 200}));
    // None of it spent a refresh rotation or touched the session.
    EXPECT_TRUE(statusesOf("/api/app-sessions/refresh").empty());
    EXPECT_EQ(stored()->cas, cas);
    EXPECT_EQ(manager->state(), State::signedIn(*account));
}

TEST_F(IdentityDevIntegration, ARefreshAnswerLostAfterTheRotationIsFetchedAgainWithinTheGrace) {
    start({"--refresh-grace-seconds", "30"});
    auto account = signIn();
    ASSERT_TRUE(account) << server->log();
    const std::string spent = *stored()->refreshToken;

    // The service rotates, then the connection drops before the answer leaves.
    dev("POST", "/__dev/knobs",
        {{"rules", {{{"path", "/api/app-sessions/refresh"}, {"lose_answer", true}}}}});
    auto renewed = await(manager->authClient()->refreshSerialized(spent));
    ASSERT_TRUE(renewed.value) << server->log();
    const auto stats = dev("GET", "/__dev/state")["refresh_stats"];
    EXPECT_EQ(stats["rotations"], 1);
    EXPECT_EQ(stats["grace_replays"], 1);
    EXPECT_EQ(stats["reused_refresh_tokens"], 0);
    // The session goes on with the pair the service rotated to.
    ASSERT_TRUE(stored());
    EXPECT_EQ(stored()->cas, renewed.value->cas);
    EXPECT_NE(stored()->refreshToken, spent);
    ASSERT_TRUE(await(manager->authClient()->getAppDataToken(stored()->cas)).value)
        << server->log();
    EXPECT_EQ(manager->state(), State::signedIn(*account));
}

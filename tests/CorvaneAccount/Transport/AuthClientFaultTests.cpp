// The identity client against a hostile or failing service: refused DPoP proofs, nonces the
// service demands and rotates, oversized answers, and refresh answers lost after the service
// rotated the token.
#include "CorvaneAccount/Foundation/CorvaneError.h"
#include "CorvaneAccount/Transport/AuthClient.h"
#include "CorvaneAccount/Transport/DPoPChallenge.h"
#include "CorvaneAccount/Transport/DPoPSigner.h"
#include "Platform/Sim/SimHost.h"
#include "Platform/Sim/SimHttpSession.h"
#include "tests/CorvaneAccount/Transport/DPoPTestSupport.h"
#include "tests/support/AsyncTestSupport.h"
#include "tests/support/IdentityFixtures.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace corvane;
using platform::HttpRequest;
using platform::sim::SimHttpReply;
using test_support::casJSON;
using test_support::Outcome;

namespace {

constexpr const char* appDataOK =
    R"({"ok":true,"app_data_token":"adt","expires_at":"2027-01-01T00:00:00Z"})";

class AuthClientFaultTest : public ::testing::Test {
protected:
    AuthClientFaultTest() {
        client = AuthClient::create(
            CorvaneConfig(
                boost::urls::url("https://auth.corvane.example"),
                boost::urls::url("https://id.corvane.example"), "quillet", "quillet-desktop",
                "1.9.9", "0.9.5", boost::urls::url("quillet://auth/callback"),
                AuthScheme::systemBrowser, std::nullopt, {"openid", "email"}, &host.simHttp(),
                [this](CorvaneLogLevel, const std::string& key,
                       const std::map<std::string, std::string>&) { logKeys.push_back(key); },
                "install-1"),
            signer);
        client->currentSessionProvider = [this] { return stored; };
        stored = StoredSession{
            "cas-1",
            "rt-1",
            platform::now() + std::chrono::hours(240),
            CorvaneAccount{{test_support::accountID}, "ada@example.com", std::nullopt},
            "quillet",
            platform::now()};
        server().route("POST", "/api/app-sessions/refresh", [this](const HttpRequest&) {
            ++refreshes;
            return SimHttpReply::json(200, casJSON("cas-r" + std::to_string(refreshes),
                                                   "rt-r" + std::to_string(refreshes),
                                                   platform::now() + std::chrono::hours(240)));
        });
    }

    platform::sim::SimHttpSession& server() { return host.simHttp(); }
    template <class T> Outcome<T> run(boost::asio::awaitable<T> op) {
        return test_support::run(host, std::move(op));
    }
    // The "nonce" claim of a request's proof; empty when it has none.
    static std::string nonceOf(const HttpRequest& r) {
        auto proof = corvane::testing::decodeProof(r.headers.value("DPoP").value_or(""));
        return proof.claims.value("nonce", std::string());
    }
    std::vector<const HttpRequest*> sent(const std::string& path) {
        std::vector<const HttpRequest*> out;
        for (const auto& r : host.simHttp().requests())
            if (platform::sim::SimHttpSession::pathOf(r.url) == path)
                out.push_back(&r);
        return out;
    }

    platform::sim::SimHost host;
    std::shared_ptr<const DPoPSigner> signer = std::make_shared<const DPoPSigner>();
    std::shared_ptr<AuthClient> client;
    std::optional<StoredSession> stored;
    std::vector<std::string> logKeys;
    int refreshes = 0;
};

} // namespace

TEST(DPoPChallenge, ReadsTheErrorOfTheDPoPChallengeOnly) {
    using DPoPChallenge::error;
    EXPECT_EQ(error(R"(DPoP error="invalid_dpop_proof", algs="ES256")"), "invalid_dpop_proof");
    EXPECT_EQ(error(R"(dpop algs="ES256" , ERROR=use_dpop_nonce)"), "use_dpop_nonce");
    // Another scheme's error is not the proof's.
    EXPECT_EQ(error(R"(Bearer error="invalid_token", DPoP algs="ES256")"), std::nullopt);
    EXPECT_EQ(error(R"(Bearer realm="x", error="invalid_token", DPoP error="invalid_dpop_proof")"),
              "invalid_dpop_proof");
    EXPECT_EQ(error(R"(Basic dXNlcjpwYXNz==, DPoP error="a\"b")"), "a\"b");
    // Malformed and cut-off input ends without reading past it.
    for (const char* bad : {"", "DPoP", "DPoP error=", "DPoP error=\"unterminated", "=,=,\"",
                            "DPoP error=\"x\\", "\xff\xfe DPoP"})
        EXPECT_NO_THROW(error(bad)) << bad;
    EXPECT_EQ(error("DPoP error=\"unterminated"), "unterminated");

    platform::HttpHeaders headers{{"WWW-Authenticate", R"(Bearer error="invalid_token")"},
                                  {"www-authenticate", R"(DPoP error="use_dpop_nonce")"},
                                  {"DPoP-Nonce", "n-1"}};
    EXPECT_EQ(error(headers), "use_dpop_nonce");
    EXPECT_EQ(DPoPChallenge::nonce(headers), "n-1");
    EXPECT_FALSE(DPoPChallenge::nonce(platform::HttpHeaders{{"DPoP-Nonce", "a b"}}));
    EXPECT_FALSE(DPoPChallenge::nonce(platform::HttpHeaders{{"DPoP-Nonce", "a\"b"}}));
    EXPECT_FALSE(
        DPoPChallenge::nonce(platform::HttpHeaders{{"DPoP-Nonce", std::string(2000, 'n')}}));
}

TEST_F(AuthClientFaultTest, ARefusedProofIsNotTakenForAnExpiredSession) {
    server().route(
        "POST", "/api/app-data-token",
        SimHttpReply::json(401, R"({"error":"invalid_dpop_proof"})")
            .header("WWW-Authenticate", R"(DPoP error="invalid_dpop_proof", algs="ES256")"));
    auto refused = run(client->getAppDataToken("cas-1"));
    // No refresh rotation spent, no resend, and an error that does not end the session.
    EXPECT_EQ(refreshes, 0);
    EXPECT_EQ(sent("/api/app-data-token").size(), 1u);
    ASSERT_TRUE(refused.errorAs<CorvaneError>());
    EXPECT_EQ(*refused.errorAs<CorvaneError>(),
              CorvaneError::serverError(401, "invalid_dpop_proof"));

    // A DPoP challenge about the token itself is still an expired session, recovered once.
    server().routeSequence(
        "POST", "/api/app-data-token",
        {SimHttpReply::json(401, "{}").header("WWW-Authenticate", R"(DPoP error="invalid_token")"),
         SimHttpReply::json(200, appDataOK)});
    auto recovered = run(client->getAppDataToken("cas-1"));
    ASSERT_TRUE(recovered.value);
    EXPECT_EQ(refreshes, 1);
}

TEST_F(AuthClientFaultTest, ANonceTheServiceDemandsIsSentOnceAndKeptUntilReplaced) {
    // The service wants nonce n-1, later rotates to n-2.
    std::string current = "n-1";
    server().route("POST", "/api/app-data-token", [&](const HttpRequest& r) {
        if (nonceOf(r) != current)
            return SimHttpReply::json(401, R"({"error":"use_dpop_nonce"})")
                .header("WWW-Authenticate", R"(DPoP error="use_dpop_nonce")")
                .header("DPoP-Nonce", current);
        return SimHttpReply::json(200, appDataOK).header("DPoP-Nonce", current);
    });
    ASSERT_TRUE(run(client->getAppDataToken("cas-1")).value);
    auto requests = sent("/api/app-data-token");
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(nonceOf(*requests[0]), "");
    EXPECT_EQ(nonceOf(*requests[1]), "n-1");
    // A fresh proof: a new jti for the re-send.
    EXPECT_NE(requests[0]->headers.value("DPoP"), requests[1]->headers.value("DPoP"));
    EXPECT_EQ(refreshes, 0);
    EXPECT_EQ(client->dpopNonce("https://id.corvane.example/x"), "n-1");
    EXPECT_EQ(client->dpopNonce("https://other.example/x"), std::nullopt);

    // The kept nonce goes with the next request at once.
    ASSERT_TRUE(run(client->getAppDataToken("cas-1")).value);
    EXPECT_EQ(sent("/api/app-data-token").size(), 3u);
    EXPECT_EQ(nonceOf(*sent("/api/app-data-token").back()), "n-1");

    // Rotated: one re-send with the new nonce, which is kept.
    current = "n-2";
    ASSERT_TRUE(run(client->getAppDataToken("cas-1")).value);
    EXPECT_EQ(sent("/api/app-data-token").size(), 5u);
    EXPECT_EQ(nonceOf(*sent("/api/app-data-token").back()), "n-2");
    EXPECT_EQ(client->dpopNonce("https://id.corvane.example/"), "n-2");
    EXPECT_EQ(refreshes, 0);
}

TEST_F(AuthClientFaultTest, ANonceIsRetriedAtMostOnceAndNotCountedAgainstTheRecovery) {
    // A service that wants a new nonce every time never gets more than one re-send per attempt.
    int n = 0;
    server().route("POST", "/api/app-data-token", [&](const HttpRequest&) {
        return SimHttpReply::json(400, R"({"error":"use_dpop_nonce"})")
            .header("DPoP-Nonce", "n-" + std::to_string(++n));
    });
    auto endless = run(client->getAppDataToken("cas-1"));
    ASSERT_TRUE(endless.errorAs<CorvaneError>());
    EXPECT_EQ(*endless.errorAs<CorvaneError>(), CorvaneError::serverError(400, "use_dpop_nonce"));
    EXPECT_EQ(sent("/api/app-data-token").size(), 2u);

    // A nonce re-send, then an expired session: the one refresh-and-resend still happens, and
    // its request carries the nonce too.
    server().routeSequence(
        "POST", "/api/app-data-token",
        {SimHttpReply::json(400, R"({"error":"use_dpop_nonce"})").header("DPoP-Nonce", "m-1"),
         SimHttpReply::json(401, "{}"), SimHttpReply::json(200, appDataOK)});
    auto recovered = run(client->getAppDataToken("cas-1"));
    ASSERT_TRUE(recovered.value);
    EXPECT_EQ(refreshes, 1);
    auto requests = sent("/api/app-data-token");
    ASSERT_EQ(requests.size(), 5u);
    EXPECT_EQ(requests[4]->headers.value("Authorization"), "Bearer cas-r1");
    EXPECT_EQ(nonceOf(*requests[4]), "m-1");

    // A nonce that comes without a proof having been sent changes nothing.
    server().route(
        "POST", "/api/app-sessions/refresh",
        SimHttpReply::json(400, R"({"error":"use_dpop_nonce"})").header("DPoP-Nonce", "z-1"));
    EXPECT_TRUE(run(client->refresh("rt-x")).error);
    EXPECT_EQ(client->dpopNonce("https://id.corvane.example/"), "m-1");
}

TEST_F(AuthClientFaultTest, AnAnswerOverOneMebibyteIsRefused) {
    server().route("POST", "/api/app-data-token",
                   SimHttpReply::json(200, std::string(AuthClient::maxAnswerBytes + 1, ' ')));
    auto huge = run(client->getAppDataToken("cas-1"));
    ASSERT_EQ(sent("/api/app-data-token").size(), 1u);
    EXPECT_EQ(sent("/api/app-data-token")[0]->maxBodyBytes, AuthClient::maxAnswerBytes);
    ASSERT_TRUE(huge.errorAs<CorvaneError>());
    EXPECT_EQ(*huge.errorAs<CorvaneError>(), CorvaneError::malformedResponse("response"));

    // Just under the cap is read (and decoded as usual).
    std::string padded = appDataOK;
    padded.insert(1, std::string(AuthClient::maxAnswerBytes - padded.size(), ' '));
    server().route("POST", "/api/app-data-token", SimHttpReply::json(200, padded));
    auto fits = run(client->getAppDataToken("cas-1"));
    EXPECT_EQ(fits.value, "adt");
}

TEST_F(AuthClientFaultTest, ARefreshWhoseAnswerWasLostIsRetriedWithTheSameToken) {
    // The connection drops after the service rotated; the retry with the same token is answered
    // by the service's grace with the same new pair.
    std::vector<std::string> tokens;
    server().route("POST", "/api/app-sessions/refresh", [&](const HttpRequest& r) {
        auto body = nlohmann::json::parse(std::string(r.body.begin(), r.body.end()));
        tokens.push_back(body.value("refresh_token", ""));
        if (tokens.size() == 1)
            return SimHttpReply::failure(platform::URLError::networkConnectionLost);
        return SimHttpReply::json(
            200, casJSON("cas-2", "rt-2", platform::now() + std::chrono::hours(24)));
    });
    auto renewed = run(client->refresh("rt-1"));
    ASSERT_TRUE(renewed.value);
    EXPECT_EQ(renewed.value->cas, "cas-2");
    EXPECT_EQ(tokens, (std::vector<std::string>{"rt-1", "rt-1"}));

    // A service that was never reached is not asked again.
    tokens.clear();
    server().route("POST", "/api/app-sessions/refresh",
                   SimHttpReply::failure(platform::URLError::notConnectedToInternet));
    EXPECT_EQ(run(client->refresh("rt-2")).errorAs<CorvaneError>(),
              CorvaneError::networkUnavailable());
    EXPECT_EQ(server().count("POST", "/api/app-sessions/refresh"), 3u);

    // Answers lost every time: a bounded number of attempts, then the failure.
    server().route("POST", "/api/app-sessions/refresh",
                   SimHttpReply::failure(platform::URLError::timedOut));
    EXPECT_EQ(run(client->refresh("rt-2")).errorAs<CorvaneError>(),
              CorvaneError::networkUnavailable());
    EXPECT_EQ(server().count("POST", "/api/app-sessions/refresh"),
              4u + AuthClient::maxLostRefreshRetries);
}

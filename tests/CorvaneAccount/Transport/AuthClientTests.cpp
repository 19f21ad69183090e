#include "CorvaneAccount/Foundation/CorvaneAccountLibrary.h"
#include "CorvaneAccount/Foundation/CorvaneError.h"
#include "CorvaneAccount/Transport/AuthClient.h"
#include "CorvaneAccount/Transport/DPoPSigner.h"
#include "Platform/Sim/SimHost.h"
#include "Platform/Sim/SimHttpSession.h"
#include "tests/support/AsyncTestSupport.h"
#include "tests/support/IdentityFixtures.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

using namespace corvane;
using platform::HttpRequest;
using platform::sim::SimHttpReply;
using test_support::Done;
using test_support::Outcome;

using test_support::accountID;
using test_support::casJSON;

namespace {

struct LogLine {
    CorvaneLogLevel level;
    std::string key;
    std::map<std::string, std::string> metadata;
};

class AuthClientTest : public ::testing::Test {
protected:
    AuthClientTest() { makeClient(nullptr); }

    CorvaneConfig config(std::string libVersion = std::string(CorvaneAccountLibrary::libVersion)) {
        return CorvaneConfig(
            boost::urls::url("https://auth.corvane.example"),
            boost::urls::url("https://id.corvane.example/base/"), "quillet", "quillet-desktop",
            "1.9.9", std::move(libVersion), boost::urls::url("quillet://auth/callback"),
            AuthScheme::systemBrowser, std::nullopt, {"openid", "email"}, &host.simHttp(),
            [this](CorvaneLogLevel level, const std::string& key,
                   const std::map<std::string, std::string>& metadata) {
                logs.push_back({level, key, metadata});
            },
            "install-1");
    }

    void makeClient(std::shared_ptr<const DPoPSigner> signer, std::string libVersion = "0.9.5") {
        client = AuthClient::create(config(std::move(libVersion)), std::move(signer));
        client->currentSessionProvider = [this] { return stored; };
        client->onSessionRefreshed = [this](const std::string& old, const CasResponse& r) {
            rotations.emplace_back(old, r.cas);
        };
        client->onDeprecationNotice = [this](const std::vector<CorvaneDeprecationNotice>& n) {
            notices.push_back(n);
        };
    }

    StoredSession session(const std::string& cas, std::optional<std::string> refresh,
                          std::chrono::seconds expiresIn) {
        StoredSession s;
        s.cas = cas;
        s.refreshToken = std::move(refresh);
        s.expiresAt = platform::now() + expiresIn;
        s.account.corvaneAccountId.raw = accountID;
        s.account.emailPrimary = "ada@example.com";
        s.appSlug = "quillet";
        s.issuedAt = platform::now();
        return s;
    }

    platform::sim::SimHttpSession& server() { return host.simHttp(); }

    template <class T> Outcome<T> run(boost::asio::awaitable<T> op) {
        return test_support::run(host, std::move(op));
    }

    // The refresh endpoint answers with "cas-<n>" / "rt-<n>" for the n-th refresh.
    void routeRefresh(int status = 200) {
        server().route("POST", "/api/app-sessions/refresh", [this, status](const HttpRequest&) {
            ++refreshes;
            if (status != 200)
                return SimHttpReply::json(status, R"({"error":"invalid_grant"})");
            return SimHttpReply::json(200, casJSON("cas-" + std::to_string(refreshes),
                                                   "rt-" + std::to_string(refreshes),
                                                   platform::now() + std::chrono::hours(240)));
        });
    }

    std::vector<LogLine> logged(const std::string& key) const {
        std::vector<LogLine> out;
        for (const auto& l : logs)
            if (l.key == key)
                out.push_back(l);
        return out;
    }

    platform::sim::SimHost host;
    std::shared_ptr<AuthClient> client;
    std::optional<StoredSession> stored;
    std::vector<LogLine> logs;
    std::vector<std::pair<std::string, std::string>> rotations;
    std::vector<std::vector<CorvaneDeprecationNotice>> notices;
    int refreshes = 0;
};

} // namespace

// --- wire records ---

TEST(AuthWireRecords, RequestBodiesKeepTheirKeyOrderAndOmitAbsentOptionals) {
    EXPECT_EQ(
        (ExchangeBody{"quillet", "c1", "v1", "quillet://auth/callback", "1.0", "i1"}.encoded()),
        R"({"app_slug":"quillet","code":"c1","code_verifier":"v1","redirect_uri":"quillet://auth/callback","client_version":"1.0","install_id":"i1"})");
    EXPECT_EQ(
        (ExchangeBody{"quillet", "c1", std::nullopt, std::nullopt, "1.0", std::nullopt}.encoded()),
        R"({"app_slug":"quillet","code":"c1","client_version":"1.0"})");
    EXPECT_EQ((RefreshBody{"quillet", "rt", std::nullopt}.encoded()),
              R"({"app_slug":"quillet","refresh_token":"rt"})");
    EXPECT_EQ(
        (AppleAuthcodeBody{"quillet", "ac", "idt", "i1"}.encoded()),
        R"({"app_slug":"quillet","authorization_code":"ac","identity_token":"idt","install_id":"i1"})");
    EXPECT_EQ(AppDataTokenBody{"quillet"}.encoded(), R"({"app_slug":"quillet"})");
}

TEST(AuthWireRecords, CasResponseReadsOptionalsAsMissingOrNullAndRefusesWrongTypes) {
    auto r = CorvaneJSON::decode<CasResponse>(
        R"({"ok":true,"cas":"c","expires_at":"2026-12-07T10:00:00Z","corvane_account_id":"ca_x",)"
        R"("email":"e@x","app_slug":"quillet","refresh_token":null,"expires_in":3600,"extra":[1],)"
        R"("corvane_lib_version":{"minVersion":"1.0","expires":"2027-01-01T00:00:00.5Z"}})");
    EXPECT_TRUE(r.ok);
    EXPECT_FALSE(r.refreshToken);
    EXPECT_EQ(r.expiresIn, 3600);
    ASSERT_TRUE(r.libVersionPolicy);
    EXPECT_EQ(r.libVersionPolicy->minVersion, "1.0");
    EXPECT_TRUE(r.libVersionPolicy->expires);

    // "email" is required; "expires_in" must be an integer.
    EXPECT_THROW(CorvaneJSON::decode<CasResponse>(
                     R"({"ok":true,"cas":"c","expires_at":"2026-12-07T10:00:00Z",)"
                     R"("corvane_account_id":"ca_x","app_slug":"q"})"),
                 CorvaneJSON::DecodingError);
    EXPECT_THROW(CorvaneJSON::decode<CasResponse>(
                     R"({"ok":true,"cas":"c","expires_at":"2026-12-07T10:00:00Z","email":"e",)"
                     R"("corvane_account_id":"ca_x","app_slug":"q","expires_in":"60"})"),
                 CorvaneJSON::DecodingError);
}

TEST(Semver, ComparesNumericComponentsWithMissingAndNonNumericOnesAsZero) {
    struct Row {
        const char* a;
        const char* b;
        int expected;
    };
    for (const Row& row :
         {Row{"1.2", "1.2.0", 0}, Row{"1.2.3-beta", "1.2", 0}, Row{"1.10", "1.9", 1},
          Row{"1.9.9", "2.0", -1}, Row{"2.0", "2.0.0", 0}, Row{"1..2", "1.2", 0}, Row{"", "0", 0},
          Row{"3", "2.99", 1}, Row{"1.2.3", "1.2.4", -1}, Row{"99999999999999999999", "1", -1}}) {
        EXPECT_EQ(Semver::compare(row.a, row.b), row.expected) << row.a << " vs " << row.b;
        EXPECT_EQ(Semver::compare(row.b, row.a), -row.expected) << row.b << " vs " << row.a;
    }
}

TEST(CorvaneDeprecationParser, ReadsEndpointAndClientNoticesAndSkipsTheRest) {
    auto notices = CorvaneDeprecationParser::parse(
        " Endpoint; Replacement = https://id.example/v2 ; expires=2027-03-01; reason=old , ,"
        "client;min-version=2.0;current=1.9;reason=x;reason=y, client;current=1.0,"
        "mystery;a=b, endpoint;flag;expires=2027-03-01T10:00:00.250+01:00");
    ASSERT_EQ(notices.size(), 3u);
    ASSERT_TRUE(notices[0].endpoint());
    EXPECT_EQ(notices[0].endpoint()->replacement, "https://id.example/v2");
    ASSERT_TRUE(notices[0].endpoint()->expires);
    EXPECT_EQ(CorvaneJSON::encodeDate(*notices[0].endpoint()->expires), "2027-03-01T00:00:00.000Z");
    EXPECT_EQ(notices[0].endpoint()->reason, "old");
    ASSERT_TRUE(notices[1].client());
    EXPECT_EQ(notices[1].client()->minVersion, "2.0");
    EXPECT_EQ(notices[1].client()->currentVersion, "1.9");
    EXPECT_EQ(notices[1].client()->reason, "y");
    ASSERT_TRUE(notices[2].endpoint());
    EXPECT_FALSE(notices[2].endpoint()->replacement);
    EXPECT_EQ(CorvaneJSON::encodeDate(*notices[2].endpoint()->expires), "2027-03-01T09:00:00.250Z");

    EXPECT_TRUE(CorvaneDeprecationParser::parse("").empty());
    EXPECT_TRUE(CorvaneDeprecationParser::parse(";;,;=,").empty());
    EXPECT_FALSE(CorvaneDeprecationParser::parseISO8601("2027-02-30x"));
    EXPECT_FALSE(CorvaneDeprecationParser::parseISO8601("tomorrow"));
}

// --- requests ---

TEST_F(AuthClientTest, HeadersCarryTheSessionAndProofOnlyWhenThereIsACas) {
    auto signer = std::make_shared<const DPoPSigner>();
    makeClient(signer, "7.7.7");
    server().route("POST", "/api/app-data-token",
                   SimHttpReply::json(200, R"({"ok":true,"app_data_token":"adt",)"
                                           R"("expires_at":"2027-01-01T00:00:00Z"})"));
    auto token = run(client->getAppDataToken("cas-1"));
    ASSERT_TRUE(token.value) << "no value";
    EXPECT_EQ(*token.value, "adt");

    ASSERT_EQ(server().requests().size(), 1u);
    const HttpRequest& sent = server().requests()[0];
    EXPECT_EQ(sent.url, "https://id.corvane.example/api/app-data-token");
    EXPECT_EQ(sent.method, "POST");
    EXPECT_EQ(sent.redirects, platform::RedirectPolicy::none);
    std::vector<std::string> names;
    for (const auto& [name, value] : sent.headers.fields())
        names.push_back(name);
    EXPECT_EQ(names, (std::vector<std::string>{"Content-Type", "Accept", "User-Agent",
                                               "Corvane-Lib-Version", "Corvane-Client-Version",
                                               "Authorization", "DPoP"}));
    // The user agent names the library's own version whatever the configuration says.
    EXPECT_EQ(sent.headers.value("User-Agent"), "CorvaneAccount/0.9.5 (1.9.9)");
    EXPECT_EQ(sent.headers.value("Corvane-Lib-Version"), "7.7.7");
    EXPECT_EQ(sent.headers.value("Authorization"), "Bearer cas-1");
    EXPECT_EQ(std::string(sent.body.begin(), sent.body.end()), R"({"app_slug":"quillet"})");
    const std::string proof = sent.headers.value("DPoP").value_or("");
    EXPECT_EQ(std::count(proof.begin(), proof.end(), '.'), 2);

    // Without a signer: the bearer token only. Without a cas: neither.
    makeClient(nullptr);
    ASSERT_TRUE(run(client->getAppDataToken("cas-2")).value);
    EXPECT_EQ(server().requests()[1].headers.value("Authorization"), "Bearer cas-2");
    EXPECT_FALSE(server().requests()[1].headers.value("DPoP"));
    routeRefresh();
    ASSERT_TRUE(run(client->refresh("rt-0")).value);
    EXPECT_FALSE(server().requests()[2].headers.value("Authorization"));
    EXPECT_FALSE(server().requests()[2].headers.value("DPoP"));
    EXPECT_EQ(std::string(server().requests()[2].body.begin(), server().requests()[2].body.end()),
              R"({"app_slug":"quillet","refresh_token":"rt-0","client_version":"1.9.9"})");
}

TEST_F(AuthClientTest, ASessionExpiringWithinTwoDaysIsRefreshedBeforeTheRequest) {
    routeRefresh();
    server().route("POST", "/api/app-data-token",
                   SimHttpReply::json(200, R"({"ok":true,"app_data_token":"adt",)"
                                           R"("expires_at":"2027-01-01T00:00:00Z"})"));

    stored = session("cas-old", "rt-0", std::chrono::hours(49));
    ASSERT_TRUE(run(client->getAppDataToken("cas-old")).value);
    EXPECT_EQ(refreshes, 0);
    EXPECT_EQ(server().requests().back().headers.value("Authorization"), "Bearer cas-old");

    stored = session("cas-old", "rt-0", std::chrono::hours(47));
    ASSERT_TRUE(run(client->getAppDataToken("cas-old")).value);
    EXPECT_EQ(refreshes, 1);
    EXPECT_EQ(server().requests().back().headers.value("Authorization"), "Bearer cas-1");
    EXPECT_EQ(rotations, (std::vector<std::pair<std::string, std::string>>{{"rt-0", "cas-1"}}));

    // A failed proactive refresh is dropped: the request goes with the cas it was given.
    stored = session("cas-x", "rt-unknown", -std::chrono::hours(1));
    routeRefresh(500);
    ASSERT_TRUE(run(client->getAppDataToken("cas-x")).value);
    EXPECT_EQ(server().requests().back().headers.value("Authorization"), "Bearer cas-x");
}

TEST_F(AuthClientTest, A401IsRecoveredByOneRefreshAndOneResendNeverAThird) {
    routeRefresh();
    stored = session("cas-old", "rt-0", std::chrono::hours(240));
    server().routeSequence(
        "POST", "/api/app-data-token",
        {SimHttpReply::json(401, R"({"error":"expired"})"),
         SimHttpReply::json(
             200, R"({"ok":true,"app_data_token":"adt","expires_at":"2027-01-01T00:00:00Z"})")});
    auto ok = run(client->getAppDataToken("cas-old"));
    ASSERT_TRUE(ok.value);
    EXPECT_EQ(refreshes, 1);
    EXPECT_EQ(server().count("POST", "/api/app-data-token"), 2u);
    EXPECT_EQ(server().requests().back().headers.value("Authorization"), "Bearer cas-1");

    // Both answers 401: one refresh, one resend, then sessionExpired.
    server().route("POST", "/api/app-data-token", SimHttpReply::json(401, "{}"));
    stored = session("cas-1", "rt-1", std::chrono::hours(240));
    auto expired = run(client->getAppDataToken("cas-1"));
    ASSERT_TRUE(expired.errorAs<CorvaneError>());
    EXPECT_EQ(expired.errorAs<CorvaneError>()->kind(), CorvaneError::Kind::sessionExpired);
    EXPECT_EQ(refreshes, 2);
    EXPECT_EQ(server().count("POST", "/api/app-data-token"), 4u);
    ASSERT_FALSE(logged("request_auth_failed").empty());
    EXPECT_EQ(logged("request_auth_failed").back().metadata.at("class"), "auth");

    // A failed refresh returns the first 401 without a resend.
    routeRefresh(400);
    stored = session("cas-2", "rt-2", std::chrono::hours(240));
    auto failed = run(client->getAppDataToken("cas-2"));
    EXPECT_EQ(failed.errorAs<CorvaneError>()->kind(), CorvaneError::Kind::sessionExpired);
    EXPECT_EQ(server().count("POST", "/api/app-data-token"), 5u);

    // Without a refresh token there is nothing to recover with.
    stored = session("cas-3", std::nullopt, std::chrono::hours(240));
    const int before = refreshes;
    EXPECT_TRUE(run(client->getAppDataToken("cas-3")).error);
    EXPECT_EQ(refreshes, before);
    EXPECT_EQ(server().count("POST", "/api/app-data-token"), 6u);
}

TEST_F(AuthClientTest, ConcurrentRejectedCallsShareOneRefresh) {
    routeRefresh();
    stored = session("cas-old", "rt-0", std::chrono::hours(240));
    server().route("POST", "/api/app-data-token", [](const HttpRequest& r) {
        if (r.headers.value("Authorization") == "Bearer cas-old")
            return SimHttpReply::json(401, "{}").after(0.5);
        return SimHttpReply::json(
            200, R"({"ok":true,"app_data_token":"adt","expires_at":"2027-01-01T00:00:00Z"})");
    });
    server().route("POST", "/api/app-sessions/refresh", [this](const HttpRequest&) {
        ++refreshes;
        return SimHttpReply::json(
                   200, casJSON("cas-new", "rt-new", platform::now() + std::chrono::hours(240)))
            .after(2);
    });
    std::vector<std::shared_ptr<Outcome<std::string>>> calls;
    for (int i = 0; i < 10; ++i)
        calls.push_back(test_support::start(client->getAppDataToken("cas-old")));
    for (int i = 0; i < 30; ++i)
        host.advance(1);
    for (const auto& c : calls) {
        ASSERT_TRUE(c->finished);
        EXPECT_EQ(c->value, "adt");
    }
    EXPECT_EQ(refreshes, 1);
    EXPECT_EQ(rotations.size(), 1u);
}

TEST_F(AuthClientTest, StatusesMapToTheLibrarysErrors) {
    auto errorOf = [this](SimHttpReply reply) {
        server().route("POST", "/api/app-data-token", reply);
        auto o = run(client->getAppDataToken("cas"));
        EXPECT_TRUE(o.error);
        return o.errorAs<CorvaneError>().value_or(CorvaneError::notSignedIn());
    };
    // An error body that is not JSON still gives the status, without a code.
    EXPECT_EQ(errorOf(SimHttpReply::http(502, "<html>bad gateway</html>")),
              CorvaneError::serverError(502));
    EXPECT_EQ(errorOf(SimHttpReply::json(400, R"({"error":"invalid_request"})")),
              CorvaneError::serverError(400, "invalid_request"));
    EXPECT_EQ(logged("request_server_failed").back().metadata,
              (std::map<std::string, std::string>{{"endpoint", "/api/app-data-token"},
                                                  {"status", "400"},
                                                  {"class", "server"},
                                                  {"code", "invalid_request"}}));
    // A redirect is an answer like any other: it is not followed.
    EXPECT_EQ(errorOf(SimHttpReply::http(307).header("Location", "https://evil.example/steal")),
              CorvaneError::serverError(307));
    EXPECT_EQ(server().requests().back().url, "https://id.corvane.example/api/app-data-token");

    // 426 names the first replacement endpoint of the header, if any.
    EXPECT_EQ(errorOf(SimHttpReply::http(426).header(
                  "Corvane-Deprecation", "client;min-version=1.0, endpoint;replacement=https://"
                                         "id.example/v2/token, endpoint;replacement=https://b")),
              CorvaneError::clientKilled("https://id.example/v2/token"));
    EXPECT_EQ(errorOf(SimHttpReply::http(426)), CorvaneError::clientKilled());
    EXPECT_EQ(logged("client_killed").back().metadata.at("class"), "clientKilled");

    // An undecodable success body, a non-HTTP answer, and a transport failure.
    EXPECT_EQ(errorOf(SimHttpReply::json(200, R"({"ok":true})")),
              CorvaneError::malformedResponse("AppDataTokenResponse"));
    EXPECT_EQ(logged("request_decode_failed").back().metadata.at("field"), "AppDataTokenResponse");
    EXPECT_EQ(errorOf(SimHttpReply::nonHTTP("x")), CorvaneError::malformedResponse("response"));
    EXPECT_EQ(errorOf(SimHttpReply::failure(platform::URLError::cannotConnectToHost)),
              CorvaneError::networkUnavailable());
    EXPECT_EQ(logged("request_transport_failed").back().level, CorvaneLogLevel::warning);
}

TEST_F(AuthClientTest, AClientNoticeAboveTheVersionTurnsEvenASuccessIntoRequiresUpgrade) {
    auto answer = [](const std::string& minVersion) {
        return SimHttpReply::json(
                   200, R"({"ok":true,"app_data_token":"adt","expires_at":"2027-01-01T00:00:00Z"})")
            .header("Corvane-Deprecation", "client; min-version=" + minVersion + "; reason=old");
    };
    server().route("POST", "/api/app-data-token", answer("2.0"));
    auto refused = run(client->getAppDataToken("cas"));
    EXPECT_EQ(refused.errorAs<CorvaneError>(), CorvaneError::requiresUpgrade("2.0"));
    ASSERT_EQ(notices.size(), 1u);
    ASSERT_TRUE(notices[0][0].client());
    EXPECT_EQ(notices[0][0].client()->reason, "old");
    EXPECT_EQ(logged("requires_upgrade").back().metadata,
              (std::map<std::string, std::string>{{"endpoint", "/api/app-data-token"},
                                                  {"status", "200"},
                                                  {"class", "requiresUpgrade"}}));

    // The client is 1.9.9: a minimum of 1.9.9 or below passes.
    for (const char* ok : {"1.9.9", "1.9.9.0", "1.9", "1.9.8-beta"}) {
        server().route("POST", "/api/app-data-token", answer(ok));
        EXPECT_TRUE(run(client->getAppDataToken("cas")).value) << ok;
    }
    EXPECT_EQ(notices.size(), 5u);
}

TEST_F(AuthClientTest, LogLinesNeverCarrySecrets) {
    routeRefresh(400);
    stored = session("cas-secret", "rt-secret", std::chrono::hours(1));
    server().route("POST", "/api/app-data-token",
                   SimHttpReply::json(401, R"({"error":"cas-secret"})"));
    run(client->getAppDataToken("cas-secret"));
    server().route("POST", "/api/app-data-token",
                   SimHttpReply::failure(platform::URLError::timedOut));
    run(client->getAppDataToken("cas-secret"));
    ASSERT_FALSE(logs.empty());
    for (const auto& line : logs)
        for (const auto& [key, value] : line.metadata) {
            EXPECT_EQ(value.find("rt-secret"), std::string::npos) << line.key;
            if (key != "code") {
                EXPECT_EQ(value.find("cas-secret"), std::string::npos) << line.key;
            }
        }
}

TEST_F(AuthClientTest, APathThatFormsNoURLIsRefusedWithoutSending) {
    auto o = run(client->performWithAuthRecovery("http://[::1", "POST", std::nullopt, std::nullopt,
                                                 AuthRecovery::allowed));
    EXPECT_EQ(o.errorAs<CorvaneError>(), CorvaneError::malformedResponse("url"));
    EXPECT_TRUE(server().requests().empty());
    // Relative paths resolve against the base; absolute paths replace its path.
    EXPECT_EQ(client->resolve("v2/x"), "https://id.corvane.example/base/v2/x");
    EXPECT_EQ(client->resolve("/api/x?y=1"), "https://id.corvane.example/api/x?y=1");
}

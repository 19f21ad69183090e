#include "OIDC/AuthorizationService.h"
#include "OIDC/Error.h"
#include "Platform/Sim/SimHost.h"
#include "Platform/Sim/SimHttpSession.h"
#include "tests/support/AsyncCall.h"

#include <gtest/gtest.h>

#include <boost/url/parse.hpp>
#include <nlohmann/json.hpp>

#include <string>

using oidc::ServiceConfiguration;
using platform::sim::SimHttpReply;

namespace {

constexpr const char* issuer = "https://auth.corvane.example";
constexpr const char* wellKnown = "/.well-known/openid-configuration";

nlohmann::json document(const std::string& iss = issuer) {
    return {{"issuer", iss},
            {"authorization_endpoint", iss + "/oauth/authorize"},
            {"token_endpoint", iss + "/oauth/token"},
            {"jwks_uri", iss + "/jwks.json"},
            {"code_challenge_methods_supported", {"S256"}},
            {"scopes_supported", {"openid", "email"}}};
}

class DiscoveryTest : public ::testing::Test {
protected:
    std::shared_ptr<testsupport::AsyncCall<ServiceConfiguration>>
    discover(const std::string& issuerURL) {
        auto url = boost::urls::url(*boost::urls::parse_uri(issuerURL));
        auto call = testsupport::startCall<ServiceConfiguration>([this, url] {
            return oidc::AuthorizationService::discoverServiceConfigurationForIssuer(
                url, host.simHttp());
        });
        host.runUntilIdle();
        return call;
    }

    // The error a discovery ended with; fails the test when it ended otherwise.
    oidc::Error failure(const std::string& issuerURL) {
        auto call = discover(issuerURL);
        EXPECT_TRUE(call->finished);
        auto e = call->errorAs<oidc::Error>();
        EXPECT_TRUE(e.has_value()) << "discovery did not fail with an oidc::Error";
        return e.value_or(oidc::Error("none", 0, ""));
    }

    platform::sim::SimHost host;
};

TEST_F(DiscoveryTest, LoadsTheConfigurationFromTheWellKnownLocationWithoutFollowingRedirects) {
    host.simHttp().route("GET", wellKnown, SimHttpReply::json(200, document().dump()));
    auto call = discover(issuer);
    ASSERT_TRUE(call->value) << "discovery failed";
    EXPECT_EQ(call->value->issuer.buffer(), issuer);
    EXPECT_EQ(call->value->authorizationEndpoint.buffer(),
              "https://auth.corvane.example/oauth/authorize");
    EXPECT_EQ(call->value->tokenEndpoint.buffer(), "https://auth.corvane.example/oauth/token");
    ASSERT_TRUE(call->value->jwksURI);
    EXPECT_FALSE(call->value->userinfoEndpoint);
    EXPECT_EQ(call->value->codeChallengeMethodsSupported, std::vector<std::string>{"S256"});

    ASSERT_EQ(host.simHttp().requests().size(), 1u);
    const auto& request = host.simHttp().requests().front();
    EXPECT_EQ(request.method, "GET");
    EXPECT_EQ(request.url, std::string(issuer) + wellKnown);
    EXPECT_EQ(request.redirects, platform::RedirectPolicy::none);
    EXPECT_GT(request.timeout, 0);
    ASSERT_TRUE(request.maxBodyBytes);
}

TEST_F(DiscoveryTest, ReadsWhetherTheServerNamesItselfInEveryAuthorizationResponse) {
    // RFC 9207 §3: only a JSON true says so.
    for (auto [value, expected] :
         {std::pair{nlohmann::json(true), true}, std::pair{nlohmann::json(false), false},
          std::pair{nlohmann::json("true"), false}, std::pair{nlohmann::json(1), false}}) {
        SCOPED_TRACE(value.dump());
        auto doc = document();
        doc["authorization_response_iss_parameter_supported"] = value;
        host.simHttp().route("GET", wellKnown, SimHttpReply::json(200, doc.dump()));
        auto call = discover(issuer);
        ASSERT_TRUE(call->value);
        EXPECT_EQ(call->value->authorizationResponseIssParameterSupported, expected);
    }
    host.simHttp().route("GET", wellKnown, SimHttpReply::json(200, document().dump()));
    auto call = discover(issuer);
    ASSERT_TRUE(call->value);
    EXPECT_FALSE(call->value->authorizationResponseIssParameterSupported);
}

TEST_F(DiscoveryTest, AnIssuerWithAPathKeepsItAndLosesATrailingSlash) {
    const std::string tenant = std::string(issuer) + "/tenant/";
    host.simHttp().route("GET", std::string("/tenant") + wellKnown,
                         SimHttpReply::json(200, document(tenant).dump()));
    auto call = discover(tenant);
    ASSERT_TRUE(call->value);
    EXPECT_EQ(host.simHttp().requests().at(0).url, std::string(issuer) + "/tenant" + wellKnown);
}

TEST_F(DiscoveryTest, RefusesAnswersThatAreNotAUsableDocument) {
    struct Case {
        const char* name;
        SimHttpReply reply;
        std::string domain;
        int code;
    };
    auto without = [](const char* key) {
        auto d = document();
        d.erase(key);
        return d.dump();
    };
    auto with = [](const char* key, nlohmann::json value) {
        auto d = document();
        d[key] = std::move(value);
        return d.dump();
    };
    const std::string general(oidc::ErrorDomain::general);
    const std::string http(oidc::ErrorDomain::remoteHTTP);
    const int invalid = oidc::GeneralErrorCode::invalidDiscoveryDocument;
    const int notJSON = oidc::GeneralErrorCode::jsonDeserializationError;
    std::vector<Case> cases{
        {"server error", SimHttpReply::json(500, document().dump()), http, 500},
        {"not found", SimHttpReply::http(404), http, 404},
        {"no content", SimHttpReply::http(204), general, notJSON},
        {"array", SimHttpReply::json(200, "[1,2]"), general, notJSON},
        {"string", SimHttpReply::json(200, "\"issuer\""), general, notJSON},
        {"truncated", SimHttpReply::json(200, document().dump().substr(0, 40)), general, notJSON},
        {"no authorization endpoint", SimHttpReply::json(200, without("authorization_endpoint")),
         general, invalid},
        {"no token endpoint", SimHttpReply::json(200, without("token_endpoint")), general, invalid},
        {"no issuer", SimHttpReply::json(200, without("issuer")), general, invalid},
        {"other issuer", SimHttpReply::json(200, document("https://evil.example").dump()), general,
         invalid},
        {"issuer with a trailing slash",
         SimHttpReply::json(200, with("issuer", std::string(issuer) + "/")), general, invalid},
        {"endpoint not a string", SimHttpReply::json(200, with("authorization_endpoint", 7)),
         general, invalid},
        {"endpoint relative", SimHttpReply::json(200, with("authorization_endpoint", "/authz")),
         general, invalid},
        {"endpoint plain http",
         SimHttpReply::json(200, with("authorization_endpoint", "http://auth.example/a")), general,
         invalid},
        {"endpoint with fragment",
         SimHttpReply::json(200, with("token_endpoint", "https://auth.example/t#x")), general,
         invalid},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        host.simHttp().route("GET", wellKnown, c.reply);
        auto e = failure(issuer);
        EXPECT_EQ(e.domain(), c.domain);
        EXPECT_EQ(e.code(), c.code);
        EXPECT_FALSE(e.localizedDescription().empty());
    }
}

TEST_F(DiscoveryTest, ARedirectIsAnErrorAndIsNotFollowed) {
    host.simHttp().route("GET", wellKnown,
                         SimHttpReply::http(307).header("Location", "https://auth.corvane.example/"
                                                                    "moved"));
    host.simHttp().route("GET", "/moved", SimHttpReply::json(200, document().dump()));
    auto e = failure(issuer);
    EXPECT_EQ(e.domain(), oidc::ErrorDomain::remoteHTTP);
    EXPECT_EQ(e.code(), 307);
    EXPECT_EQ(host.simHttp().count("GET", "/moved"), 0u);
}

TEST_F(DiscoveryTest, ATransportFailureIsANetworkError) {
    host.simHttp().online = false;
    auto e = failure(issuer);
    EXPECT_EQ(e.domain(), oidc::ErrorDomain::general);
    EXPECT_EQ(e.code(), oidc::GeneralErrorCode::networkError);
}

TEST_F(DiscoveryTest, RefusesIssuersThatCannotBeDiscoveredSafelyBeforeSendingAnything) {
    for (const char* bad : {"http://auth.corvane.example", "https://auth.corvane.example/?a=1",
                            "https://auth.corvane.example/#f", "ftp://auth.corvane.example"}) {
        SCOPED_TRACE(bad);
        auto e = failure(bad);
        EXPECT_EQ(e.code(), oidc::GeneralErrorCode::invalidDiscoveryDocument);
    }
    EXPECT_TRUE(host.simHttp().requests().empty());
    // Plain http is fine on the loopback interface (a local test service).
    const std::string local = "http://127.0.0.1:8080";
    host.simHttp().route("GET", wellKnown, SimHttpReply::json(200, document(local).dump()));
    EXPECT_TRUE(discover(local)->value);
}

TEST_F(DiscoveryTest, CancellingTheAwaitingTaskCancelsTheFetch) {
    host.simHttp().route("GET", wellKnown, SimHttpReply::json(200, document().dump()).after(10));
    boost::asio::cancellation_signal signal;
    auto url = boost::urls::url(*boost::urls::parse_absolute_uri(issuer));
    auto call = testsupport::startCall<ServiceConfiguration>(
        [this, url] {
            return oidc::AuthorizationService::discoverServiceConfigurationForIssuer(
                url, host.simHttp());
        },
        &signal);
    host.advance(1);
    signal.emit(boost::asio::cancellation_type::terminal);
    host.advance(20);
    ASSERT_TRUE(call->finished);
    auto e = call->errorAs<platform::HttpTransportError>();
    ASSERT_TRUE(e);
    EXPECT_TRUE(e->isCancelled());
}

} // namespace

#include "OIDC/AuthorizationRequest.h"
#include "OIDC/Error.h"
#include "OIDC/TokenUtilities.h"

#include <gtest/gtest.h>

#include <boost/url/parse.hpp>

#include <set>

using oidc::AuthorizationRequest;
using oidc::Parameters;

namespace {

boost::urls::url url(const char* text) {
    return boost::urls::url(*boost::urls::parse_uri(text));
}

oidc::ServiceConfiguration configuration(const char* authorizationEndpoint) {
    oidc::ServiceConfiguration c;
    c.issuer = url("https://auth.corvane.example");
    c.authorizationEndpoint = url(authorizationEndpoint);
    c.tokenEndpoint = url("https://auth.corvane.example/token");
    return c;
}

AuthorizationRequest request(const char* endpoint, Parameters extra = {},
                             std::vector<std::string> scopes = {"openid", "email"}) {
    return AuthorizationRequest::make(configuration(endpoint), "quillet-mac", scopes,
                                      url("quillet://auth/callback"), oidc::responseTypeCode,
                                      std::move(extra));
}

// The parameters of a URL's query as a form decoder (an authorization server) reads them.
Parameters decodedQuery(const boost::urls::url& u) {
    boost::urls::encoding_opts form;
    form.space_as_plus = true;
    Parameters out;
    for (auto p : boost::urls::url_view(u).params(form))
        out.emplace_back(std::string(p.key), std::string(p.value));
    return out;
}

bool isURLSafeBase64(const std::string& s) {
    return s.find_first_not_of(
               "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_") ==
           std::string::npos;
}

TEST(AuthorizationRequest, HasFreshStateNonceAndAnS256PairOf32RandomBytes) {
    std::set<std::string> seen;
    for (int i = 0; i < 3; ++i) {
        auto r = request("https://auth.corvane.example/authorize");
        for (const auto* value : {&r.state, &r.nonce, &r.codeVerifier}) {
            ASSERT_TRUE(value->has_value());
            EXPECT_EQ((*value)->size(), 43u);
            EXPECT_TRUE(isURLSafeBase64(**value)) << **value;
            EXPECT_TRUE(seen.insert(**value).second) << "a random value repeated";
        }
        EXPECT_EQ(r.codeChallenge, oidc::TokenUtilities::codeChallengeS256(*r.codeVerifier));
        EXPECT_EQ(r.codeChallengeMethod, "S256");
        EXPECT_EQ(r.responseType, "code");
        EXPECT_EQ(r.scope, "openid email");
    }
}

TEST(AuthorizationRequest, S256ChallengeMatchesTheRFC7636Example) {
    // RFC 7636 Appendix B.
    EXPECT_EQ(
        oidc::TokenUtilities::codeChallengeS256("dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk"),
        "E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM");
    EXPECT_EQ(oidc::TokenUtilities::encodeBase64URLNoPadding("\xfb\xff"), "-_8");
    EXPECT_EQ(oidc::TokenUtilities::randomURLSafeString(0), "");
}

TEST(AuthorizationRequest, URLKeepsTheEndpointQueryThenStandardThenAdditionalParametersInOrder) {
    auto r = request("https://auth.corvane.example/authorize?tenant=a%20b&x=1",
                     {{"corvane_app_slug", "quillet"}, {"z", "a+b&c=d é/?"}, {"prompt", ""}});
    auto u = r.authorizationRequestURL();
    const std::string expected =
        "https://auth.corvane.example/authorize?tenant=a%20b&x=1"
        "&response_type=code&client_id=quillet-mac"
        "&redirect_uri=quillet%3A%2F%2Fauth%2Fcallback&scope=openid+email&state=" +
        *r.state + "&nonce=" + *r.nonce + "&code_challenge=" + *r.codeChallenge +
        "&code_challenge_method=S256&corvane_app_slug=quillet&z=a%2Bb%26c%3Dd+%C3%A9%2F%3F"
        "&prompt=";
    EXPECT_EQ(u.buffer(), expected);

    // A form decoder gets back exactly what was put in, in order.
    Parameters expectedParams{{"tenant", "a b"}, {"x", "1"}};
    for (auto& p : r.parameters())
        expectedParams.push_back(p);
    EXPECT_EQ(decodedQuery(u), expectedParams);
}

TEST(AuthorizationRequest, WithoutScopesOrEndpointQueryTheURLStartsWithTheStandardParameters) {
    auto r = request("https://auth.corvane.example/authorize", {}, {});
    EXPECT_FALSE(r.scope);
    auto text = std::string(r.authorizationRequestURL().buffer());
    EXPECT_EQ(text.rfind("https://auth.corvane.example/authorize?response_type=code&client_id=", 0),
              0u)
        << text;
    EXPECT_EQ(text.find("scope="), std::string::npos);
}

TEST(AuthorizationRequest, RefusesRequestsThatCannotBeSentAsGiven) {
    auto expectInvalid = [](auto make) {
        try {
            make();
            ADD_FAILURE() << "accepted";
        } catch (const oidc::Error& e) {
            EXPECT_EQ(e.domain(), oidc::ErrorDomain::general);
            EXPECT_EQ(e.code(), oidc::GeneralErrorCode::invalidRequest);
        }
    };
    for (const char* name : {"state", "client_id", "redirect_uri", "code_challenge", "nonce"}) {
        SCOPED_TRACE(name);
        expectInvalid([&] { request("https://a.example/authorize", {{name, "x"}}); });
    }
    expectInvalid([] {
        AuthorizationRequest::make(configuration("https://a.example/authorize"), "", {"openid"},
                                   url("quillet://auth/callback"));
    });
    expectInvalid([] {
        AuthorizationRequest::make(configuration("https://a.example/authorize"), "id", {"openid"},
                                   boost::urls::url("/relative"));
    });
}

} // namespace

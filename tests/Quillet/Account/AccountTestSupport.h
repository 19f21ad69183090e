// Quillet launched on the simulated Mac with a scripted identity service: discovery, the code
// exchange and the revoke answer as the real service does, and a browser sign-in can be driven
// to its redirect.
#pragma once

#include "CorvaneAccount/Foundation/CorvaneJSON.h"
#include "Platform/Sim/SimHttpSession.h"
#include "Platform/Sim/SimWebAuthentication.h"
#include "Quillet/Account/AccountModel.h"
#include "Quillet/Account/CorvaneAccountBridge.h"
#include "Quillet/Account/SignInWindowView.h"
#include "tests/support/QuilletFixture.h"

#include <boost/url/parse.hpp>
#include <chrono>
#include <string>

namespace quillet::test {

inline std::string casJSON(const std::string& cas, const std::string& email = "ada@example.com") {
    const auto expires = platform::now() + std::chrono::hours(24);
    return R"({"ok":true,"cas":")" + cas + R"(","refresh_token":"rt-)" + cas +
           R"(","expires_at":")" + corvane::CorvaneJSON::encodeDate(expires) +
           R"(","corvane_account_id":"ca_0190a5a0-1c2d-7e3f-8a4b-5c6d7e8f9a0b","email":")" + email +
           R"(","app_slug":"quillet"})";
}

inline std::string queryValue(const std::string& url, const std::string& name) {
    auto u = boost::urls::parse_uri_reference(url);
    if (!u)
        return {};
    auto it = u->params().find(name);
    return it == u->params().end() ? std::string() : std::string((*it).value);
}

class AccountFixture : public QuilletFixture {
protected:
    AccountFixture() {
        using platform::sim::SimHttpReply;
        sim.simHttp().route(
            "GET", "/.well-known/openid-configuration",
            SimHttpReply::json(200,
                               R"({"issuer":"https://auth.corvane.com",)"
                               R"("authorization_endpoint":"https://auth.corvane.com/authorize",)"
                               R"("token_endpoint":"https://auth.corvane.com/token"})"));
        sim.simHttp().route("POST", "/api/app-sessions/exchange",
                            SimHttpReply::json(200, casJSON("cas-secret-1")));
        sim.simHttp().route("POST", "/api/sessions/revoke", SimHttpReply::json(200, "{}"));
    }

    AccountModel& account() { return *AppDelegate::sharedAccount; }
    CorvaneAccountBridge& bridge() { return *AppDelegate::sharedBridge; }

    std::shared_ptr<SignInWindowView> signInView() {
        auto window = delegate().signInWindow;
        return window ? std::dynamic_pointer_cast<SignInWindowView>(window->contentView())
                      : nullptr;
    }

    // Opens the sign-in window and taps a provider; the browser then shows the authorization
    // request. Returns the request's URL.
    std::string startBrowserSignIn(
        corvane::OAuthDriver::ProviderHint hint = corvane::OAuthDriver::ProviderHint::google) {
        delegate().showSignInWindow();
        auto view = signInView();
        EXPECT_TRUE(view);
        if (!view)
            return {};
        const auto opened = sim.simBrowser().openedURLs.size();
        view->screen().tapProvider(hint);
        sim.advance(1);
        EXPECT_EQ(sim.simBrowser().openedURLs.size(), opened + 1) << "the browser opened";
        return sim.simBrowser().openedURLs.empty() ? std::string()
                                                   : sim.simBrowser().openedURLs.back();
    }

    // The identity provider's redirect back into the application.
    std::string callbackFor(const std::string& authorizeURL, const std::string& code = "code-1",
                            const std::string& host = "auth") {
        return "quillet://" + host + "/callback?code=" + code +
               "&state=" + queryValue(authorizeURL, "state");
    }

    // A complete sign-in as a user does it, through the browser.
    void signIn() {
        auto url = startBrowserSignIn();
        delegate().openURLs({callbackFor(url)});
        sim.advance(1);
        sim.runUntilIdle();
    }
};

} // namespace quillet::test

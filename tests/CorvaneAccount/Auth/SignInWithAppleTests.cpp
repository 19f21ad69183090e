#include "CorvaneAccount/Auth/SignInWithAppleDriver.h"
#include "CorvaneAccount/Facade/CorvaneAccountManager.h"
#include "CorvaneAccount/Storage/KeychainStorage.h"
#include "Platform/Sim/SimHost.h"
#include "Platform/Sim/SimHttpSession.h"
#include "Platform/Window.h"
#include "tests/support/AsyncTestSupport.h"
#include "tests/support/IdentityFixtures.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <string>
#include <vector>

using namespace corvane;
using platform::AppleIDCredential;
using platform::sim::SimHttpReply;
using State = CorvaneAccountManager::State;
using test_support::accountID;

namespace {

std::vector<std::uint8_t> bytes(const std::string& s) {
    return {s.begin(), s.end()};
}

AppleIDCredential credential(std::optional<std::string> email = "ada@icloud.example") {
    AppleIDCredential c;
    c.authorizationCode = bytes("apple-code");
    c.identityToken = bytes("header.payload.signature");
    c.user = "001234.abcd";
    c.givenName = "Ada";
    c.familyName = "Lovelace";
    c.email = std::move(email);
    return c;
}

class SignInWithAppleTest : public ::testing::Test {
protected:
    CorvaneConfig config() {
        return CorvaneConfig(boost::urls::url("https://auth.corvane.example"),
                             boost::urls::url("https://id.corvane.example"), "quillet",
                             "quillet-desktop", "1.0.0", "0.9.5",
                             boost::urls::url("quillet://auth/callback"), AuthScheme::systemBrowser,
                             std::nullopt, {"openid"}, &host.simHttp(), {}, "install-1");
    }

    void answer(const std::string& json) {
        host.simHttp().route("POST", "/api/integrations/apple/authcode",
                             SimHttpReply::json(200, json));
    }

    // Starts an Apple sign-in and lets it reach the sheet.
    std::shared_ptr<test_support::Outcome<CorvaneAccount>>
    start(std::shared_ptr<platform::Window> from = {}, std::optional<std::string> installID = {}) {
        auto outcome = test_support::start(manager->signInWithApple(std::move(from), installID));
        host.runUntilIdle();
        return outcome;
    }

    std::optional<StoredSession> stored() {
        return KeychainStorage("quillet", std::nullopt)
            .getJSON<StoredSession>(KeychainStorage::Keys::session);
    }

    std::string expiresAt() {
        return CorvaneJSON::encodeDate(platform::now() + std::chrono::hours(24));
    }

    platform::sim::SimHost host;
    std::shared_ptr<CorvaneAccountManager> manager = CorvaneAccountManager::create(config());
};

} // namespace

TEST_F(SignInWithAppleTest, TheSheetsCodeIsExchangedAndTheSessionStored) {
    answer(std::string(R"({"ok":true,"corvane_account_id":")") + accountID +
           R"(","email":"ada@icloud.example","cas":"cas-a","refresh_token":"rt-a","expires_at":")" +
           expiresAt() + R"(","is_new_user":true})");
    auto window = host.addWindow(false, true);
    auto outcome = start(window, "install-given");
    EXPECT_EQ(manager->state(), State::signingIn(true));

    // One request for the name and e-mail, attached to the given window.
    ASSERT_EQ(host.simAppleID().requests().size(), 1u);
    const auto& request = *host.simAppleID().requests()[0];
    EXPECT_EQ(request.scopes, (std::vector<std::string>{"full_name", "email"}));
    EXPECT_EQ(request.anchor, window);

    ASSERT_TRUE(host.simAppleID().complete(credential()));
    test_support::runUntilFinished(host, outcome);
    ASSERT_TRUE(outcome->value) << "sign-in failed";
    EXPECT_EQ(outcome->value->emailPrimary, "ada@icloud.example");
    EXPECT_EQ(manager->state(), State::signedIn(*outcome->value));
    EXPECT_EQ(manager->lastAppleSignInIsNewUser.get(), true);

    const auto& sent = host.simHttp().requests().back();
    EXPECT_EQ(std::string(sent.body.begin(), sent.body.end()),
              R"({"app_slug":"quillet","authorization_code":"apple-code",)"
              R"("identity_token":"header.payload.signature","install_id":"install-given"})");
    auto session = stored();
    ASSERT_TRUE(session);
    EXPECT_EQ(session->cas, "cas-a");
    EXPECT_EQ(session->refreshToken, "rt-a");
    EXPECT_EQ(session->appSlug, "quillet");
}

TEST_F(SignInWithAppleTest, ASecondSignInTakesTheEmailFromTheServiceAndMayLackARefreshToken) {
    // The credential of a returning user carries no e-mail; the answer has no is_new_user and
    // no refresh token.
    answer(std::string(R"({"ok":true,"corvane_account_id":")") + accountID +
           R"(","email":"ada@privaterelay.example","cas":"cas-b","expires_at":")" + expiresAt() +
           R"("})");
    auto outcome = start();
    // Without a window the sheet still gets an anchor.
    ASSERT_EQ(host.simAppleID().requests().size(), 1u);
    EXPECT_TRUE(host.simAppleID().requests()[0]->anchor);
    host.simAppleID().complete(credential(std::nullopt));
    test_support::runUntilFinished(host, outcome);
    ASSERT_TRUE(outcome->value);
    EXPECT_EQ(outcome->value->emailPrimary, "ada@privaterelay.example");
    EXPECT_EQ(manager->lastAppleSignInIsNewUser.get(), std::nullopt);
    ASSERT_TRUE(stored());
    EXPECT_FALSE(stored()->refreshToken);
    // The configured install id stands in for a missing one.
    const auto& sent = host.simHttp().requests().back();
    EXPECT_NE(std::string(sent.body.begin(), sent.body.end()).find(R"("install_id":"install-1")"),
              std::string::npos);
}

TEST_F(SignInWithAppleTest, EveryWayTheSheetOrTheServiceFailsEndsInFailedWithNothingStored) {
    struct Case {
        const char* name;
        std::function<void()> act;
        CorvaneError expected;
    };
    answer(std::string(R"({"ok":true,"corvane_account_id":")") + accountID +
           R"(","email":"a@b.example","expires_at":")" + expiresAt() + R"("})");
    AppleIDCredential other = credential();
    other.isAppleIDCredential = false;
    AppleIDCredential badCode = credential();
    badCode.authorizationCode = std::vector<std::uint8_t>{0xff, 0xfe};
    AppleIDCredential noCode = credential();
    noCode.authorizationCode.reset();
    const std::vector<Case> cases{
        {"cancel", [&] { host.simAppleID().userCancel(); }, CorvaneError::authorizationCancelled()},
        {"failure", [&] { host.simAppleID().fail(1004, "The request failed."); },
         CorvaneError::authorizationFailed("The request failed.")},
        {"other credential", [&] { host.simAppleID().complete(other); },
         CorvaneError::authorizationFailed("siwa_missing_credential")},
        {"code not UTF-8", [&] { host.simAppleID().complete(badCode); },
         CorvaneError::authorizationFailed("siwa_missing_authcode")},
        {"no code", [&] { host.simAppleID().complete(noCode); },
         CorvaneError::authorizationFailed("siwa_missing_authcode")},
        // The answer above lacks the cas.
        {"no session", [&] { host.simAppleID().complete(credential()); },
         CorvaneError::authorizationFailed("apple_authcode_unavailable")},
    };
    for (const auto& c : cases) {
        auto outcome = start();
        c.act();
        test_support::runUntilFinished(host, outcome);
        EXPECT_EQ(outcome->errorAs<CorvaneError>(), c.expected) << c.name;
        EXPECT_EQ(manager->state(), State::failed(c.expected)) << c.name;
        EXPECT_FALSE(stored()) << c.name;
    }
    // A late second answer to a finished request changes nothing.
    EXPECT_FALSE(host.simAppleID().userCancel());
}

TEST_F(SignInWithAppleTest, AHostWithoutTheSheetFailsAtOnceWithAClearError) {
    host.simAppleID().available = false;
    auto outcome = start();
    test_support::runUntilFinished(host, outcome);
    ASSERT_TRUE(outcome->errorAs<CorvaneError>());
    EXPECT_EQ(outcome->errorAs<CorvaneError>()->errorDescription(),
              "Sign-in failed: Sign in with Apple is not available on this system.");
    EXPECT_TRUE(host.simAppleID().requests().empty());
    EXPECT_TRUE(host.simHttp().requests().empty());

    // The base host's own facility says the same.
    platform::UnavailableAppleIDAuthorization none;
    EXPECT_FALSE(none.isAvailable());
    std::optional<platform::AppleIDAuthorizationFailure> failure;
    none.performRequest({}, nullptr, [&](auto, auto f) { failure = f; });
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->localizedDescription, SignInWithAppleDriver::unavailableReason);
}

TEST(SIWADelegate, AnswersOnceAndLetsGoOfWhatItKeptAlive) {
    auto delegate = std::make_shared<SIWADelegate>();
    auto provider = std::make_shared<PresentationProvider>(nullptr);
    int calls = 0;
    delegate->continuation = [&](std::exception_ptr, SignInWithAppleDriver::AppleAuthorization) {
        ++calls;
    };
    delegate->retainCycleBreakers = {delegate, provider};
    std::weak_ptr<SIWADelegate> weakDelegate = delegate;
    std::weak_ptr<PresentationProvider> weakProvider = provider;
    delegate.reset();
    provider.reset();
    ASSERT_FALSE(weakDelegate.expired()) << "the sheet keeps its delegate alive while it is up";
    weakDelegate.lock()->didCompleteWithAuthorization(credential());
    EXPECT_EQ(calls, 1);
    EXPECT_TRUE(weakDelegate.expired());
    EXPECT_TRUE(weakProvider.expired());
}

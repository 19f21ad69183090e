#include "tests/Quillet/Account/AccountTestSupport.h"

#include "CorvaneAccount/Foundation/CorvaneAccountLibrary.h"
#include "CorvaneAccount/Storage/CorvaneInstallMetrics.h"
#include "Quillet/App/Constants.h"

using namespace quillet;

namespace {

TEST(AccountConfiguration, TheBridgeConfiguresTheLibraryForQuillet) {
    platform::sim::SimHost sim;
    sim.bundle().infoDictionary = platform::Dictionary{{"CFBundleShortVersionString", "1.2.0"}};
    auto config = CorvaneAccountBridge::makeConfig();
    EXPECT_EQ(config.authorityURL.buffer(), "https://auth.corvane.com");
    EXPECT_EQ(config.identityURL.buffer(), "https://id.corvane.com");
    EXPECT_EQ(config.appSlug, "quillet");
    EXPECT_EQ(config.clientID, "quillet");
    EXPECT_EQ(config.clientVersion, "1.2.0");
    EXPECT_EQ(config.libVersion, corvane::CorvaneAccountLibrary::libVersion);
    EXPECT_EQ(config.redirectURI.buffer(), "quillet://auth/callback");
    EXPECT_EQ(config.preferredScheme, corvane::AuthScheme::systemBrowser);
    EXPECT_FALSE(config.keychainAccessGroup);
    EXPECT_EQ(config.scopes, std::vector<std::string>{"corvane.account"});
    EXPECT_EQ(config.urlSession, &sim.httpSession());
    EXPECT_FALSE(config.logger);
    // The installation id is the persisted one: the same on the next launch.
    ASSERT_TRUE(config.installID);
    EXPECT_EQ(config.installID, corvane::CorvaneInstallMetrics("quillet").installID());
    EXPECT_EQ(CorvaneAccountBridge::makeConfig().installID, config.installID);
}

TEST(AccountConfiguration, TheBundleNamesTheServiceAndTheEnvironmentOverridesIt) {
    platform::sim::SimHost sim;
    sim.bundle().infoDictionary =
        platform::Dictionary{{"CorvaneAuthorityURL", "https://auth.staging.corvane.com"},
                             {"CorvaneIdentityURL", "https://id.staging.corvane.com"},
                             {"CorvaneClientID", "quillet-staging"}};
    EXPECT_EQ(Constants::Auth::authorityURL(), "https://auth.staging.corvane.com");
    EXPECT_EQ(Constants::Auth::identityURL(), "https://id.staging.corvane.com");
    EXPECT_EQ(Constants::Auth::clientID(), "quillet-staging");

    sim.process().environment["QUILLET_AUTHORITY_URL"] = "http://127.0.0.1:8899";
    sim.process().environment["QUILLET_IDENTITY_URL"] = "http://127.0.0.1:8899";
    sim.process().environment["QUILLET_CLIENT_ID"] = "quillet-desktop";
    auto config = CorvaneAccountBridge::makeConfig();
    EXPECT_EQ(config.authorityURL.buffer(), "http://127.0.0.1:8899");
    EXPECT_EQ(config.identityURL.buffer(), "http://127.0.0.1:8899");
    EXPECT_EQ(config.clientID, "quillet-desktop");

    // A value that is no absolute URL is ignored, and says so.
    sim.process().environment["QUILLET_IDENTITY_URL"] = "127.0.0.1:8899/ path";
    sim.bundle().infoDictionary = platform::Dictionary{{"CorvaneIdentityURL", 42}};
    EXPECT_EQ(Constants::Auth::identityURL(), "https://id.corvane.com");
    EXPECT_EQ(sim.simLog().matching("config_value_ignored key=QUILLET_IDENTITY_URL").size(), 1u);
}

TEST(AccountConfiguration, AServiceURLThatWouldCarrySecretsInClearTextIsIgnored) {
    platform::sim::SimHost sim;
    sim.process().environment["QUILLET_IDENTITY_URL"] = "http://id.staging.corvane.com";
    sim.process().environment["QUILLET_AUTHORITY_URL"] = "http://192.168.1.5:8899";
    EXPECT_EQ(Constants::Auth::identityURL(), "https://id.corvane.com");
    EXPECT_EQ(Constants::Auth::authorityURL(), "https://auth.corvane.com");
    EXPECT_EQ(sim.simLog().matching("config_value_ignored key=QUILLET_IDENTITY_URL").size(), 1u);
    EXPECT_EQ(sim.simLog().matching("config_value_ignored key=QUILLET_AUTHORITY_URL").size(), 1u);
    // The bridge's configuration is one the library accepts.
    EXPECT_NO_THROW(CorvaneAccountBridge::makeConfig().validate());

    sim.process().environment["QUILLET_IDENTITY_URL"] = "http://localhost:8899";
    EXPECT_EQ(Constants::Auth::identityURL(), "http://localhost:8899");
}

} // namespace

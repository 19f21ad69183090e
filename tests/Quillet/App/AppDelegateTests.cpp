#include "tests/support/QuilletFixture.h"

#include "Quillet/Account/AccountModel.h"
#include "Quillet/Account/CorvaneAccountBridge.h"
#include "Quillet/App/Constants.h"
#include "Quillet/App/Log.h"

using namespace quillet;
using platform::ActivationPolicy;

namespace {

class AppDelegateTest : public quillet::test::QuilletFixture {
protected:
    static constexpr const char* translocatedPath =
        "/private/var/folders/x1/T/AppTranslocation/4F2C-11/d/Quillet.app";
};

TEST_F(AppDelegateTest, LaunchMakesAnAccessoryAppWithBothItems) {
    launch();
    EXPECT_EQ(sim.application().activationPolicy(), ActivationPolicy::accessory);
    EXPECT_EQ(sim.simStatusBar().ownItems().size(), 2u);
    EXPECT_FALSE(sim.simApplication().exitStatus().has_value());
    EXPECT_EQ(AppDelegate::shared.lock(), app->appDelegate);
    EXPECT_FALSE(delegate().applicationShouldTerminateAfterLastWindowClosed());
    EXPECT_FALSE(delegate().applicationShouldHandleReopen(false));
    EXPECT_TRUE(sim.simApplication().windows().empty()) << "no window at launch";
}

TEST_F(AppDelegateTest, QuittingReleasesTheAccountServicesWhileTheHostStillStands) {
    // The account library binds executors and timers of the host; the services holding it
    // must not outlive the application object into static destruction.
    launch();
    ASSERT_NE(AppDelegate::sharedBridge, nullptr);
    std::weak_ptr<corvane::CorvaneAccountManager> accountManager =
        AppDelegate::sharedBridge->manager;
    std::weak_ptr<AccountModel> model = AppDelegate::sharedAccount;
    app.reset();
    EXPECT_EQ(AppDelegate::sharedBridge, nullptr);
    EXPECT_EQ(AppDelegate::sharedUpdater, nullptr);
    EXPECT_TRUE(model.expired());
    EXPECT_TRUE(accountManager.expired());
}

TEST_F(AppDelegateTest, ASecondCopyActivatesTheFirstAndLeavesWithoutItems) {
    auto first = sim.simWorkspace().addApplication(4242, "com.corvane.quillet", "Quillet");
    launch();
    EXPECT_EQ(first->activations, 1);
    EXPECT_EQ(sim.simApplication().exitStatus(), 0);
    EXPECT_TRUE(sim.simStatusBar().ownItems().empty());
    EXPECT_EQ(delegate().menuBarManager, nullptr);
    EXPECT_TRUE(sim.simApplication().policyHistory().empty()) << "policy left alone";
}

TEST_F(AppDelegateTest, OtherApplicationsDoNotCountAsASecondCopy) {
    sim.simWorkspace().addApplication(4243, "com.example.other", "Other");
    launch();
    EXPECT_FALSE(sim.simApplication().exitStatus().has_value());
    EXPECT_EQ(sim.simStatusBar().ownItems().size(), 2u);
}

TEST_F(AppDelegateTest, WithoutABundleIdentifierTheSingleInstanceCheckIsSkipped) {
    sim.bundle().bundleIdentifier.reset();
    sim.simWorkspace().addApplication(4242, "com.corvane.quillet", "Quillet");
    launch();
    EXPECT_FALSE(sim.simApplication().exitStatus().has_value());
    EXPECT_EQ(sim.simStatusBar().ownItems().size(), 2u);
}

TEST_F(AppDelegateTest, TranslocatedLaunchWarnsOnceAfterADelayAndRevealsTheBundle) {
    sim.bundle().bundlePath = translocatedPath;
    std::optional<ActivationPolicy> policyDuringAlert;
    sim.simAlerts().responder = [&](const platform::AlertSpec&) {
        policyDuringAlert = sim.application().activationPolicy();
        return platform::alertFirstButtonReturn;
    };
    launch();
    EXPECT_EQ(sim.userDefaults().object("quillet.appTranslocationWarningShown"),
              platform::Value(true))
        << "the flag is written before the alert shows";
    sim.advance(0.5);
    EXPECT_TRUE(sim.simAlerts().shown.empty());
    sim.advance(0.2);
    ASSERT_EQ(sim.simAlerts().shown.size(), 1u);
    const auto& alert = sim.simAlerts().shown[0];
    EXPECT_EQ(alert.style, platform::AlertStyle::warning);
    EXPECT_EQ(alert.messageText, "Move Quillet to Applications");
    EXPECT_EQ(alert.informativeText, "To enable automatic updates, please drag Quillet to your "
                                     "Applications folder, then relaunch.");
    EXPECT_EQ(alert.buttons, (std::vector<std::string>{"Reveal in Finder", "Later"}));
    EXPECT_EQ(policyDuringAlert, ActivationPolicy::regular);
    EXPECT_GE(sim.simApplication().activationCount(), 1);
    ASSERT_EQ(sim.simWorkspace().fileViewerSelections.size(), 1u);
    EXPECT_EQ(sim.simWorkspace().fileViewerSelections[0],
              std::vector<std::string>{translocatedPath});

    // Back to accessory 0.2 s after the alert closes.
    EXPECT_EQ(sim.application().activationPolicy(), ActivationPolicy::regular);
    sim.advance(0.25);
    EXPECT_EQ(sim.application().activationPolicy(), ActivationPolicy::accessory);

    relaunch();
    sim.advance(5);
    EXPECT_TRUE(sim.simAlerts().shown.empty()) << "never twice";
}

TEST_F(AppDelegateTest, LaterStillMarksTheWarningShownAndRevealsNothing) {
    sim.bundle().bundlePath = translocatedPath;
    sim.simAlerts().scriptedAnswers = {platform::alertSecondButtonReturn};
    launch();
    sim.advance(1);
    EXPECT_EQ(sim.simAlerts().shown.size(), 1u);
    EXPECT_TRUE(sim.simWorkspace().fileViewerSelections.empty());
    relaunch();
    sim.advance(1);
    EXPECT_TRUE(sim.simAlerts().shown.empty());
}

TEST_F(AppDelegateTest, AVisibleOrdinaryWindowKeepsTheAppRegularAfterTheAlert) {
    sim.bundle().bundlePath = translocatedPath;
    launch();
    sim.addWindow(/*panel=*/false, /*visible=*/true);
    sim.advance(2);
    EXPECT_EQ(sim.application().activationPolicy(), ActivationPolicy::regular);
}

TEST_F(AppDelegateTest, OrdinaryLocationsShowNoAlert) {
    launch();
    sim.advance(5);
    EXPECT_TRUE(sim.simAlerts().shown.empty());
    EXPECT_FALSE(sim.userDefaults().object("quillet.appTranslocationWarningShown"));
}

TEST_F(AppDelegateTest, SignInReturnsWithoutABridgeAreLoggedAndOthersIgnored) {
    launch();
    AppDelegate::sharedBridge.reset();
    delegate().openURLs({"quillet://auth/callback?code=secret-code&state=s1",
                         "quillet://AUTH-Callback/x", "quillet://settings", "https://auth/callback",
                         "QUILLET://auth/callback", "quillet:auth", "not a url"});
    auto lines = sim.simLog().matching("auth_callback_unmatched");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].message, "auth_callback_unmatched host=auth hasBridge=false");
    EXPECT_EQ(lines[1].message, "auth_callback_unmatched host=auth-callback hasBridge=false");
    EXPECT_EQ(lines[0].category, "auth");
    EXPECT_EQ(lines[0].level, platform::LogLevel::error);
    for (const auto& line : sim.simLog().lines)
        EXPECT_EQ(line.message.find("secret-code"), std::string::npos) << "no codes in logs";
}

TEST(Constants, VersionFallsBackWhenTheBundleLacksAString) {
    platform::sim::SimHost sim;
    EXPECT_EQ(Constants::version(), "0.3.1");
    sim.bundle().infoDictionary = platform::Dictionary{{"CFBundleShortVersionString", "1.4.0"}};
    EXPECT_EQ(Constants::version(), "1.4.0");
    sim.bundle().infoDictionary = platform::Dictionary{{"CFBundleShortVersionString", 14}};
    EXPECT_EQ(Constants::version(), "0.3.1");
    sim.bundle().infoDictionary = platform::Dictionary{};
    EXPECT_EQ(Constants::version(), "0.3.1");
    EXPECT_EQ(Constants::Auth::redirectURI(), "quillet://auth/callback");
}

TEST(Log, WarningsAndErrorsBothLogAtErrorLevel) {
    platform::sim::SimHost sim;
    Log log("account");
    log.info("a");
    log.warning("b");
    log.error("c");
    ASSERT_EQ(sim.simLog().lines.size(), 3u);
    EXPECT_EQ(sim.simLog().lines[0].level, platform::LogLevel::info);
    EXPECT_EQ(sim.simLog().lines[1].level, platform::LogLevel::error);
    EXPECT_EQ(sim.simLog().lines[2].level, platform::LogLevel::error);
    EXPECT_EQ(sim.simLog().lines[2].subsystem, "com.corvane.quillet");
    EXPECT_EQ(sim.simLog().lines[2].category, "account");
}

} // namespace

#include "tests/Quillet/Account/AccountTestSupport.h"

#include "Platform/Menu.h"
#include "Quillet/App/Constants.h"
#include "Quillet/Settings/SettingsView.h"
#include "Quillet/Settings/SettingsWindowController.h"

using namespace quillet;
using namespace quillet::test;
using corvane::CorvaneSignInScreen;
using Phase = CorvaneSignInScreen::Phase;
using Hint = corvane::OAuthDriver::ProviderHint;
using platform::ActivationPolicy;
using platform::sim::SimHttpReply;

namespace {

class SignInWindowTest : public AccountFixture {};

TEST_F(SignInWindowTest, OpensOneCentredWindowWithItsOwnMainMenu) {
    launch();
    EXPECT_FALSE(sim.application().mainMenu()) << "no main menu before the window";
    delegate().showSignInWindow();
    auto window = delegate().signInWindow;
    ASSERT_TRUE(window);
    const auto a = window->attributes();
    EXPECT_EQ(a.title, "Quillet");
    EXPECT_EQ(a.styleMask, 3u) << "titled and closable only";
    EXPECT_FALSE(a.isReleasedWhenClosed);
    EXPECT_EQ(a.minSize, (platform::Size{520, 640}));
    EXPECT_EQ(window->frame().size, (platform::Size{520, 640}));
    const auto screen = sim.screens().mainScreen()->visibleFrame;
    EXPECT_DOUBLE_EQ(window->frame().midX(), screen.midX());
    EXPECT_DOUBLE_EQ(window->frame().midY(), screen.midY());
    EXPECT_TRUE(window->isVisible());
    EXPECT_TRUE(window->isKeyWindow());
    EXPECT_EQ(sim.application().activationPolicy(), ActivationPolicy::regular);

    // The screen starts ready, light, without icon, with the application's links.
    auto screenModel = signInView()->screen();
    EXPECT_EQ(screenModel.phase, Phase::ready());
    EXPECT_EQ(screenModel.appName, "Quillet");
    EXPECT_FALSE(screenModel.showsIcon());
    EXPECT_FALSE(screenModel.valueProp.empty());
    EXPECT_EQ(screenModel.privacyURL, Constants::Auth::privacyURL());
    EXPECT_EQ(screenModel.termsURL, Constants::Auth::termsURL());
    EXPECT_EQ(screenModel.style.accent, SignInWindowView::accentColor);
    EXPECT_FALSE(screenModel.style.isDark());
    signInView()->setColorScheme(ColorScheme::dark);
    EXPECT_TRUE(signInView()->screen().style.isDark());

    // Quillet: Quit; Edit: Cut, Copy, Paste, Select All, with their keys.
    auto menu = sim.application().mainMenu();
    ASSERT_TRUE(menu);
    ASSERT_EQ(menu->items().size(), 2u);
    EXPECT_EQ(menu->items()[0].title, "Quillet");
    EXPECT_EQ(menu->items()[1].title, "Edit");
    auto appMenu = menu->items()[0].submenu;
    ASSERT_TRUE(appMenu);
    ASSERT_EQ(appMenu->items().size(), 1u);
    EXPECT_EQ(appMenu->items()[0].title, "Quit Quillet");
    EXPECT_EQ(appMenu->items()[0].keyEquivalent, "q");
    appMenu->items()[0].action();
    EXPECT_TRUE(sim.simApplication().terminated());
    std::vector<std::pair<std::string, std::string>> edit;
    for (const auto& item : menu->items()[1].submenu->items())
        edit.emplace_back(item.title, item.keyEquivalent);
    EXPECT_EQ(edit, (std::vector<std::pair<std::string, std::string>>{
                        {"Cut", "x"}, {"Copy", "c"}, {"Paste", "v"}, {"Select All", "a"}}));

    // A second request only brings the same window forward.
    window->orderOut();
    delegate().showSignInWindow();
    EXPECT_EQ(delegate().signInWindow, window);
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(sim.madeWindows().size(), 1u);
}

TEST_F(SignInWindowTest, WithoutTheSharedModelOrBridgeNothingOpens) {
    launch();
    AppDelegate::sharedAccount.reset();
    delegate().showSignInWindow();
    EXPECT_FALSE(delegate().signInWindow);
    EXPECT_TRUE(sim.madeWindows().empty());
    EXPECT_FALSE(sim.application().mainMenu());
}

TEST_F(SignInWindowTest, ABrowserSignInClosesTheWindowAndReturnsToAccessory) {
    launch();
    const auto url = startBrowserSignIn(Hint::apple);
    EXPECT_EQ(queryValue(url, "provider"), "apple") << "the Apple button signs in in the browser";
    auto view = signInView();
    EXPECT_EQ(view->signInPhase(), Phase::busy());
    EXPECT_TRUE(view->isWorking());
    EXPECT_EQ(view->screen().progressText(), "Signing in to Quillet\u2026");

    // Tapping another provider while it runs does nothing.
    view->startSignIn(Hint::google);
    sim.advance(1);
    EXPECT_EQ(sim.simBrowser().openedURLs.size(), 1u);

    sim.simApplication().resignActive();
    delegate().openURLs({callbackFor(url)});
    EXPECT_EQ(sim.application().activationPolicy(), ActivationPolicy::regular);
    EXPECT_TRUE(sim.application().isActive()) << "the browser hands back to the application";
    sim.advance(1);
    sim.runUntilIdle();

    EXPECT_FALSE(delegate().signInWindow);
    EXPECT_FALSE(sim.madeWindows().front()->isVisible());
    EXPECT_FALSE(sim.application().mainMenu());
    EXPECT_EQ(sim.application().activationPolicy(), ActivationPolicy::accessory);
    ASSERT_TRUE(account().account.get());
    EXPECT_EQ(account().account.get()->emailPrimary, "ada@example.com");
    EXPECT_TRUE(account().isSignedIn.get());
    auto session = bridge().currentSession();
    ASSERT_TRUE(session);
    EXPECT_EQ(session->email, "ada@example.com");
    EXPECT_EQ(session->cas, "cas-secret-1");
    EXPECT_TRUE(sim.simLog().matching("auth_callback_unmatched").empty());
    for (const auto& line : sim.simLog().lines) {
        EXPECT_EQ(line.message.find("cas-secret-1"), std::string::npos);
        EXPECT_EQ(line.message.find("code-1"), std::string::npos);
    }

    // A new window starts at ready.
    delegate().showSignInWindow();
    EXPECT_EQ(signInView()->signInPhase(), Phase::ready());
}

TEST_F(SignInWindowTest, ClosingTheWindowMidFlowCancelsTheSignIn) {
    launch();
    const auto url = startBrowserSignIn();
    auto window = delegate().signInWindow;
    auto view = signInView();
    window->close(); // the close button
    EXPECT_FALSE(delegate().signInWindow);
    EXPECT_FALSE(sim.application().mainMenu());
    sim.runUntilIdle();
    EXPECT_EQ(sim.application().activationPolicy(), ActivationPolicy::accessory);
    EXPECT_EQ(view->signInPhase(), Phase::ready()) << "a cancel shows no error";
    EXPECT_FALSE(view->isWorking());

    // The browser's late redirect finds no sign-in: only the log line, nothing changes.
    delegate().openURLs({callbackFor(url)});
    sim.advance(1);
    EXPECT_EQ(sim.simLog().matching("auth_callback_unmatched host=auth hasBridge=true").size(), 1u);
    EXPECT_EQ(sim.simHttp().count("POST", "/api/app-sessions/exchange"), 0u);
    EXPECT_FALSE(account().isSignedIn.get());
    EXPECT_EQ(sim.application().activationPolicy(), ActivationPolicy::accessory);

    // The next window is a new one, ready, and a sign-in in it works.
    delegate().showSignInWindow();
    EXPECT_NE(delegate().signInWindow, window);
    EXPECT_EQ(signInView()->signInPhase(), Phase::ready());
    auto next = sim.simBrowser().openedURLs.size();
    signInView()->screen().tapProvider(Hint::email);
    sim.advance(1);
    ASSERT_EQ(sim.simBrowser().openedURLs.size(), next + 1);
    delegate().openURLs({callbackFor(sim.simBrowser().openedURLs.back())});
    sim.advance(1);
    EXPECT_TRUE(account().isSignedIn.get());
}

TEST_F(SignInWindowTest, ClosingAnotherWindowLeavesTheSignInAlone) {
    launch();
    const auto url = startBrowserSignIn();
    auto window = delegate().signInWindow;
    manager().openSettings();
    auto settings = manager().settingsWindowController()->window;
    ASSERT_TRUE(settings);
    settings->close();
    EXPECT_EQ(delegate().signInWindow, window) << "only its own window's close counts";
    EXPECT_TRUE(sim.application().mainMenu());
    delegate().openURLs({callbackFor(url)});
    sim.advance(1);
    EXPECT_TRUE(account().isSignedIn.get());
}

TEST_F(SignInWindowTest, FailuresShowTheirTextAndKeepTheWindowOpen) {
    launch();
    // A server error with a code.
    sim.simHttp().route("POST", "/api/app-sessions/exchange",
                        SimHttpReply::json(503, R"({"error":"maintenance"})"));
    auto url = startBrowserSignIn();
    delegate().openURLs({callbackFor(url)});
    sim.advance(1);
    auto view = signInView();
    ASSERT_TRUE(view);
    ASSERT_EQ(view->signInPhase().kind, Phase::Kind::error);
    EXPECT_EQ(view->signInPhase().message,
              corvane::CorvaneError::serverError(503, "maintenance").errorDescription());
    EXPECT_EQ(view->signInPhase().message.rfind("Server error (503", 0), 0u);
    EXPECT_EQ(view->screen().errorMessage(), view->signInPhase().message);
    EXPECT_FALSE(view->isWorking());
    EXPECT_TRUE(delegate().signInWindow && delegate().signInWindow->isVisible());
    EXPECT_EQ(sim.application().activationPolicy(), ActivationPolicy::regular);

    // The user's cancel: back to ready, no error line.
    view->screen().tapProvider(Hint::google);
    sim.advance(1);
    EXPECT_EQ(view->signInPhase(), Phase::busy());
    view->screen().tapCancel();
    EXPECT_EQ(view->signInPhase(), Phase::ready());
    sim.advance(1);
    EXPECT_EQ(view->signInPhase(), Phase::ready());
    EXPECT_FALSE(view->screen().errorMessage());

    // The network goes away before the code exchange: the library's own words.
    view->screen().tapProvider(Hint::google);
    sim.advance(1);
    sim.simHttp().online = false;
    delegate().openURLs({callbackFor(sim.simBrowser().openedURLs.back())});
    sim.advance(1);
    EXPECT_EQ(view->signInPhase().message, "Can't reach the network. Try again.");
    EXPECT_EQ(view->signInPhase(),
              Phase::error(corvane::CorvaneError::networkUnavailable().errorDescription()));

    // Discovery unreachable: the sign-in cannot start; the library says why.
    view->screen().tapProvider(Hint::google);
    sim.advance(1);
    ASSERT_EQ(view->signInPhase().kind, Phase::Kind::error);
    EXPECT_FALSE(view->signInPhase().message.empty());
    EXPECT_FALSE(view->isWorking());
    EXPECT_TRUE(delegate().signInWindow->isVisible());
}

TEST_F(SignInWindowTest, WithoutAHostWindowNothingIsSent) {
    launch();
    auto view = SignInWindowView::create(AppDelegate::sharedAccount, AppDelegate::sharedBridge,
                                         nullptr, [] { return nullptr; });
    view->screen().tapProvider(Hint::google);
    sim.advance(1);
    EXPECT_EQ(view->signInPhase(), Phase::error("Couldn't start sign-in. Please try again."));
    EXPECT_FALSE(view->isWorking());
    EXPECT_TRUE(sim.simBrowser().openedURLs.empty());
    EXPECT_TRUE(sim.simHttp().requests().empty());
}

TEST_F(SignInWindowTest, URLRoutingComparesTheSchemeExactlyAndTheHostLowercased) {
    launch();
    const auto url = startBrowserSignIn();
    // Wrong-case scheme, unknown host, no host: dropped without a line; the flow still waits.
    delegate().openURLs({"QUILLET://auth/callback?code=x&state=" + queryValue(url, "state"),
                         "quillet://settings", "quillet:auth", "https://auth/callback"});
    sim.advance(1);
    EXPECT_TRUE(sim.simLog().matching("auth_callback_unmatched").empty());
    EXPECT_EQ(signInView()->signInPhase(), Phase::busy());

    // An upper-case sign-in host is a sign-in return: handed to the library (which refuses
    // this one, as it is not the redirect URI) and logged with the lowercased host.
    delegate().openURLs({"quillet://SIGNED-IN/x?state=" + queryValue(url, "state")});
    auto lines = sim.simLog().matching("auth_callback_unmatched");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].message, "auth_callback_unmatched host=signed-in hasBridge=true");
    EXPECT_EQ(lines[0].category, "auth");

    // The real redirect still completes it.
    delegate().openURLs({callbackFor(url)});
    sim.advance(1);
    EXPECT_TRUE(account().isSignedIn.get());
}

TEST_F(SignInWindowTest, ForegroundRefreshRunsAtMostOnceIn45Seconds) {
    launch();
    int refreshes = 0;
    auto counter = account().account.willChange.connect([&](const auto&) { ++refreshes; });
    auto becomeActive = [&] {
        sim.simApplication().resignActive();
        sim.application().activate(true);
        sim.runUntilIdle();
    };
    becomeActive();
    EXPECT_EQ(refreshes, 1) << "the first activation always refreshes";
    sim.advance(10);
    becomeActive();
    EXPECT_EQ(refreshes, 1) << "10 s later: too soon";
    sim.advance(34);
    becomeActive();
    EXPECT_EQ(refreshes, 1) << "44 s after the refresh: still too soon";
    sim.advance(1);
    becomeActive();
    EXPECT_EQ(refreshes, 2) << "45 s after the refresh";

    // The refresh picks up a sign-in finished elsewhere in the library.
    auto url = startBrowserSignIn();
    ASSERT_TRUE(bridge().manager->resume(callbackFor(url)));
    sim.advance(1);
    sim.advance(45);
    becomeActive();
    EXPECT_TRUE(account().isSignedIn.get());
}

TEST_F(SignInWindowTest, LaunchRestoresTheStoredSessionOnce) {
    launch();
    signIn();
    ASSERT_TRUE(account().isSignedIn.get());
    relaunch();
    EXPECT_TRUE(account().hasLaunchTask());
    sim.advance(1);
    ASSERT_TRUE(account().account.get());
    EXPECT_EQ(account().account.get()->emailPrimary, "ada@example.com");
    EXPECT_TRUE(account().isSignedIn.get());
    account().startSessionRestore(); // a second start is ignored
    sim.advance(1);
    EXPECT_EQ(sim.simHttp().count("POST", "/api/app-sessions/refresh"), 0u);
}

TEST_F(SignInWindowTest, AForgedReturnLeavesTheSignInWaitingAndAnErrorShowsOnlyItsCode) {
    launch();
    auto url = startBrowserSignIn();
    auto view = signInView();
    ASSERT_TRUE(view);
    // Any web page can open these while the browser waits.
    delegate().openURLs(
        {"quillet://auth/callback?error=access_denied&error_description=%E2%80%AECall+us+now",
         "quillet://AUTH/callback?error=server_error&state=forged",
         "quillet://auth/callback?code=stolen"});
    sim.advance(1);
    EXPECT_EQ(view->signInPhase(), Phase::busy());
    EXPECT_TRUE(view->isWorking());
    EXPECT_EQ(sim.simLog().matching("auth_callback_unmatched").size(), 3u);

    // The real error answer ends it, and the window shows the code alone.
    delegate().openURLs({"quillet://AUTH/callback?error=access_denied&error_description="
                         "%E2%80%AECall+us+now&state=" +
                         queryValue(url, "state")});
    sim.advance(1);
    EXPECT_EQ(view->signInPhase(), Phase::error("Sign-in failed: access_denied"));

    // An upper-case host reaches the flow as the lower-case one does.
    url = startBrowserSignIn();
    delegate().openURLs({callbackFor(url, "code-1", "AUTH")});
    sim.advance(1);
    EXPECT_TRUE(account().isSignedIn.get());
}

TEST_F(SignInWindowTest, CancellingDuringDiscoveryEndsThatSignInForGood) {
    launch();
    sim.simHttp().route(
        "GET", "/.well-known/openid-configuration",
        SimHttpReply::json(200, R"({"issuer":"https://auth.corvane.com",)"
                                R"("authorization_endpoint":"https://auth.corvane.com/authorize",)"
                                R"("token_endpoint":"https://auth.corvane.com/token"})")
            .after(20));
    delegate().showSignInWindow();
    auto view = signInView();
    ASSERT_TRUE(view);
    view->screen().tapProvider(Hint::google);
    sim.advance(1);
    EXPECT_EQ(view->signInPhase(), Phase::busy());
    view->screen().tapCancel();
    EXPECT_EQ(view->signInPhase(), Phase::ready());

    // Discovery would have answered by now: no browser, no error, and the next tap works.
    sim.advance(30);
    EXPECT_TRUE(sim.simBrowser().openedURLs.empty());
    EXPECT_EQ(view->signInPhase(), Phase::ready());
    view->screen().tapProvider(Hint::email);
    sim.advance(5);
    view->screen().tapCancel();
    view->screen().tapProvider(Hint::google);
    sim.advance(21);
    ASSERT_EQ(sim.simBrowser().openedURLs.size(), 1u);
    EXPECT_EQ(queryValue(sim.simBrowser().openedURLs[0], "provider"), "google");
    // The cancelled one ending meanwhile did not touch the running one's screen.
    EXPECT_EQ(view->signInPhase(), Phase::busy());
    EXPECT_TRUE(view->isWorking());
    delegate().openURLs({callbackFor(sim.simBrowser().openedURLs[0])});
    sim.advance(1);
    EXPECT_TRUE(account().isSignedIn.get());
}

TEST_F(SignInWindowTest, AKeyringLockedAtLaunchIsReadOnceItCanBe) {
    launch();
    signIn();
    ASSERT_TRUE(account().isSignedIn.get());
    auto becomeActive = [&] {
        sim.simApplication().resignActive();
        sim.application().activate(true);
        sim.runUntilIdle();
    };

    // Unlocked later, and the host says so.
    sim.simKeychain().setFailure(platform::sim::KeychainOperation::copy,
                                 platform::errSecInteractionNotAllowed);
    relaunch();
    sim.advance(1);
    EXPECT_FALSE(account().isSignedIn.get());
    sim.simKeychain().clearFailure(platform::sim::KeychainOperation::copy);
    sim.notificationCenter().post(platform::keychainDidUnlockNotification);
    sim.advance(1);
    ASSERT_TRUE(account().account.get());
    EXPECT_TRUE(account().isSignedIn.get());

    // Unlocked later without a word: the next foreground refresh reads it.
    sim.simKeychain().setFailure(platform::sim::KeychainOperation::copy,
                                 platform::errSecInteractionNotAllowed);
    relaunch();
    sim.advance(1);
    becomeActive();
    EXPECT_FALSE(account().isSignedIn.get()) << "still locked";
    sim.simKeychain().clearFailure(platform::sim::KeychainOperation::copy);
    sim.advance(46);
    becomeActive();
    sim.advance(1);
    EXPECT_TRUE(account().isSignedIn.get());
    EXPECT_EQ(sim.simHttp().count("POST", "/api/app-sessions/exchange"), 1u);
}

} // namespace

#include "tests/Quillet/Account/AccountTestSupport.h"

#include "Platform/LoginItemService.h"
#include "Platform/Menu.h"
#include "Quillet/Account/MainTask.h"
#include "Quillet/HiddenItems/QuilletBarPanelController.h"
#include "Quillet/Settings/SettingsView.h"
#include "Quillet/Settings/SettingsWindowController.h"
#include "Quillet/Updates/UpdaterService.h"

using namespace quillet;
using namespace quillet::test;
using platform::LoginItemStatus;

namespace {

class SettingsWindowTest : public AccountFixture {
protected:
    std::shared_ptr<platform::Window> settingsWindow() {
        return manager().settingsWindowController()->window;
    }
    std::shared_ptr<SettingsView> view() {
        auto w = settingsWindow();
        return w ? std::dynamic_pointer_cast<SettingsView>(w->contentView()) : nullptr;
    }
    // Chooses "Settings…" in the status menu, as the user does.
    void chooseSettingsInMenu() {
        sim.menuTracker = [](platform::Menu& m) -> std::optional<std::size_t> {
            for (std::size_t i = 0; i < m.items().size(); ++i)
                if (m.items()[i].title == "Settings\u2026")
                    return i;
            return std::nullopt;
        };
        rightClickChevron();
        sim.menuTracker = nullptr;
    }
};

TEST_F(SettingsWindowTest, TheStatusMenuOpensOneDarkWindowAndReportsEveryShowAndClose) {
    launch();
    std::vector<bool> reports;
    auto controller = manager().settingsWindowController();
    auto wired = controller->onVisibilityChange;
    controller->onVisibilityChange = [&reports, wired](bool visible) {
        reports.push_back(visible);
        wired(visible);
    };

    sim.simApplication().resignActive();
    chooseSettingsInMenu();
    auto window = settingsWindow();
    ASSERT_TRUE(window);
    EXPECT_TRUE(sim.application().isActive());
    EXPECT_TRUE(window->isVisible());
    EXPECT_TRUE(window->isKeyWindow());
    const auto a = window->attributes();
    EXPECT_EQ(a.title, "Quillet");
    EXPECT_EQ(a.styleMask, 7u);
    EXPECT_EQ(a.appearance, "darkAqua");
    EXPECT_FALSE(a.isReleasedWhenClosed);
    // 600 points, and the section "Always hidden and hotkeys" below the hover switch.
    EXPECT_EQ(window->frame().size, (platform::Size{420, 600 + 132}));
    const auto screen = sim.screens().mainScreen()->visibleFrame;
    EXPECT_DOUBLE_EQ(window->frame().midX(), screen.midX());
    EXPECT_EQ(reports, std::vector<bool>{true});
    EXPECT_TRUE(manager().rehideSuppressors().count(RehideSuppressor::settingsWindow));

    // Again: the same window, reported again.
    manager().openSettings();
    EXPECT_EQ(settingsWindow(), window);
    EXPECT_EQ(reports, (std::vector<bool>{true, true}));

    // Closing reports once and keeps the window for the next show.
    window->close();
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(reports, (std::vector<bool>{true, true, false}));
    EXPECT_FALSE(manager().rehideSuppressors().count(RehideSuppressor::settingsWindow));
    chooseSettingsInMenu();
    EXPECT_EQ(settingsWindow(), window);
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(reports, (std::vector<bool>{true, true, false, true}));
    EXPECT_EQ(sim.madeWindows().size(), 1u);
}

TEST_F(SettingsWindowTest, WithoutTheSharedServicesNothingShows) {
    launch();
    AppDelegate::sharedUpdater.reset();
    bool reported = false;
    manager().settingsWindowController()->onVisibilityChange = [&](bool) { reported = true; };
    manager().openSettings();
    EXPECT_FALSE(settingsWindow());
    EXPECT_FALSE(reported);
    EXPECT_TRUE(sim.madeWindows().empty());
}

TEST_F(SettingsWindowTest, TheOpenWindowHoldsTheRehideWhileThePanelCloses) {
    sim.userDefaults().set("quillet.autoRehideSeconds", 5);
    launch();
    ASSERT_FALSE(manager().isCollapsed().get());
    manager().openSettings();
    manager().panelController()->show({}, toggle()->button());
    ASSERT_TRUE(manager().panelController()->isPanelVisible());
    sim.advance(2);
    manager().panelController()->hide();
    EXPECT_FALSE(manager().isRehideArmed()) << "the settings window still holds it";
    sim.advance(30);
    EXPECT_FALSE(manager().isCollapsed().get());

    // Closing the settings window arms the full delay.
    settingsWindow()->close();
    EXPECT_TRUE(manager().isRehideArmed());
    sim.advance(4.9);
    EXPECT_FALSE(manager().isCollapsed().get());
    sim.advance(0.2);
    EXPECT_TRUE(manager().isCollapsed().get());
}

TEST_F(SettingsWindowTest, ControlsReadAndWriteTheManagersPreferences) {
    sim.simLoginItems().setStatus(LoginItemStatus::enabled);
    sim.userDefaults().set("quillet.hoverPreviewEnabled", false);
    launch();
    manager().openSettings();
    auto v = view();
    ASSERT_TRUE(v);
    EXPECT_TRUE(v->launchAtLogin());
    EXPECT_FALSE(v->hoverPreviewEnabled());
    EXPECT_EQ(v->autoRehideSeconds(), 0);

    std::vector<std::int64_t> offered;
    for (const auto& choice : SettingsView::autoRehideChoices())
        offered.push_back(choice.seconds);
    EXPECT_EQ(offered, (std::vector<std::int64_t>{0, 5, 10, 20, 60}));
    EXPECT_EQ(SettingsView::autoRehideChoices()[0].label, "Off");
    EXPECT_EQ(SettingsView::autoRehideChoices()[4].label, "After 60 seconds");

    int rerenders = 0;
    auto counter = v->changed.connect([&] {
        ++rerenders;
        // Re-reads see the new value.
        EXPECT_EQ(v->autoRehideSeconds(), manager().autoRehideSeconds().get());
    });
    for (const auto& choice : SettingsView::autoRehideChoices()) {
        v->selectAutoRehide(choice.seconds);
        EXPECT_EQ(manager().autoRehideSeconds().get(), choice.seconds);
        EXPECT_EQ(sim.userDefaults().object("quillet.autoRehideSeconds"),
                  platform::Value(choice.seconds));
    }
    sim.runUntilIdle();
    EXPECT_GE(rerenders, 1);

    v->setHoverPreviewEnabled(true);
    EXPECT_TRUE(manager().hoverPreviewEnabled().get());
    v->setLaunchAtLogin(false);
    EXPECT_FALSE(manager().launchAtLogin().get());
    EXPECT_EQ(sim.loginItemService().status(), LoginItemStatus::notRegistered);

    EXPECT_FALSE(v->betaUpdates());
    v->setBetaUpdates(true);
    EXPECT_EQ(sim.userDefaults().object(UpdaterService::betaEnabledKey), platform::Value(true));
    EXPECT_TRUE(v->betaUpdates());

    v->quit();
    EXPECT_TRUE(sim.simApplication().terminated());
}

TEST_F(SettingsWindowTest, VersionStringAndTheUpdateRowWithoutConfiguration) {
    sim.bundle().infoDictionary =
        platform::Dictionary{{"CFBundleShortVersionString", "1.4.2"}, {"CFBundleVersion", "57"}};
    EXPECT_EQ(SettingsView::versionString(), "v1.4.2 (57)");
    sim.bundle().infoDictionary = platform::Dictionary{{"CFBundleVersion", 57}};
    EXPECT_EQ(SettingsView::versionString(), "v0 (0)");

    launch();
    manager().openSettings();
    auto v = view();
    ASSERT_TRUE(v);
    EXPECT_FALSE(v->canCheckForUpdates());
    v->checkForUpdates();
    sim.advance(60);
    EXPECT_FALSE(v->canCheckForUpdates()) << "disabled for the life of the process";
    EXPECT_EQ(sim.application().activationPolicy(), platform::ActivationPolicy::accessory);
}

TEST_F(SettingsWindowTest, TheAccountBoxSignsInAndOut) {
    launch();
    manager().openSettings();
    auto v = view();
    ASSERT_TRUE(v);
    EXPECT_EQ(v->accountText(), "Not signed in");
    EXPECT_EQ(v->accountButtonTitle(), "Sign In\u2026");
    EXPECT_FALSE(v->accountButtonIsDestructive());

    // "Sign In…" opens the sign-in window; the browser round trip signs in.
    v->tapAccountButton();
    ASSERT_TRUE(delegate().signInWindow);
    auto url = sim.simBrowser().openedURLs.size();
    signInView()->screen().tapProvider(corvane::OAuthDriver::ProviderHint::google);
    sim.advance(1);
    ASSERT_EQ(sim.simBrowser().openedURLs.size(), url + 1);
    delegate().openURLs({callbackFor(sim.simBrowser().openedURLs.back())});
    sim.advance(1);
    sim.runUntilIdle();
    EXPECT_FALSE(delegate().signInWindow);
    EXPECT_EQ(v->accountText(), "Signed in as ada@example.com");
    EXPECT_EQ(v->accountButtonTitle(), "Sign Out");
    EXPECT_TRUE(v->accountButtonIsDestructive());
    // The settings window is ordinary: it keeps the application regular.
    EXPECT_EQ(sim.application().activationPolicy(), platform::ActivationPolicy::regular);

    // "Sign Out" revokes, forgets the session and offers the sign-in again.
    v->tapAccountButton();
    sim.advance(1);
    EXPECT_EQ(sim.simHttp().count("POST", "/api/sessions/revoke"), 1u);
    EXPECT_EQ(v->accountText(), "Not signed in");
    EXPECT_FALSE(account().isSignedIn.get());
    EXPECT_FALSE(account().account.get());
    EXPECT_TRUE(delegate().signInWindow);

    // A failing revoke still signs out locally.
    delegate().signInWindow->close();
    signIn();
    ASSERT_EQ(v->accountText(), "Signed in as ada@example.com");
    sim.simHttp().route("POST", "/api/sessions/revoke",
                        platform::sim::SimHttpReply::json(500, R"({"error":"boom"})"));
    v->tapAccountButton();
    sim.advance(5);
    EXPECT_EQ(v->accountText(), "Not signed in");
    EXPECT_FALSE(account().isSignedIn.get());
}

} // namespace

namespace {

TEST_F(SettingsWindowTest, ClosingTheSettingsWindowAfterASignInReturnsToAccessory) {
    launch();
    manager().openSettings();
    auto v = view();
    ASSERT_TRUE(v);
    v->tapAccountButton();
    ASSERT_TRUE(delegate().signInWindow);
    auto url = startBrowserSignIn();
    delegate().openURLs({callbackFor(url)});
    sim.advance(1);
    sim.runUntilIdle();
    ASSERT_FALSE(delegate().signInWindow) << "the sign-in closed its window";
    // The sign-in window's demotion found the settings window visible.
    sim.advance(1);
    EXPECT_EQ(sim.application().activationPolicy(), platform::ActivationPolicy::regular);

    settingsWindow()->close();
    sim.advance(0.1);
    EXPECT_EQ(sim.application().activationPolicy(), platform::ActivationPolicy::regular)
        << "the grace delay is 0.2 s";
    sim.advance(0.2);
    EXPECT_EQ(sim.application().activationPolicy(), platform::ActivationPolicy::accessory);

    // Reopened and closed again while a sign-in window is still open: that window keeps the
    // application regular.
    manager().openSettings();
    delegate().showSignInWindow();
    settingsWindow()->close();
    sim.advance(1);
    EXPECT_EQ(sim.application().activationPolicy(), platform::ActivationPolicy::regular);
    delegate().signInWindow->close();
    sim.advance(1);
    EXPECT_EQ(sim.application().activationPolicy(), platform::ActivationPolicy::accessory);
}

TEST_F(SettingsWindowTest, DrawingTheAccountBoxNeverReadsTheKeychain) {
    launch();
    manager().openSettings();
    auto v = view();
    ASSERT_TRUE(v);
    signIn();
    ASSERT_EQ(v->accountText(), "Signed in as ada@example.com");

    // Renders read what the account model holds.
    sim.simKeychain().clearCalls();
    for (int render = 0; render < 3; ++render) {
        EXPECT_EQ(v->accountText(), "Signed in as ada@example.com");
        EXPECT_EQ(v->accountButtonTitle(), "Sign Out");
        EXPECT_TRUE(v->accountButtonIsDestructive());
        EXPECT_EQ(v->signedInEmail(), "ada@example.com");
    }
    EXPECT_TRUE(sim.simKeychain().itemQueries().empty()) << "a render read the Keychain";

    // A change of the library's state re-reads it once and re-renders: a session the library
    // drops on its own (here: the sign-out) empties the box without a refresh.
    int changes = 0;
    boost::signals2::scoped_connection counted = v->changed.connect([&] { ++changes; });
    startMainTask(bridge().manager->signOut(), "test_sign_out");
    sim.advance(1);
    sim.runUntilIdle();
    EXPECT_EQ(v->accountText(), "Not signed in");
    EXPECT_EQ(v->accountButtonTitle(), "Sign In\u2026");
    EXPECT_GE(changes, 1) << "the view re-rendered";
}

TEST_F(SettingsWindowTest, SignOutShowsBusyAndIgnoresPressesUntilTheRevokeEnds) {
    launch();
    manager().openSettings();
    auto v = view();
    ASSERT_TRUE(v);
    signIn();
    ASSERT_EQ(v->accountButtonTitle(), "Sign Out");
    sim.simHttp().route("POST", "/api/sessions/revoke",
                        platform::sim::SimHttpReply::json(200, "{}").after(8));

    EXPECT_FALSE(v->accountButtonIsBusy());
    v->tapAccountButton();
    EXPECT_TRUE(v->accountButtonIsBusy());
    sim.advance(1);
    EXPECT_TRUE(v->accountButtonIsBusy()) << "the revoke is still on its way";
    // Presses while it runs start nothing.
    v->tapAccountButton();
    v->tapAccountButton();
    sim.advance(10);
    sim.runUntilIdle();
    EXPECT_EQ(sim.simHttp().count("POST", "/api/sessions/revoke"), 1u);
    EXPECT_FALSE(v->accountButtonIsBusy());
    EXPECT_EQ(v->accountText(), "Not signed in");
    // The sign-out offered one sign-in window; the ignored presses opened nothing more.
    EXPECT_TRUE(delegate().signInWindow);
    EXPECT_EQ(sim.madeWindows().size(), 3u) << "settings, the first and the offered sign-in";
}

TEST_F(SettingsWindowTest, TheHintAndTheTaglineNameTheHostsModifierAndComputer) {
    // The simulated Mac keeps the Mac's own words.
    EXPECT_EQ(SettingsView::hintText(), "\u2318-drag menu bar icons to the LEFT of the dot, then "
                                        "click the chevron to tuck them away.");
    EXPECT_EQ(SignInWindowView::valueProp(), "Tidy your menu bar, on every Mac you use.");
    launch();
    delegate().showSignInWindow();
    ASSERT_TRUE(signInView());
    EXPECT_EQ(signInView()->screen().valueProp, "Tidy your menu bar, on every Mac you use.");
}

} // namespace

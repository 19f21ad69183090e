#include "Quillet/App/AppDelegate.h"

#include "Platform/Alert.h"
#include "Platform/Bundle.h"
#include "Platform/Host.h"
#include "Platform/Menu.h"
#include "Platform/RunLoop.h"
#include "Platform/Screens.h"
#include "Platform/UserDefaults.h"
#include "Platform/Window.h"
#include "Platform/Workspace.h"
#include "Quillet/Account/AccountModel.h"
#include "Quillet/Account/CorvaneAccountBridge.h"
#include "Quillet/Account/MainTask.h"
#include "Quillet/Account/SignInWindowView.h"
#include "Quillet/App/Constants.h"
#include "Quillet/App/Log.h"
#include "Quillet/MenuBar/MenuBarManager.h"

#include <algorithm>
#include <boost/url/parse.hpp>

namespace quillet {

using platform::host;

std::weak_ptr<AppDelegate> AppDelegate::shared;
std::shared_ptr<CorvaneAccountBridge> AppDelegate::sharedBridge;
std::shared_ptr<AccountModel> AppDelegate::sharedAccount;
std::shared_ptr<UpdaterService> AppDelegate::sharedUpdater;

std::shared_ptr<AppDelegate> AppDelegate::create() {
    std::shared_ptr<AppDelegate> delegate(new AppDelegate());
    shared = delegate;
    return delegate;
}

void AppDelegate::applicationDidFinishLaunching() {
    shared = weak_from_this();

    // One running copy: bring the other one forward and leave without a trace.
    if (const auto& bundleID = host().mainBundle().bundleIdentifier) {
        auto& workspace = host().workspace();
        auto others = workspace.runningApplications(*bundleID);
        auto current = workspace.currentApplication();
        std::erase(others, current);
        if (!others.empty()) {
            others.front()->activate();
            host().application().exit(0);
            return;
        }
    }

    host().application().setActivationPolicy(platform::ActivationPolicy::accessory);
    menuBarManager = MenuBarManager::create();
    checkAppTranslocation();
    registerForegroundRefresh();
    if (sharedAccount)
        sharedAccount->startSessionRestore();
}

void AppDelegate::registerForegroundRefresh() {
    std::weak_ptr<AppDelegate> weak = weak_from_this();
    didBecomeActiveObserver = host().notificationCenter().addObserver(
        platform::applicationDidBecomeActiveNotification, [weak] {
            if (auto self = weak.lock())
                self->applicationDidBecomeActive();
        });
}

void AppDelegate::applicationDidBecomeActive() {
    if (!sharedAccount)
        return;
    const auto now = platform::now();
    const auto minInterval = std::chrono::duration<double>(foregroundRefreshMinInterval);
    if (lastForegroundRefreshAt && now - *lastForegroundRefreshAt < minInterval)
        return;
    lastForegroundRefreshAt = now;
    startMainTask(sharedAccount->refresh(), "foreground_refresh");
}

void AppDelegate::checkAppTranslocation() {
    if (host().mainBundle().bundlePath.find("AppTranslocation") == std::string::npos)
        return;
    auto& defaults = host().userDefaults();
    if (defaults.boolForKey(translocationWarningShownKey))
        return;
    // Written before the alert appears, so it is offered at most once, whatever the answer.
    defaults.set(translocationWarningShownKey, true);
    std::weak_ptr<AppDelegate> weak = weak_from_this();
    host().runLoop().scheduleTimer(translocationAlertDelay, [weak] {
        if (auto self = weak.lock())
            self->showTranslocationAlert();
    });
}

void AppDelegate::showTranslocationAlert() {
    auto& app = host().application();
    const auto previousPolicy = app.activationPolicy();
    app.setActivationPolicy(platform::ActivationPolicy::regular);
    app.activate(true);

    platform::AlertSpec alert;
    alert.style = platform::AlertStyle::warning;
    alert.messageText = "Move Quillet to Applications";
    alert.informativeText = std::string("To enable automatic updates, please drag ") +
                            Constants::productName + " to your Applications folder, then relaunch.";
    alert.buttons = {"Reveal in Finder", "Later"};
    if (host().alerts().runModal(alert) == platform::alertFirstButtonReturn)
        host().workspace().activateFileViewerSelecting({host().mainBundle().bundlePath});

    if (previousPolicy == platform::ActivationPolicy::accessory)
        activationPolicy.demoteWhenIdle(false);
}

void AppDelegate::openURLs(const std::vector<std::string>& urls) {
    for (const auto& url : urls)
        handleIncomingURL(url);
}

void AppDelegate::handleIncomingURL(const std::string& text) {
    auto parsed = boost::urls::parse_uri(text);
    if (!parsed || parsed->scheme() != "quillet")
        return;
    if (!parsed->has_authority() || parsed->encoded_host().empty())
        return;
    std::string hostName = parsed->host();
    std::transform(hostName.begin(), hostName.end(), hostName.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (hostName != "auth" && hostName != "auth-callback" && hostName != "signed-in")
        return;
    if (sharedBridge && sharedBridge->manager->resume(text)) {
        host().application().setActivationPolicy(platform::ActivationPolicy::regular);
        corvane::CorvaneAccountManager::activateForAuthReturn(nullptr);
        return;
    }
    Log("auth").error("auth_callback_unmatched host=" + hostName +
                      " hasBridge=" + (sharedBridge ? "true" : "false"));
}

void AppDelegate::showSignInWindow() {
    if (signInWindow) {
        activationPolicy.promoteNow();
        signInWindow->makeKeyAndOrderFront();
        signInWindow->orderFrontRegardless();
        return;
    }
    if (!sharedAccount || !sharedBridge)
        return;

    std::weak_ptr<AppDelegate> weak = weak_from_this();
    auto view = SignInWindowView::create(
        sharedAccount, sharedBridge,
        [weak] {
            if (auto self = weak.lock())
                if (auto window = self->signInWindow)
                    window->close(); // the close handling clears the field
        },
        [weak]() -> std::shared_ptr<platform::Window> {
            auto self = weak.lock();
            return self ? self->signInWindow : nullptr;
        });

    platform::WindowAttributes a;
    a.contentRect = {{0, 0}, {SignInWindowView::width, SignInWindowView::height}};
    a.styleMask = platform::windowstyle::titled | platform::windowstyle::closable;
    a.backing = platform::backingStoreBuffered;
    a.defer = false;
    a.title = Constants::productName;
    a.minSize = {SignInWindowView::width, SignInWindowView::height};
    a.isReleasedWhenClosed = false;
    auto window = host().makeWindow(a, false);
    window->setContentView(view);
    // Centred on the main screen's visible area.
    if (auto screen = host().screens().mainScreen()) {
        const auto& v = screen->visibleFrame;
        window->setFrame({{v.origin.x + (v.size.width - SignInWindowView::width) / 2,
                           v.origin.y + (v.size.height - SignInWindowView::height) / 2},
                          {SignInWindowView::width, SignInWindowView::height}});
    }

    installSignInMenu();
    signInWindow = window;
    activationPolicy.promoteNow();
    window->makeKeyAndOrderFront();
    window->orderFrontRegardless();

    windowCloseObserver = host().notificationCenter().addObserver(
        platform::windowWillCloseNotification, window.get(), [weak] {
            if (auto self = weak.lock())
                self->signInWindowWillClose();
        });
}

void AppDelegate::installSignInMenu() {
    auto appMenu = std::make_shared<platform::Menu>("Quillet");
    appMenu->addItem({"Quit Quillet", [] { host().application().terminate(); }, "q"});
    // The edit items have no target of their own: the host sends them to the focused field.
    auto editMenu = std::make_shared<platform::Menu>("Edit");
    for (const auto& [title, key] : {std::pair{"Cut", "x"}, std::pair{"Copy", "c"},
                                     std::pair{"Paste", "v"}, std::pair{"Select All", "a"}}) {
        platform::MenuItem item{title, nullptr, key};
        editMenu->addItem(item);
    }
    auto mainMenu = std::make_shared<platform::Menu>();
    platform::MenuItem quillet{"Quillet", nullptr, ""};
    quillet.submenu = appMenu;
    platform::MenuItem edit{"Edit", nullptr, ""};
    edit.submenu = editMenu;
    mainMenu->addItem(quillet);
    mainMenu->addItem(edit);
    host().application().setMainMenu(mainMenu);
}

void AppDelegate::signInWindowWillClose() {
    // A browser sign-in still pending is abandoned.
    if (sharedBridge)
        sharedBridge->manager->cancelSignIn();
    activationPolicy.demoteWhenIdle(true);
    host().application().setMainMenu(nullptr);
    signInWindow.reset();
    if (auto token = std::exchange(windowCloseObserver, std::nullopt))
        host().notificationCenter().removeObserver(*token);
}

} // namespace quillet

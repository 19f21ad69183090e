#include "Quillet/App/AppDelegate.h"

#include "Platform/Alert.h"
#include "Platform/Bundle.h"
#include "Platform/Host.h"
#include "Platform/RunLoop.h"
#include "Platform/UserDefaults.h"
#include "Platform/Workspace.h"
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
    // The foreground refresh and the session restore belong to the account model; without one
    // there is nothing to refresh or restore.
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
    // A sign-in return needs a pending sign-in of the account bridge to accept it; without a
    // bridge nothing can, and the return is only logged.
    Log("auth").error("auth_callback_unmatched host=" + hostName +
                      " hasBridge=" + (sharedBridge ? "true" : "false"));
}

} // namespace quillet

// The application delegate: the launch sequence (one running copy, accessory policy, the menu
// bar, the one-time translocation warning), the reopen and termination answers, and the
// application's own "quillet" URLs.
#pragma once

#include "Platform/Application.h"
#include "Quillet/App/ActivationPolicyController.h"

#include <memory>
#include <string>
#include <vector>

namespace quillet {

class MenuBarManager;
class CorvaneAccountBridge;
class AccountModel;
class UpdaterService;

class AppDelegate : public platform::ApplicationDelegate,
                    public std::enable_shared_from_this<AppDelegate> {
public:
    static constexpr const char* translocationWarningShownKey =
        "quillet.appTranslocationWarningShown";
    static constexpr double translocationAlertDelay = 0.6;

    // Creates the delegate and stores it in `shared`.
    static std::shared_ptr<AppDelegate> create();

    // How other parts reach the long-lived objects; an absent one means "do nothing".
    static std::weak_ptr<AppDelegate> shared;
    static std::shared_ptr<CorvaneAccountBridge> sharedBridge;
    static std::shared_ptr<AccountModel> sharedAccount;
    static std::shared_ptr<UpdaterService> sharedUpdater;

    void applicationDidFinishLaunching() override;
    // Closing the settings or sign-in window never ends the process.
    bool applicationShouldTerminateAfterLastWindowClosed() override { return false; }
    bool applicationSupportsSecureRestorableState() override { return true; }
    // Re-opening from the Finder while running shows nothing.
    bool applicationShouldHandleReopen(bool /*hasVisibleWindows*/) override { return false; }
    void openURLs(const std::vector<std::string>& urls) override;

    ActivationPolicyController activationPolicy;
    std::shared_ptr<MenuBarManager> menuBarManager;

private:
    AppDelegate() = default;
    void checkAppTranslocation();
    void showTranslocationAlert();
    void handleIncomingURL(const std::string& url);
};

} // namespace quillet

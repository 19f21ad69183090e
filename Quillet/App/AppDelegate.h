// The application delegate: the launch sequence (one running copy, accessory policy, the menu
// bar, the one-time translocation warning), the reopen and termination answers, and the
// application's own "quillet" URLs.
#pragma once

#include "Platform/Application.h"
#include "Platform/NotificationCenter.h"
#include "Quillet/App/ActivationPolicyController.h"

#include <chrono>
#include <memory>
#include <optional>
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
    // The account state is re-read at most this often when the application comes forward.
    static constexpr double foregroundRefreshMinInterval = 45.0;

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

    // Presents the sign-in window, creating it when needed; does nothing without the shared
    // account model and bridge.
    void showSignInWindow();

    ActivationPolicyController activationPolicy;
    std::shared_ptr<MenuBarManager> menuBarManager;
    // The one sign-in window while it exists.
    std::shared_ptr<platform::Window> signInWindow;
    std::optional<platform::NotificationCenter::Token> windowCloseObserver;
    std::optional<platform::NotificationCenter::Token> didBecomeActiveObserver;
    std::optional<std::chrono::system_clock::time_point> lastForegroundRefreshAt;

private:
    AppDelegate() = default;
    void checkAppTranslocation();
    void showTranslocationAlert();
    void handleIncomingURL(const std::string& url);
    void registerForegroundRefresh();
    void applicationDidBecomeActive();
    void installSignInMenu();
    void signInWindowWillClose();
};

} // namespace quillet

// The settings window's content: name and version, the three menu-bar preferences, a usage
// hint, the account box, the update row and Quit. A view model: it reads and writes the
// menu-bar manager's preferences, the account model and the update service, and announces
// `changed` (on the next main-loop turn) whenever one of them changed. The desktop renders it
// with SettingsView.qml; tests read and tap it. Main thread only.
#pragma once

#include "Platform/View.h"

#include <boost/asio/awaitable.hpp>
#include <boost/signals2/connection.hpp>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quillet {

class MenuBarManager;
class AccountModel;
class UpdaterService;

class SettingsView final : public platform::ViewModel,
                           public std::enable_shared_from_this<SettingsView> {
public:
    static constexpr double width = 420;
    // The section "Always hidden and hotkeys" below the hover switch adds its height.
    static constexpr double alwaysHiddenSectionHeight = 132;
    static constexpr double height = 600 + alwaysHiddenSectionHeight;
    static constexpr const char* title = "Quillet";
    static constexpr const char* tagline = "Keep the menu bar tidy: tuck away what you don't need.";
    static constexpr const char* launchAtLoginTitle = "Launch at Login";
    static constexpr const char* autoRehideTitle = "Auto-rehide";
    static constexpr const char* hoverPreviewTitle = "Show hidden items when hovering the chevron";
    static constexpr const char* hintTitle = "How it works";
    // "⌘-drag menu bar icons to the LEFT of the dot, then click the chevron to tuck them away."
    // with the host's drag modifier in place of "⌘".
    static std::string hintText();
    static constexpr const char* accountTitle = "Account";
    static constexpr const char* signedInPrefix = "Signed in as ";
    static constexpr const char* notSignedInText = "Not signed in";
    static constexpr const char* signOutTitle = "Sign Out";
    static constexpr const char* signInTitle = "Sign In\u2026";
    static constexpr const char* checkForUpdatesTitle = "Check for Updates\u2026";
    static constexpr const char* betaUpdatesTitle = "Get early-access updates";
    static constexpr const char* quitTitle = "Quit Quillet";
    static constexpr double pickerMaxWidth = 260;
    static constexpr const char* alwaysHiddenSectionTitle = "Always hidden and hotkeys";
    static constexpr const char* alwaysHiddenTitle = "Always-hidden section";
    static constexpr const char* toggleHotkeyTitle = "Hide or show menu bar items";
    static constexpr const char* alwaysHiddenHotkeyTitle = "Show always-hidden items";
    static constexpr const char* recordHotkeyPrompt = "Press keys\u2026";
    static constexpr const char* noHotkeyText = "None";
    static constexpr const char* clearHotkeyTitle = "Clear";
    static constexpr const char* hotkeyTakenText = "Another program uses this shortcut.";
    static constexpr const char* hotkeyInvalidText = "Use a key with Ctrl, Alt or Meta.";
    static constexpr const char* hotkeyUnavailableText =
        "Shortcuts for the whole desktop are not available here.";

    struct AutoRehideChoice {
        std::int64_t seconds;
        std::string label;
        bool operator==(const AutoRehideChoice&) const = default;
    };

    static std::shared_ptr<SettingsView> create(std::weak_ptr<MenuBarManager> manager,
                                                std::shared_ptr<AccountModel> account,
                                                std::shared_ptr<UpdaterService> updater);
    ~SettingsView() override;

    std::string viewName() const override { return "SettingsView"; }

    // "v<short version> (<build>)"; a missing or non-string value reads "0".
    static std::string versionString();
    // "Off", then "After N seconds" for 5, 10, 20 and 60.
    static std::vector<AutoRehideChoice> autoRehideChoices();

    // --- the controls' values ---
    bool launchAtLogin() const;
    std::int64_t autoRehideSeconds() const;
    bool hoverPreviewEnabled() const;
    // The e-mail address of the current session; none when the bridge reports no session.
    std::optional<std::string> signedInEmail() const;
    // "Signed in as <address>" or "Not signed in".
    std::string accountText() const;
    // "Sign Out" (destructive) while signed in, "Sign In…" otherwise.
    std::string accountButtonTitle() const;
    bool accountButtonIsDestructive() const { return signedInEmail().has_value(); }
    // While a sign-out runs: the button shows busy and ignores presses.
    bool accountButtonIsBusy() const { return signingOut_; }
    bool canCheckForUpdates() const;
    bool betaUpdates() const;
    bool alwaysHiddenEnabled() const;
    // The shortcuts as stored ("Ctrl+Alt+H"); empty when none.
    std::string toggleHotkey() const;
    std::string alwaysHiddenHotkey() const;
    // Why the last shortcut recorded in a field was not stored; empty when it was.
    const std::string& toggleHotkeyMessage() const { return toggleHotkeyMessage_; }
    const std::string& alwaysHiddenHotkeyMessage() const { return alwaysHiddenHotkeyMessage_; }

    // --- what the user does ---
    void setLaunchAtLogin(bool on);
    void selectAutoRehide(std::int64_t seconds);
    void setHoverPreviewEnabled(bool on);
    // "Sign Out" or "Sign In…", whichever shows; ignored while a sign-out runs.
    void tapAccountButton();
    void checkForUpdates();
    void setBetaUpdates(bool on);
    void setAlwaysHiddenEnabled(bool on);
    // A shortcut recorded in a field (keys pressed together); an empty text clears it.
    void recordToggleHotkey(const std::string& sequence);
    void recordAlwaysHiddenHotkey(const std::string& sequence);
    void quit();

private:
    SettingsView() = default;
    void observe();
    // Re-renders on the next main-loop turn, after the published value has been stored.
    void scheduleChanged();
    static boost::asio::awaitable<void> signOutTask(std::weak_ptr<SettingsView> weak,
                                                    std::shared_ptr<AccountModel> account);

    std::weak_ptr<MenuBarManager> manager_;
    std::shared_ptr<AccountModel> account_;
    std::shared_ptr<UpdaterService> updater_;
    std::vector<boost::signals2::scoped_connection> connections_;
    bool changePending_ = false;
    bool signingOut_ = false;
    std::string toggleHotkeyMessage_;
    std::string alwaysHiddenHotkeyMessage_;
};

} // namespace quillet

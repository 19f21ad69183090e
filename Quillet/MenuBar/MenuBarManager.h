// The menu bar's hub: owns the chevron (toggle) and the dot (separator) status items, collapses
// the bar by lengthening the separator past the screen, warns when the dot is on the wrong side,
// re-hides the bar after a delay, and persists its settings in the user defaults.
#pragma once

#include "Platform/Menu.h"
#include "Platform/NotificationCenter.h"
#include "Platform/Published.h"
#include "Platform/Symbols.h"
#include "Platform/TimerSlot.h"
#include "Quillet/MenuBar/RehideSuppressor.h"

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace platform {
class StatusItem;
class Logger;
} // namespace platform

namespace quillet {

struct HiddenItem;
class QuilletBarPanelController;
class SettingsWindowController;

class MenuBarManager : public platform::MenuDelegate,
                       public std::enable_shared_from_this<MenuBarManager> {
public:
    // The delays the settings window offers; 0 switches the auto-rehide off.
    static constexpr std::array<int, 5> autoRehideChoices{0, 5, 10, 20, 60};

    static constexpr const char* isCollapsedKey = "quillet.isCollapsed";
    static constexpr const char* autoRehideSecondsKey = "quillet.autoRehideSeconds";
    static constexpr const char* hoverPreviewEnabledKey = "quillet.hoverPreviewEnabled";
    static constexpr const char* toggleAutosaveName = "quillet.toggle";
    static constexpr const char* separatorAutosaveName = "quillet.separator";
    static constexpr const char* toggleToolTip = "Quillet: click to hide or show menu bar items";

    // The always-hidden section: a second separator beyond the dot; what lies beyond it stays
    // off the screen even while the bar is expanded, until it is shown (until the next collapse).
    static constexpr const char* alwaysHiddenEnabledKey = "quillet.alwaysHiddenEnabled";
    static constexpr const char* alwaysHiddenAutosaveName = "quillet.alwaysHidden";
    static constexpr double alwaysHiddenSeparatorAlpha = 0.35;
    static constexpr const char* alwaysHiddenToolTip = "Quillet: items beyond this stay hidden";
    static constexpr const char* alwaysHiddenWarningToolTip =
        "Drag the double bar to the left of the dot first.";
    // Posted (by the command line's --toggle-always-hidden) to show or hide the section.
    static constexpr const char* toggleAlwaysHiddenNotification =
        "QuilletToggleAlwaysHiddenSection";
    // Global shortcuts, as key sequences ("Ctrl+Alt+H"); empty or absent: none.
    static constexpr const char* toggleHotkeyKey = "quillet.toggleHotkey";
    static constexpr const char* alwaysHiddenHotkeyKey = "quillet.alwaysHiddenHotkey";

    static constexpr double expandedSeparatorLength = 12.0;
    static constexpr double separatorAlpha = 0.55;
    static constexpr double lengthWithoutScreen = 2120;
    static constexpr double marginBeyondWidestScreen = 200;
    static constexpr double maximumCollapsedLength = 4000;
    static constexpr double minimumCollapsedLength = 500;
    static constexpr double positionWarningSeconds = 2.0;
    static constexpr double hoverOpenSeconds = 0.35;
    static constexpr double hoverCloseSeconds = 0.5;

    // Creates the manager and puts its two items into the menu bar.
    static std::shared_ptr<MenuBarManager> create();
    ~MenuBarManager();
    MenuBarManager(const MenuBarManager&) = delete;
    MenuBarManager& operator=(const MenuBarManager&) = delete;

    // Published properties, observed by the settings window.
    const platform::Published<bool>& isCollapsed() const { return isCollapsed_; }
    // Any stored 64-bit value; below 1 means off.
    const platform::Published<std::int64_t>& autoRehideSeconds() const {
        return autoRehideSeconds_;
    }
    const platform::Published<bool>& launchAtLogin() const { return launchAtLogin_; }
    const platform::Published<bool>& hoverPreviewEnabled() const { return hoverPreviewEnabled_; }

    const platform::Published<bool>& alwaysHiddenEnabled() const { return alwaysHiddenEnabled_; }
    // The always-hidden section is on the screen (until the next collapse).
    const platform::Published<bool>& isAlwaysHiddenShown() const { return alwaysHiddenShown_; }
    // The hotkeys as stored (canonical text); empty when none.
    const platform::Published<std::string>& toggleHotkey() const { return toggleHotkey_; }
    const platform::Published<std::string>& alwaysHiddenHotkey() const {
        return alwaysHiddenHotkey_;
    }

    void setCollapsed(bool collapsed);
    void setAutoRehide(std::int64_t seconds);
    // Switches the always-hidden section on (its separator appears, shown so that items can be
    // dragged beyond it) or off (its items join the hidden section; its position is kept).
    void setAlwaysHiddenEnabled(bool enabled);
    // Shows the always-hidden section until the next collapse, expanding a collapsed bar; false
    // hides it again. Does nothing while the section is switched off.
    void setAlwaysHiddenShown(bool shown);
    void toggleAlwaysHiddenShown() { setAlwaysHiddenShown(!alwaysHiddenShown_.get()); }

    // What became of a hotkey the user chose.
    enum class HotkeyChange { stored, cleared, taken, invalid, unavailable };
    // Stores and watches for `sequence`; an empty text clears it. A key another program holds
    // (or the other hotkey) is reported as taken and not stored.
    HotkeyChange setToggleHotkey(const std::string& sequence);
    HotkeyChange setAlwaysHiddenHotkey(const std::string& sequence);
    // The user pressed a hotkey (the host calls these on each press).
    void toggleHotkeyPressed();
    void alwaysHiddenHotkeyPressed();
    void setHoverPreviewEnabled(bool enabled);
    void setLaunchAtLogin(bool enabled);

    // The status menu's delegate.
    void menuWillOpen(platform::Menu& menu) override;
    void menuDidClose(platform::Menu& menu) override;

    // The hidden-items panel, created (and wired) on first use.
    const std::shared_ptr<QuilletBarPanelController>& panelController();
    bool hasPanelController() const { return panelController_ != nullptr; }
    // The settings window's controller, created (and wired) on first use.
    const std::shared_ptr<SettingsWindowController>& settingsWindowController();
    // The status menu's "Settings…": shows the settings window.
    void openSettings();

    const std::shared_ptr<platform::StatusItem>& toggleItem() const { return toggleItem_; }
    const std::shared_ptr<platform::StatusItem>& separatorItem() const { return separatorItem_; }
    // The always-hidden separator; null while the section is switched off.
    const std::shared_ptr<platform::StatusItem>& alwaysHiddenItem() const {
        return alwaysHiddenItem_;
    }
    // Splits hidden items (left to right, as the scanner lists them) into those of the hidden
    // section and those beyond the always-hidden separator.
    std::pair<std::vector<HiddenItem>, std::vector<HiddenItem>>
    splitHiddenItems(std::vector<HiddenItem> items) const;
    const std::set<RehideSuppressor>& rehideSuppressors() const { return rehideSuppressors_; }
    bool isRehideArmed() const;
    bool isPositionWarningShown() const;

    // Image factories; none when the platform lacks the symbol.
    static std::optional<platform::Image> chevronImage(bool collapsed);
    static std::optional<platform::Image> separatorDotImage();
    static std::optional<platform::Image> warningImage();
    static std::optional<platform::Image> alwaysHiddenSeparatorImage();
    // A named system symbol, configured and marked as a template image.
    static std::optional<platform::Image>
    templateSymbol(const char* name, const char* description,
                   platform::SymbolConfiguration configuration);

private:
    MenuBarManager();
    void setUp();

    // Chevron button.
    void toggleButtonClicked();
    void applyCollapsedState();
    // The status menu and its actions.
    void showContextMenu();
    std::shared_ptr<platform::Menu> buildStatusMenu();
    void showHiddenItemsFromMenu();
    // Opens the hidden-items panel under the chevron; `takesFocus` makes it key (for search).
    void showHiddenItemsPanel(bool takesFocus);
    void toggleLaunchAtLoginFromMenu();
    bool readLaunchAtLoginStatus() const;

    // Hover preview.
    void mouseEntered();
    void mouseExited();
    void hoverOpenTimerFired();
    void scheduleHoverCloseIfNeeded();
    void hoverCloseTimerFired();
    void handlePanelHoverChange(bool inside);
    bool isPanelVisible() const;

    // Separator geometry and the wrong-side warning.
    double collapsedSeparatorLength() const;
    void screenParametersDidChange();
    bool isSeparatorPositionValid() const;
    void showSeparatorPositionWarning(
        const char* toolTip = "Drag the dot to the left of the chevron first.");
    void clearSeparatorPositionWarning();

    // The always-hidden section.
    void makeAlwaysHiddenItem();
    void applyAlwaysHiddenState();
    bool isAlwaysHiddenPositionValid() const;
    // Hotkeys.
    void registerHotkeys();
    HotkeyChange changeHotkey(const char* key, platform::Published<std::string>& stored,
                              std::optional<std::uint64_t>& token, const std::string& otherSequence,
                              const std::string& sequence, void (MenuBarManager::*pressed)());
    bool watchHotkey(const std::string& sequence, std::optional<std::uint64_t>& token,
                     void (MenuBarManager::*pressed)(), HotkeyChange& outcome);

    // Auto-rehide.
    void addRehideSuppressor(RehideSuppressor reason);
    void removeRehideSuppressor(RehideSuppressor reason);
    void scheduleRehideIfNeeded();

    // Arms `timer` to call `handler` on a main-thread turn after `seconds`. The call holds the
    // manager weakly, and happens only while `timer` still holds that very timer: an
    // invalidation or a newer timer, even one made after the fire, wins.
    void scheduleTimer(platform::TimerSlot& timer, double seconds,
                       std::function<void(MenuBarManager&)> handler);

    platform::Published<bool> isCollapsed_;
    platform::Published<std::int64_t> autoRehideSeconds_;
    platform::Published<bool> launchAtLogin_;
    platform::Published<bool> hoverPreviewEnabled_;
    platform::Published<bool> alwaysHiddenEnabled_;
    platform::Published<bool> alwaysHiddenShown_;
    platform::Published<std::string> toggleHotkey_;
    platform::Published<std::string> alwaysHiddenHotkey_;
    std::optional<std::uint64_t> toggleHotkeyToken_;
    std::optional<std::uint64_t> alwaysHiddenHotkeyToken_;
    std::shared_ptr<platform::StatusItem> toggleItem_;
    std::shared_ptr<platform::StatusItem> separatorItem_;
    std::shared_ptr<platform::StatusItem> alwaysHiddenItem_;
    std::optional<platform::NotificationCenter::Token> alwaysHiddenObserver_;
    platform::TimerSlot rehideTimer_;
    std::set<RehideSuppressor> rehideSuppressors_;
    platform::TimerSlot positionWarningTimer_;
    platform::TimerSlot hoverOpenTimer_;
    platform::TimerSlot hoverCloseTimer_;
    bool isMouseInToggle_ = false;
    bool isMouseInPanel_ = false;
    std::unique_ptr<platform::Logger> log_;
    std::optional<platform::NotificationCenter::Token> screenObserver_;
    std::shared_ptr<QuilletBarPanelController> panelController_;
    std::shared_ptr<SettingsWindowController> settingsWindowController_;
};

} // namespace quillet

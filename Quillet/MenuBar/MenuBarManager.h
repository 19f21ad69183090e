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

namespace platform {
class StatusItem;
class Logger;
} // namespace platform

namespace quillet {

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

    void setCollapsed(bool collapsed);
    void setAutoRehide(std::int64_t seconds);
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
    const std::set<RehideSuppressor>& rehideSuppressors() const { return rehideSuppressors_; }
    bool isRehideArmed() const;
    bool isPositionWarningShown() const;

    // Image factories; none when the platform lacks the symbol.
    static std::optional<platform::Image> chevronImage(bool collapsed);
    static std::optional<platform::Image> separatorDotImage();
    static std::optional<platform::Image> warningImage();
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
    void showSeparatorPositionWarning();
    void clearSeparatorPositionWarning();

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
    std::shared_ptr<platform::StatusItem> toggleItem_;
    std::shared_ptr<platform::StatusItem> separatorItem_;
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

#include "Quillet/MenuBar/MenuBarManager.h"

#include "Platform/Application.h"
#include "Platform/Host.h"
#include "Platform/Hotkeys.h"
#include "Platform/Log.h"
#include "Platform/RunLoop.h"
#include "Platform/StatusBar.h"
#include "Platform/UserDefaults.h"
#include "Quillet/App/Constants.h"

namespace quillet {

using platform::host;

MenuBarManager::MenuBarManager()
    : log_(std::make_unique<platform::Logger>(Constants::logSubsystem, "MenuBarManager")) {}

std::shared_ptr<MenuBarManager> MenuBarManager::create() {
    std::shared_ptr<MenuBarManager> manager(new MenuBarManager());
    manager->setUp();
    return manager;
}

MenuBarManager::~MenuBarManager() {
    if (platform::hasHost()) {
        if (screenObserver_)
            host().notificationCenter().removeObserver(*screenObserver_);
        if (alwaysHiddenObserver_)
            host().notificationCenter().removeObserver(*alwaysHiddenObserver_);
        for (const auto& token : {toggleHotkeyToken_, alwaysHiddenHotkeyToken_})
            if (token)
                platform::hotkeys().unregisterHotkey(*token);
    }
    // The timer slots invalidate their timers as they go.
}

void MenuBarManager::setUp() {
    auto& defaults = host().userDefaults();

    // Settings, as the last run left them.
    isCollapsed_.set(defaults.boolForKey(isCollapsedKey));
    autoRehideSeconds_.set(defaults.integerForKey(autoRehideSecondsKey));
    // The key's absence is what counts: a stored false stays false.
    hoverPreviewEnabled_.set(defaults.object(hoverPreviewEnabledKey)
                                 ? defaults.boolForKey(hoverPreviewEnabledKey)
                                 : true);
    // Never stored: always read back from the system's login-item service.
    launchAtLogin_.set(readLaunchAtLoginStatus());
    alwaysHiddenEnabled_.set(defaults.boolForKey(alwaysHiddenEnabledKey));

    // First launch: the chevron nearest the edge, the dot just beyond it.
    const auto togglePositionKey = platform::preferredPositionKey(toggleAutosaveName);
    const auto separatorPositionKey = platform::preferredPositionKey(separatorAutosaveName);
    if (!defaults.object(togglePositionKey) && !defaults.object(separatorPositionKey)) {
        defaults.set(togglePositionKey, 0.0);
        defaults.set(separatorPositionKey, 1.0);
    }

    auto& statusBar = host().statusBar();
    toggleItem_ = statusBar.statusItem(platform::squareStatusItemLength);
    separatorItem_ = statusBar.statusItem(platform::variableStatusItemLength);
    toggleItem_->setAutosaveName(toggleAutosaveName);
    separatorItem_->setAutosaveName(separatorAutosaveName);

    std::weak_ptr<MenuBarManager> weak = weak_from_this();
    if (auto* button = toggleItem_->button()) {
        button->setAction([weak] {
            if (auto self = weak.lock())
                self->toggleButtonClicked();
        });
        button->sendActionOn(platform::eventMask(platform::EventType::leftMouseUp) |
                             platform::eventMask(platform::EventType::rightMouseUp));
        button->setToolTip(toggleToolTip);
        platform::TrackingArea area;
        area.options = platform::tracking::mouseEnteredAndExited |
                       platform::tracking::activeAlways | platform::tracking::inVisibleRect;
        area.mouseEntered = [weak] {
            if (auto self = weak.lock())
                self->mouseEntered();
        };
        area.mouseExited = [weak] {
            if (auto self = weak.lock())
                self->mouseExited();
        };
        button->addTrackingArea(std::move(area));
    }
    // The dot has no action: clicking it does nothing.
    if (auto* button = separatorItem_->button())
        button->setAlphaValue(separatorAlpha);
    // The always-hidden separator, beyond the dot, while that section is switched on; at
    // launch its items stay hidden.
    if (alwaysHiddenEnabled_.get())
        makeAlwaysHiddenItem();

    applyCollapsedState();
    scheduleRehideIfNeeded();
    registerHotkeys();

    screenObserver_ = host().notificationCenter().addObserver(
        platform::applicationDidChangeScreenParametersNotification, [weak] {
            if (auto self = weak.lock())
                self->screenParametersDidChange();
        });
    // `quillet --toggle-always-hidden` reaches the running instance as this notification.
    alwaysHiddenObserver_ =
        host().notificationCenter().addObserver(toggleAlwaysHiddenNotification, [weak] {
            if (auto self = weak.lock())
                self->toggleAlwaysHiddenShown();
        });
}

void MenuBarManager::toggleButtonClicked() {
    // A right click opens the status menu; anything else (modifiers included) toggles.
    auto event = host().application().currentEvent();
    if (event && event->type == platform::EventType::rightMouseUp) {
        showContextMenu();
        return;
    }
    setCollapsed(!isCollapsed_.get());
}

void MenuBarManager::setCollapsed(bool collapsed) {
    if (collapsed == isCollapsed_.get())
        return;
    if (collapsed && !isSeparatorPositionValid()) {
        // Collapsing now would swallow the chevron itself: warn and stay expanded.
        showSeparatorPositionWarning();
        scheduleRehideIfNeeded();
        return;
    }
    if (collapsed && !isAlwaysHiddenPositionValid()) {
        // The double bar between the chevron and the dot: it must go beyond the dot first.
        showSeparatorPositionWarning(alwaysHiddenWarningToolTip);
        scheduleRehideIfNeeded();
        return;
    }
    isCollapsed_.set(collapsed);
    // A collapse ends the showing of the always-hidden section.
    if (collapsed)
        alwaysHiddenShown_.set(false);
    host().userDefaults().set(isCollapsedKey, collapsed);
    applyCollapsedState();
    if (collapsed)
        rehideTimer_.invalidate();
    else
        scheduleRehideIfNeeded();
}

void MenuBarManager::applyCollapsedState() {
    // A pending wrong-side warning ends here: the chevron is redrawn below.
    positionWarningTimer_.invalidate();
    const bool collapsed = isCollapsed_.get();
    if (auto* button = toggleItem_->button()) {
        button->setImage(chevronImage(collapsed));
        button->setToolTip(toggleToolTip);
    }
    if (collapsed) {
        separatorItem_->setLength(collapsedSeparatorLength());
        if (auto* button = separatorItem_->button())
            button->setImage(std::nullopt);
    } else {
        separatorItem_->setLength(expandedSeparatorLength);
        if (auto* button = separatorItem_->button())
            button->setImage(separatorDotImage());
    }
    applyAlwaysHiddenState();
}

std::optional<platform::Image>
MenuBarManager::templateSymbol(const char* name, const char* description,
                               platform::SymbolConfiguration configuration) {
    auto image = host().symbols().systemSymbol(name, description);
    if (!image)
        return std::nullopt;
    auto configured = image->withSymbolConfiguration(configuration);
    configured.isTemplate = true; // the menu bar tints it
    return configured;
}

std::optional<platform::Image> MenuBarManager::chevronImage(bool collapsed) {
    return templateSymbol(collapsed ? "chevron.left" : "chevron.right",
                          collapsed ? "Show hidden menu bar items" : "Hide menu bar items",
                          {12, platform::SymbolWeight::medium, platform::SymbolScale::medium});
}

std::optional<platform::Image> MenuBarManager::separatorDotImage() {
    return templateSymbol("circle.fill", "Quillet separator",
                          {6, platform::SymbolWeight::regular, platform::SymbolScale::small});
}

void MenuBarManager::scheduleTimer(platform::TimerSlot& timer, double seconds,
                                   std::function<void(MenuBarManager&)> handler) {
    std::weak_ptr<MenuBarManager> weak = weak_from_this();
    timer.schedule(seconds, [weak, handler = std::move(handler)] {
        if (auto self = weak.lock())
            handler(*self);
    });
}

} // namespace quillet

// The status menu (right click on the chevron) and the login item.
#include "Quillet/MenuBar/MenuBarManager.h"

#include "Platform/Application.h"
#include "Platform/Host.h"
#include "Platform/Log.h"
#include "Platform/LoginItemService.h"
#include "Platform/StatusBar.h"
#include "Quillet/HiddenItems/HiddenItemScanner.h"
#include "Quillet/HiddenItems/QuilletBarPanelController.h"
#include "Quillet/Settings/SettingsWindowController.h"

namespace quillet {

using platform::host;

bool MenuBarManager::readLaunchAtLoginStatus() const {
    return host().loginItemService().status() == platform::LoginItemStatus::enabled;
}

std::shared_ptr<platform::Menu> MenuBarManager::buildStatusMenu() {
    std::weak_ptr<MenuBarManager> weak = weak_from_this();
    auto call = [weak](void (MenuBarManager::*action)()) {
        return [weak, action] {
            if (auto self = weak.lock())
                ((*self).*action)();
        };
    };
    auto menu = std::make_shared<platform::Menu>();
    menu->setDelegate(std::static_pointer_cast<platform::MenuDelegate>(shared_from_this()));
    menu->addItem({"Show Hidden Items", call(&MenuBarManager::showHiddenItemsFromMenu), ""});
    menu->addItem(platform::MenuItem::separator());
    menu->addItem({"Settings…", call(&MenuBarManager::openSettings), ","});
    menu->addItem(platform::MenuItem::separator());
    menu->addItem(
        {"Launch at Login", call(&MenuBarManager::toggleLaunchAtLoginFromMenu), "",
         launchAtLogin_.get() ? platform::ControlState::on : platform::ControlState::off});
    menu->addItem(platform::MenuItem::separator());
    menu->addItem({"Quit Quillet", [] { host().application().terminate(); }, "q"});
    return menu;
}

void MenuBarManager::showContextMenu() {
    // The check mark shows changes made elsewhere, such as in the system's settings.
    launchAtLogin_.set(readLaunchAtLoginStatus());
    auto menu = buildStatusMenu();
    // Attached only while it is shown, so that the next left click reaches the chevron's
    // action again (and the menu's key equivalents work only while it is open).
    toggleItem_->setMenu(menu);
    if (auto* button = toggleItem_->button())
        button->performClick(); // returns when the menu has closed
    toggleItem_->setMenu(nullptr);
}

void MenuBarManager::menuWillOpen(platform::Menu&) {
    addRehideSuppressor(RehideSuppressor::contextMenu);
}

void MenuBarManager::menuDidClose(platform::Menu&) {
    removeRehideSuppressor(RehideSuppressor::contextMenu);
}

void MenuBarManager::showHiddenItemsFromMenu() {
    showHiddenItemsPanel(/*takesFocus=*/false);
}

void MenuBarManager::showHiddenItemsPanel(bool takesFocus) {
    auto [hidden, alwaysHidden] = splitHiddenItems(HiddenItemScanner::scan());
    panelController()->show(hidden, alwaysHidden, toggleItem_->button(), takesFocus);
}

const std::shared_ptr<SettingsWindowController>& MenuBarManager::settingsWindowController() {
    if (!settingsWindowController_) {
        settingsWindowController_ = SettingsWindowController::create();
        std::weak_ptr<MenuBarManager> weak = weak_from_this();
        // While the window is visible the bar is not re-hidden.
        settingsWindowController_->onVisibilityChange = [weak](bool visible) {
            auto self = weak.lock();
            if (!self)
                return;
            if (visible)
                self->addRehideSuppressor(RehideSuppressor::settingsWindow);
            else
                self->removeRehideSuppressor(RehideSuppressor::settingsWindow);
        };
    }
    return settingsWindowController_;
}

void MenuBarManager::openSettings() {
    settingsWindowController()->show(shared_from_this());
}

void MenuBarManager::toggleLaunchAtLoginFromMenu() {
    setLaunchAtLogin(!launchAtLogin_.get());
}

void MenuBarManager::setLaunchAtLogin(bool enabled) {
    auto& service = host().loginItemService();
    auto error = enabled ? service.registerItem() : service.unregisterItem();
    if (!error) {
        launchAtLogin_.set(enabled);
        return;
    }
    // No dialog: log it and show the state the system really has.
    log_->error("Launch at Login toggle failed: " + error->localizedDescription);
    launchAtLogin_.set(readLaunchAtLoginStatus());
}

} // namespace quillet

// The hover preview: resting on the chevron of a collapsed bar opens the hidden-items panel;
// leaving both the chevron and the panel closes it again. Also wires the panel's callbacks.
#include "Quillet/MenuBar/MenuBarManager.h"

#include "Platform/Window.h"
#include "Quillet/HiddenItems/QuilletBarPanelController.h"

namespace quillet {

const std::shared_ptr<QuilletBarPanelController>& MenuBarManager::panelController() {
    if (panelController_)
        return panelController_;
    panelController_ = QuilletBarPanelController::create();
    std::weak_ptr<MenuBarManager> weak = weak_from_this();
    panelController_->onVisibilityChange = [weak](bool visible) {
        auto self = weak.lock();
        if (!self)
            return;
        if (visible) {
            self->addRehideSuppressor(RehideSuppressor::hiddenItemsPanel);
            return;
        }
        self->isMouseInPanel_ = false;
        self->hoverCloseTimer_.invalidate();
        self->removeRehideSuppressor(RehideSuppressor::hiddenItemsPanel);
    };
    panelController_->onItemClicked = [weak] {
        auto self = weak.lock();
        if (!self)
            return;
        // Expanding brings the clicked item (and the others) back onto the menu bar.
        self->panelController_->hide();
        self->setCollapsed(false);
    };
    panelController_->onAlwaysHiddenItemClicked = [weak] {
        auto self = weak.lock();
        if (!self)
            return;
        // Expanding, and showing the always-hidden section until the next collapse.
        self->panelController_->hide();
        self->setCollapsed(false);
        self->setAlwaysHiddenShown(true);
    };
    panelController_->onHoverChange = [weak](bool inside) {
        if (auto self = weak.lock())
            self->handlePanelHoverChange(inside);
    };
    return panelController_;
}

bool MenuBarManager::isPanelVisible() const {
    return panelController_ && panelController_->isPanelVisible();
}

void MenuBarManager::mouseEntered() {
    isMouseInToggle_ = true;
    hoverCloseTimer_.invalidate();
    if (!isCollapsed_.get() || !hoverPreviewEnabled_.get())
        return;
    if (isPanelVisible())
        return;
    scheduleTimer(hoverOpenTimer_, hoverOpenSeconds, &MenuBarManager::hoverOpenTimerFired);
}

void MenuBarManager::hoverOpenTimerFired() {
    // The slot has already let go of the timer that called this.
    if (!isMouseInToggle_ || !isCollapsed_.get() || !hoverPreviewEnabled_.get())
        return;
    if (isPanelVisible())
        return;
    showHiddenItemsFromMenu();
}

void MenuBarManager::mouseExited() {
    isMouseInToggle_ = false;
    hoverOpenTimer_.invalidate();
    scheduleHoverCloseIfNeeded();
}

void MenuBarManager::scheduleHoverCloseIfNeeded() {
    hoverCloseTimer_.invalidate();
    if (isPanelVisible() && !isMouseInToggle_ && !isMouseInPanel_)
        scheduleTimer(hoverCloseTimer_, hoverCloseSeconds, &MenuBarManager::hoverCloseTimerFired);
}

void MenuBarManager::hoverCloseTimerFired() {
    // The slot has already let go of the timer that called this.
    if (isPanelVisible() && !isMouseInToggle_ && !isMouseInPanel_)
        panelController_->hide();
}

void MenuBarManager::handlePanelHoverChange(bool inside) {
    isMouseInPanel_ = inside;
    if (inside)
        hoverCloseTimer_.invalidate();
    else
        scheduleHoverCloseIfNeeded();
}

} // namespace quillet

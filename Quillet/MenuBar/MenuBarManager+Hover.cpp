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
        invalidate(self->hoverCloseTimer_);
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
    invalidate(hoverCloseTimer_);
    if (!isCollapsed_.get() || !hoverPreviewEnabled_.get())
        return;
    if (isPanelVisible())
        return;
    invalidate(hoverOpenTimer_);
    hoverOpenTimer_ = scheduleTimer(hoverOpenSeconds, &MenuBarManager::hoverOpenTimerFired);
}

void MenuBarManager::hoverOpenTimerFired() {
    hoverOpenTimer_.reset();
    if (!isMouseInToggle_ || !isCollapsed_.get() || !hoverPreviewEnabled_.get())
        return;
    if (isPanelVisible())
        return;
    showHiddenItemsFromMenu();
}

void MenuBarManager::mouseExited() {
    isMouseInToggle_ = false;
    invalidate(hoverOpenTimer_);
    scheduleHoverCloseIfNeeded();
}

void MenuBarManager::scheduleHoverCloseIfNeeded() {
    invalidate(hoverCloseTimer_);
    if (isPanelVisible() && !isMouseInToggle_ && !isMouseInPanel_)
        hoverCloseTimer_ = scheduleTimer(hoverCloseSeconds, &MenuBarManager::hoverCloseTimerFired);
}

void MenuBarManager::hoverCloseTimerFired() {
    hoverCloseTimer_.reset();
    if (isPanelVisible() && !isMouseInToggle_ && !isMouseInPanel_)
        panelController_->hide();
}

void MenuBarManager::handlePanelHoverChange(bool inside) {
    isMouseInPanel_ = inside;
    if (inside)
        invalidate(hoverCloseTimer_);
    else
        scheduleHoverCloseIfNeeded();
}

} // namespace quillet

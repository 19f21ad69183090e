#include "Quillet/HiddenItems/QuilletBarPanelController.h"

#include "Platform/Host.h"
#include "Platform/RunLoop.h"
#include "Platform/Screens.h"
#include "Platform/StatusBar.h"
#include "Platform/Window.h"
#include "Quillet/HiddenItems/QuilletBarPanel.h"
#include "Quillet/Views/QuilletBarView.h"

#include <algorithm>

namespace quillet {

using platform::host;

platform::WindowAttributes QuilletBarPanel::attributes() {
    platform::WindowAttributes a;
    a.contentRect = platform::Rect{};
    a.styleMask =
        platform::windowstyle::nonactivatingPanel | platform::windowstyle::fullSizeContentView;
    a.backing = platform::backingStoreBuffered;
    a.defer = false;
    a.level = 25; // the status-window level
    a.collectionBehavior = platform::collection::moveToActiveSpace |
                           platform::collection::ignoresCycle |
                           platform::collection::fullScreenAuxiliary;
    a.isFloatingPanel = true;
    a.becomesKeyOnlyIfNeeded = true;
    a.clearBackground = true;
    a.isOpaque = false;
    a.hasShadow = true;
    a.hidesOnDeactivate = false;
    a.isReleasedWhenClosed = false;
    a.appearance = "darkAqua";
    a.canBecomeKey = true;
    a.canBecomeMain = false;
    return a;
}

std::shared_ptr<QuilletBarPanelController> QuilletBarPanelController::create() {
    return std::shared_ptr<QuilletBarPanelController>(new QuilletBarPanelController());
}

QuilletBarPanelController::~QuilletBarPanelController() {
    if (platform::hasHost())
        removeMonitors();
}

double QuilletBarPanelController::width(std::size_t n) {
    if (n == 0)
        return emptyWidth;
    const auto count = static_cast<double>(n);
    return count * 22 + 20 + (count - 1) * 8;
}

double QuilletBarPanelController::width(std::size_t n, std::size_t alwaysHidden) {
    const double icons = width(n + alwaysHidden);
    if (n == 0 || alwaysHidden == 0)
        return icons;
    return icons + QuilletBarView::dividerWidth + QuilletBarView::spacing;
}

bool QuilletBarPanelController::isPanelVisible() const {
    return panel_ && panel_->isVisible();
}

std::shared_ptr<QuilletBarHostingView> QuilletBarPanelController::hostingView() const {
    return panel_ ? std::dynamic_pointer_cast<QuilletBarHostingView>(panel_->contentView())
                  : nullptr;
}

void QuilletBarPanelController::show(const std::vector<HiddenItem>& items,
                                     const std::vector<HiddenItem>& alwaysHiddenItems,
                                     platform::StatusButton* anchor, bool takesFocus) {
    auto anchorWindow = anchor ? anchor->window() : nullptr;
    if (!anchorWindow)
        return;

    // The anchor's screen, else the main screen.
    const auto anchorFrame = anchorWindow->frame();
    std::optional<platform::Screen> screen = anchorWindow->screen();
    if (!screen)
        screen = host().screens().mainScreen();
    if (!screen)
        return;

    if (!panel_)
        panel_ = host().makeWindow(QuilletBarPanel::attributes(), /*panel=*/true);

    // The content, rebuilt on every show; the callbacks hold the controller weakly.
    std::weak_ptr<QuilletBarPanelController> weak = weak_from_this();
    QuilletBarView root;
    root.items = items;
    root.alwaysHiddenItems = alwaysHiddenItems;
    root.onItemClick = [weak] {
        if (auto self = weak.lock(); self && self->onItemClicked)
            self->onItemClicked();
    };
    root.onAlwaysHiddenItemClick = [weak] {
        if (auto self = weak.lock(); self && self->onAlwaysHiddenItemClicked)
            self->onAlwaysHiddenItemClicked();
    };
    root.onHoverChange = [weak](bool inside) {
        if (auto self = weak.lock(); self && self->onHoverChange)
            self->onHoverChange(inside);
    };
    auto hosting = hostingView();
    if (hosting) {
        // Each showing starts a new search.
        hosting->setSearchText(std::string());
        hosting->setRootView(std::move(root));
    } else {
        hosting = std::make_shared<QuilletBarHostingView>(std::move(root));
        panel_->setContentView(hosting);
    }
    // A search narrows the panel to the icons it leaves.
    hosting->onSearchChange = [weak] {
        if (auto self = weak.lock())
            self->fitToVisibleCells();
    };

    // Right-aligned under the chevron, 6 points below the menu bar, inside the screen (the
    // right edge wins when the panel is wider than the screen).
    const double w = width(items.size(), alwaysHiddenItems.size());
    const double menuBarHeight = screen->frame.maxY() - screen->visibleFrame.maxY();
    const double y = screen->frame.maxY() - menuBarHeight - panelHeight - gapBelowMenuBar;
    double x = anchorFrame.maxX() - w;
    x = std::max(x, screen->frame.minX());
    x = std::min(screen->frame.maxX() - w, x);
    rightEdge_ = x + w;
    screenFrame_ = screen->frame;
    panel_->setFrame(platform::makeRect(x, y, w, panelHeight));
    panel_->display();

    const bool wasVisible = panel_->isVisible();
    // Opened by the chevron or by hover it is not made key; opened for search it is.
    if (takesFocus)
        panel_->makeKeyAndOrderFront();
    else
        panel_->orderFrontRegardless();
    if (!wasVisible) {
        installMonitors();
        if (onVisibilityChange)
            onVisibilityChange(true);
    }
}

void QuilletBarPanelController::fitToVisibleCells() {
    auto hosting = hostingView();
    if (!panel_ || !hosting)
        return;
    std::size_t hidden = 0, alwaysHidden = 0;
    for (const auto& cell : hosting->visibleCells())
        ++(cell.alwaysHidden ? alwaysHidden : hidden);
    const double w = width(hidden, alwaysHidden);
    const auto frame = panel_->frame();
    double x = std::max(rightEdge_ - w, screenFrame_.minX());
    x = std::min(screenFrame_.maxX() - w, x);
    panel_->setFrame(platform::makeRect(x, frame.origin.y, w, frame.size.height));
}

void QuilletBarPanelController::hide() {
    if (!isPanelVisible())
        return;
    removeMonitors();
    panel_->orderOut();
    if (onVisibilityChange)
        onVisibilityChange(false);
}

void QuilletBarPanelController::installMonitors() {
    removeMonitors();
    auto& monitors = host().eventMonitors();
    std::weak_ptr<QuilletBarPanelController> weak = weak_from_this();
    const auto mouseDowns = platform::eventMask(platform::EventType::leftMouseDown) |
                            platform::eventMask(platform::EventType::rightMouseDown);

    // A click into another window of ours closes the panel; the click still goes through.
    localMouseMonitor_ = monitors.addLocalMonitor(
        mouseDowns, [weak](const platform::Event& event) -> std::optional<platform::Event> {
            if (auto self = weak.lock(); self && self->isPanelVisible() &&
                                         event.windowNumber != self->panel_->windowNumber())
                self->hide();
            return event;
        });
    // A click into another application closes it too, from a main-thread task. The task
    // belongs to this showing: once the panel has been hidden (and perhaps shown again) before
    // it runs, the click no longer concerns the panel on screen.
    const auto showing = ++showing_;
    globalMouseMonitor_ =
        monitors.addGlobalMonitor(mouseDowns, [weak, showing](const platform::Event&) {
            host().runLoop().post([weak, showing] {
                if (auto self = weak.lock(); self && self->showing_ == showing &&
                                             self->globalMouseMonitor_ && self->isPanelVisible())
                    self->hide();
            });
        });
    // Escape closes it while it is the key window, and goes no further; while a search text
    // is typed, Escape clears it first.
    localKeyMonitor_ = monitors.addLocalMonitor(
        platform::eventMask(platform::EventType::keyDown),
        [weak](const platform::Event& event) -> std::optional<platform::Event> {
            auto self = weak.lock();
            if (self && self->isPanelVisible() && self->panel_->isKeyWindow() &&
                event.keyCode == platform::keyCodeEscape) {
                auto hosting = self->hostingView();
                if (!hosting || !hosting->pressEscape())
                    self->hide();
                return std::nullopt;
            }
            return event;
        });
}

void QuilletBarPanelController::removeMonitors() {
    if (!localMouseMonitor_ && !globalMouseMonitor_ && !localKeyMonitor_)
        return;
    auto& monitors = host().eventMonitors();
    for (auto* token : {&localMouseMonitor_, &globalMouseMonitor_, &localKeyMonitor_}) {
        if (*token) {
            monitors.removeMonitor(**token);
            token->reset();
        }
    }
}

} // namespace quillet

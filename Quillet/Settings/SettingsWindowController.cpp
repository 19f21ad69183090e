#include "Quillet/Settings/SettingsWindowController.h"

#include "Platform/Application.h"
#include "Platform/Host.h"
#include "Platform/Screens.h"
#include "Platform/Window.h"
#include "Quillet/App/AppDelegate.h"
#include "Quillet/Settings/SettingsView.h"

namespace quillet {

using platform::host;

std::shared_ptr<SettingsWindowController> SettingsWindowController::create() {
    return std::shared_ptr<SettingsWindowController>(new SettingsWindowController());
}

SettingsWindowController::~SettingsWindowController() {
    if (closeObserver_ && platform::hasHost())
        host().notificationCenter().removeObserver(*closeObserver_);
}

void SettingsWindowController::show(const std::shared_ptr<MenuBarManager>& manager) {
    host().application().activate(true);
    if (window) {
        window->makeKeyAndOrderFront();
        if (onVisibilityChange)
            onVisibilityChange(true);
        return;
    }
    auto account = AppDelegate::sharedAccount;
    auto updater = AppDelegate::sharedUpdater;
    if (!account || !updater)
        return;

    auto view = SettingsView::create(manager, account, updater);
    platform::WindowAttributes a;
    a.contentRect = {};
    a.styleMask = platform::windowstyle::titled | platform::windowstyle::closable |
                  platform::windowstyle::miniaturizable;
    a.backing = platform::backingStoreBuffered;
    a.defer = false;
    a.title = SettingsView::title;
    a.isReleasedWhenClosed = false;
    a.appearance = "darkAqua";
    auto made = host().makeWindow(a, false);
    made->setContentView(view);
    // 420 × 600, centred on the main screen's visible area.
    platform::Rect frame{{0, 0}, {SettingsView::width, SettingsView::height}};
    if (auto screen = host().screens().mainScreen()) {
        const auto& v = screen->visibleFrame;
        frame.origin = {v.origin.x + (v.size.width - SettingsView::width) / 2,
                        v.origin.y + (v.size.height - SettingsView::height) / 2};
    }
    made->setFrame(frame);

    std::weak_ptr<SettingsWindowController> weak = weak_from_this();
    closeObserver_ = host().notificationCenter().addObserver(platform::windowWillCloseNotification,
                                                             made.get(), [weak] {
                                                                 if (auto self = weak.lock())
                                                                     self->windowWillClose();
                                                             });

    window = made;
    window->makeKeyAndOrderFront();
    if (onVisibilityChange)
        onVisibilityChange(true);
}

void SettingsWindowController::windowWillClose() {
    if (onVisibilityChange)
        onVisibilityChange(false);
    // A sign-in window that closed while this one showed left the application regular: once
    // no ordinary window remains, it goes back to accessory.
    if (auto delegate = AppDelegate::shared.lock())
        delegate->activationPolicy.demoteWhenIdle(false);
}

} // namespace quillet

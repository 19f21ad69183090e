// The auto-rehide: an expanded bar collapses again after the chosen delay unless something on
// screen (the status menu, the settings window, the hidden-items panel) still needs it open.
#include "Quillet/MenuBar/MenuBarManager.h"

#include "Platform/Host.h"
#include "Platform/RunLoop.h"
#include "Platform/UserDefaults.h"

namespace quillet {

using platform::host;

void MenuBarManager::setAutoRehide(std::int64_t seconds) {
    // Any value is stored; below 1 means off.
    autoRehideSeconds_.set(seconds);
    host().userDefaults().set(autoRehideSecondsKey, seconds);
    if (!isCollapsed_.get())
        scheduleRehideIfNeeded();
}

void MenuBarManager::setHoverPreviewEnabled(bool enabled) {
    hoverPreviewEnabled_.set(enabled);
    host().userDefaults().set(hoverPreviewEnabledKey, enabled);
    // A panel already open stays open; only a pending opening is cancelled.
    if (!enabled)
        hoverOpenTimer_.invalidate();
}

void MenuBarManager::addRehideSuppressor(RehideSuppressor reason) {
    rehideSuppressors_.insert(reason);
    rehideTimer_.invalidate();
}

void MenuBarManager::removeRehideSuppressor(RehideSuppressor reason) {
    rehideSuppressors_.erase(reason);
    if (rehideSuppressors_.empty())
        scheduleRehideIfNeeded();
}

void MenuBarManager::scheduleRehideIfNeeded() {
    rehideTimer_.invalidate();
    if (isCollapsed_.get() || autoRehideSeconds_.get() < 1 || !rehideSuppressors_.empty())
        return;
    // Every 64-bit delay is representable (a huge one only rounds): it just means a long wait.
    scheduleTimer(rehideTimer_, static_cast<double>(autoRehideSeconds_.get()),
                  [](MenuBarManager& self) { self.setCollapsed(true); });
}

bool MenuBarManager::isRehideArmed() const {
    return rehideTimer_.isPending();
}

} // namespace quillet

// The always-hidden section: a faint double bar beyond the dot. While it is long, the items
// beyond it stay off the screen even with the bar expanded (the dot's technique, applied to a
// second separator); it is shown, short and drawn, from the moment it is switched on or asked
// for until the next collapse. It must lie beyond the dot, as the dot must lie beyond the
// chevron: on the wrong side it is never lengthened and collapsing is refused with a warning.
#include "Quillet/MenuBar/MenuBarManager.h"

#include "Platform/Application.h"
#include "Platform/Host.h"
#include "Platform/StatusBar.h"
#include "Platform/UserDefaults.h"
#include "Platform/Window.h"
#include "Quillet/HiddenItems/HiddenItem.h"

namespace quillet {

using platform::host;

std::optional<platform::Image> MenuBarManager::alwaysHiddenSeparatorImage() {
    return templateSymbol("pause", "Quillet always-hidden separator",
                          {8, platform::SymbolWeight::regular, platform::SymbolScale::small});
}

void MenuBarManager::makeAlwaysHiddenItem() {
    if (alwaysHiddenItem_)
        return;
    // Its position, once the user has dragged it, is kept by the status bar under its autosave
    // name; a new one enters at the far end, so that nothing is always hidden until dragged.
    alwaysHiddenItem_ = host().statusBar().statusItem(platform::variableStatusItemLength);
    alwaysHiddenItem_->setAutosaveName(alwaysHiddenAutosaveName);
    if (auto* button = alwaysHiddenItem_->button()) {
        button->setAlphaValue(alwaysHiddenSeparatorAlpha);
        button->setToolTip(alwaysHiddenToolTip);
    }
}

void MenuBarManager::setAlwaysHiddenEnabled(bool enabled) {
    if (enabled == alwaysHiddenEnabled_.get())
        return;
    alwaysHiddenEnabled_.set(enabled);
    host().userDefaults().set(alwaysHiddenEnabledKey, enabled);
    if (enabled) {
        makeAlwaysHiddenItem();
        // Shown at first, so that the user sees where it is and can drag items beyond it.
        alwaysHiddenShown_.set(true);
        applyAlwaysHiddenState();
        return;
    }
    // Its items join the hidden section: with the separator gone they lie just beyond the dot.
    alwaysHiddenShown_.set(false);
    if (alwaysHiddenItem_) {
        host().statusBar().removeStatusItem(alwaysHiddenItem_);
        alwaysHiddenItem_.reset();
    }
}

void MenuBarManager::setAlwaysHiddenShown(bool shown) {
    if (!alwaysHiddenEnabled_.get() || shown == alwaysHiddenShown_.get())
        return;
    if (shown && isCollapsed_.get()) {
        setCollapsed(false);
        if (isCollapsed_.get())
            return;
    }
    alwaysHiddenShown_.set(shown);
    applyAlwaysHiddenState();
    // As an expansion does, showing arms the auto-rehide, which collapses and so hides it.
    if (shown)
        scheduleRehideIfNeeded();
}

void MenuBarManager::applyAlwaysHiddenState() {
    if (!alwaysHiddenItem_)
        return;
    // Long only while hidden and beyond the dot: on the wrong side it would push the dot (and
    // the hidden section with it) away.
    const bool hides = !alwaysHiddenShown_.get() && isAlwaysHiddenPositionValid();
    if (hides) {
        alwaysHiddenItem_->setLength(collapsedSeparatorLength());
        if (auto* button = alwaysHiddenItem_->button())
            button->setImage(std::nullopt);
        // Laid out long: it may have moved past the dot only now (it had no window before).
        if (!isAlwaysHiddenPositionValid()) {
            alwaysHiddenItem_->setLength(expandedSeparatorLength);
            if (auto* button = alwaysHiddenItem_->button())
                button->setImage(alwaysHiddenSeparatorImage());
        }
        return;
    }
    alwaysHiddenItem_->setLength(expandedSeparatorLength);
    if (auto* button = alwaysHiddenItem_->button())
        button->setImage(alwaysHiddenSeparatorImage());
}

bool MenuBarManager::isAlwaysHiddenPositionValid() const {
    if (!alwaysHiddenItem_)
        return true;
    auto* separatorButton = separatorItem_->button();
    auto* alwaysHiddenButton = alwaysHiddenItem_->button();
    auto separatorWindow = separatorButton ? separatorButton->window() : nullptr;
    auto alwaysHiddenWindow = alwaysHiddenButton ? alwaysHiddenButton->window() : nullptr;
    if (!separatorWindow || !alwaysHiddenWindow)
        return true;
    const double s = separatorWindow->frame().origin.x;
    const double a = alwaysHiddenWindow->frame().origin.x;
    // Beyond the dot, seen from the chevron's edge; strict, as for the dot.
    if (host().application().userInterfaceLayoutDirection() ==
        platform::LayoutDirection::rightToLeft)
        return s < a;
    return a < s;
}

std::pair<std::vector<HiddenItem>, std::vector<HiddenItem>>
MenuBarManager::splitHiddenItems(std::vector<HiddenItem> items) const {
    std::pair<std::vector<HiddenItem>, std::vector<HiddenItem>> out;
    auto* button = alwaysHiddenItem_ ? alwaysHiddenItem_->button() : nullptr;
    auto window = button ? button->window() : nullptr;
    if (!window || !isAlwaysHiddenPositionValid()) {
        out.first = std::move(items);
        return out;
    }
    // Window-list bounds and window frames share their x axis: an item is always hidden when it
    // lies beyond the separator's far edge (left of it, or right of it right to left).
    const auto frame = window->frame();
    const bool rightToLeft = host().application().userInterfaceLayoutDirection() ==
                             platform::LayoutDirection::rightToLeft;
    for (auto& item : items) {
        const double centre = item.bounds.midX();
        const bool beyond = rightToLeft ? centre > frame.maxX() : centre < frame.minX();
        (beyond ? out.second : out.first).push_back(std::move(item));
    }
    return out;
}

} // namespace quillet

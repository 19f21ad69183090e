// Separator geometry and the wrong-side warning.
#include "Quillet/MenuBar/MenuBarManager.h"

#include "Platform/Application.h"
#include "Platform/Host.h"
#include "Platform/Screens.h"
#include "Platform/StatusBar.h"
#include "Platform/Window.h"

#include <algorithm>

namespace quillet {

using platform::host;

double MenuBarManager::collapsedSeparatorLength() const {
    // Only the widest screen counts, whichever screen carries the menu bar; read afresh each
    // time so that a new display takes effect at once.
    auto screens = host().screens().screens();
    if (screens.empty())
        return lengthWithoutScreen;
    double widest = 0;
    for (const auto& screen : screens)
        widest = std::max(widest, screen.frame.width());
    return std::max(std::min(widest + marginBeyondWidestScreen, maximumCollapsedLength),
                    minimumCollapsedLength);
}

void MenuBarManager::screenParametersDidChange() {
    if (isCollapsed_.get())
        separatorItem_->setLength(collapsedSeparatorLength());
    // A long always-hidden separator follows the widest screen too.
    if (alwaysHiddenItem_ && alwaysHiddenItem_->length() > expandedSeparatorLength)
        alwaysHiddenItem_->setLength(collapsedSeparatorLength());
}

bool MenuBarManager::isSeparatorPositionValid() const {
    auto* separatorButton = separatorItem_->button();
    auto* toggleButton = toggleItem_->button();
    auto separatorWindow = separatorButton ? separatorButton->window() : nullptr;
    auto toggleWindow = toggleButton ? toggleButton->window() : nullptr;
    // Without the windows the check cannot be made, and then it does not block.
    if (!separatorWindow || !toggleWindow)
        return true;
    const double s = separatorWindow->frame().origin.x;
    const double t = toggleWindow->frame().origin.x;
    // Strict: equal positions count as the wrong side.
    if (host().application().userInterfaceLayoutDirection() ==
        platform::LayoutDirection::rightToLeft)
        return t < s;
    return s < t;
}

std::optional<platform::Image> MenuBarManager::warningImage() {
    return templateSymbol("exclamationmark.triangle", "The dot is on the wrong side of the chevron",
                          {12, platform::SymbolWeight::medium, platform::SymbolScale::medium});
}

void MenuBarManager::showSeparatorPositionWarning(const char* toolTip) {
    positionWarningTimer_.invalidate();
    if (auto* button = toggleItem_->button()) {
        button->setImage(warningImage());
        button->setToolTip(toolTip);
    }
    scheduleTimer(positionWarningTimer_, positionWarningSeconds,
                  &MenuBarManager::clearSeparatorPositionWarning);
}

void MenuBarManager::clearSeparatorPositionWarning() {
    positionWarningTimer_.invalidate();
    if (auto* button = toggleItem_->button()) {
        button->setImage(chevronImage(isCollapsed_.get()));
        button->setToolTip(toggleToolTip);
    }
}

bool MenuBarManager::isPositionWarningShown() const {
    return positionWarningTimer_.isPending();
}

} // namespace quillet

#include "Quillet/Views/QuilletBarView.h"

#include "Platform/Workspace.h"

#include <algorithm>

namespace quillet {

std::optional<platform::Image> HiddenItemIconCell::iconImage() const {
    if (item.app)
        return item.app->icon();
    return std::nullopt;
}

std::string HiddenItemIconCell::toolTip() const {
    if (item.app)
        if (auto name = item.app->localizedName())
            return *name;
    return "Unknown app";
}

std::vector<HiddenItemIconCell> QuilletBarView::cells() const {
    std::vector<HiddenItemIconCell> out;
    out.reserve(items.size());
    for (const auto& item : items)
        out.push_back(HiddenItemIconCell{item, onItemClick});
    return out;
}

void QuilletBarHostingView::setRootView(QuilletBarView root) {
    root_ = std::move(root);
    // Cells are keyed by window: those still listed keep their state, the rest go.
    std::map<std::uint32_t, bool> kept;
    for (const auto& item : root_.items)
        if (auto it = hovered_.find(item.windowID); it != hovered_.end())
            kept.emplace(item.windowID, it->second);
    hovered_ = std::move(kept);
    changed();
}

bool QuilletBarHostingView::isHovered(std::uint32_t windowID) const {
    auto it = hovered_.find(windowID);
    return it != hovered_.end() && it->second;
}

void QuilletBarHostingView::pointerEnteredView() {
    if (root_.onHoverChange)
        root_.onHoverChange(true);
}

void QuilletBarHostingView::pointerExitedView() {
    if (root_.onHoverChange)
        root_.onHoverChange(false);
}

void QuilletBarHostingView::pointerEnteredCell(std::uint32_t windowID) {
    hovered_[windowID] = true;
    changed();
}

void QuilletBarHostingView::pointerExitedCell(std::uint32_t windowID) {
    hovered_[windowID] = false;
    changed();
}

void QuilletBarHostingView::tapCell(std::uint32_t windowID) {
    const auto& items = root_.items;
    bool listed = std::any_of(items.begin(), items.end(),
                              [&](const HiddenItem& i) { return i.windowID == windowID; });
    // The tap does not say which item: every icon has the same effect.
    if (listed && root_.onItemClick)
        root_.onItemClick();
}

} // namespace quillet

#include "Platform/Sim/SimStatusBar.h"

#include "Platform/Sim/SimHost.h"
#include "Platform/Sim/SimWindow.h"

namespace platform::sim {

SimStatusBar::SimStatusBar(SimHost& host)
    : host_(host), model_(host, thickness(), [&host] {
          return std::make_shared<SimWindow>(host.nextWindowNumber(), false);
      }) {
    model_.onLayoutNeeded = [this] { layout(); };
    model_.onPerformClick = [this](const std::shared_ptr<StatusItem>& item) {
        host_.performClick(*item);
    };
}

std::shared_ptr<StatusItem> SimStatusBar::statusItem(double length) {
    auto item = std::make_shared<StatusItem>(length, host_.statusItemsHaveButtons);
    model_.addOwnItem(item);
    layout();
    return item;
}

void SimStatusBar::removeStatusItem(const std::shared_ptr<StatusItem>& item) {
    model_.removeItem(item);
    owners_.erase(item.get());
    layout();
}

std::shared_ptr<StatusItem> SimStatusBar::addForeignItem(const ForeignStatusItemSpec& spec) {
    auto item = model_.addForeignItem({.autosaveName = spec.autosaveName,
                                       .width = spec.width,
                                       .toolTip = {},
                                       .preferredPosition = spec.preferredPosition,
                                       .isSystem = spec.isSystem,
                                       .systemOrder = spec.systemOrder});
    owners_.emplace(item.get(), spec);
    layout();
    return item;
}

std::vector<std::shared_ptr<StatusItem>> SimStatusBar::ownItems() const {
    return model_.ownItems();
}

void SimStatusBar::layout() {
    model_.layout();
}

std::vector<std::shared_ptr<StatusItem>> SimStatusBar::itemsFromEdge() const {
    return model_.itemsFromEdge();
}

std::optional<std::size_t> SimStatusBar::slotOf(const std::shared_ptr<StatusItem>& item) const {
    return model_.slotOf(item);
}

void SimStatusBar::drag(const std::shared_ptr<StatusItem>& item, std::size_t slot) {
    if (model_.drag(item, slot))
        layout();
}

std::shared_ptr<Window> SimStatusBar::windowOf(const std::shared_ptr<StatusItem>& item) const {
    return model_.windowOf(item);
}

std::optional<ForeignStatusItemSpec>
SimStatusBar::ownerOf(const std::shared_ptr<StatusItem>& item) const {
    if (auto it = owners_.find(item.get()); it != owners_.end())
        return it->second;
    return std::nullopt;
}

void SimStatusBar::dropOwnItems() {
    model_.removeOwnItems();
    layout();
}

} // namespace platform::sim

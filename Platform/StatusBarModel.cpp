#include "Platform/StatusBarModel.h"

#include "Platform/Application.h"
#include "Platform/Host.h"
#include "Platform/Screens.h"
#include "Platform/StatusBar.h"
#include "Platform/UserDefaults.h"
#include "Platform/Window.h"

#include <algorithm>

namespace platform {

namespace {

void detachHooks(StatusItem& item) {
    item.onLayoutChange = nullptr;
    if (auto* b = item.button()) {
        b->onChange = nullptr;
        b->onPerformClick = nullptr;
    }
}

} // namespace

StatusBarModel::StatusBarModel(Host& host, double thickness,
                               std::function<std::shared_ptr<Window>()> makeWindow)
    : host_(host), thickness_(thickness), makeWindow_(std::move(makeWindow)) {}

StatusBarModel::~StatusBarModel() {
    for (auto& e : entries_)
        if (auto item = e.item())
            detachHooks(*item);
}

void StatusBarModel::attach(Entry& e, const std::shared_ptr<StatusItem>& item) {
    e.window = makeWindow_();
    e.window->orderFront();
    e.sequence = sequence_++;
    item->onLayoutChange = [this] {
        if (onLayoutNeeded)
            onLayoutNeeded();
    };
    if (auto* button = item->button()) {
        button->setWindow(e.window);
        // Images change the width of variable-length items; tooltips and alpha the drawing.
        button->onChange = [this] {
            if (onLayoutNeeded)
                onLayoutNeeded();
        };
        std::weak_ptr<StatusItem> weak = item;
        button->onPerformClick = [this, weak] {
            if (auto it = weak.lock(); it && onPerformClick)
                onPerformClick(it);
        };
    }
}

void StatusBarModel::addOwnItem(const std::shared_ptr<StatusItem>& item) {
    Entry e;
    e.own = item;
    attach(e, item);
    entries_.push_back(std::move(e));
}

std::shared_ptr<StatusItem> StatusBarModel::addForeignItem(const ForeignItemPlacement& placement) {
    auto item = std::make_shared<StatusItem>(placement.width);
    item->setAutosaveName(placement.autosaveName);
    if (auto* b = item->button())
        b->setToolTip(placement.toolTip);
    if (placement.preferredPosition && !placement.autosaveName.empty())
        foreignPositions_.try_emplace(placement.autosaveName, *placement.preferredPosition);
    Entry e;
    e.foreign = item;
    e.isSystem = placement.isSystem;
    e.systemOrder = placement.isSystem ? placement.systemOrder : 0;
    attach(e, item);
    entries_.push_back(std::move(e));
    return item;
}

void StatusBarModel::removeItem(const std::shared_ptr<StatusItem>& item) {
    if (!item)
        return;
    std::erase_if(entries_, [&](const Entry& e) { return e.item() == item; });
    heldPositions_.erase(item->autosaveName());
    detachHooks(*item);
}

void StatusBarModel::removeOwnItems() {
    std::erase_if(entries_, [](const Entry& e) { return !e.foreign; });
}

void StatusBarModel::prune() {
    std::erase_if(entries_, [](const Entry& e) { return !e.item(); });
}

std::vector<StatusBarLayoutEntry> StatusBarModel::layoutEntries() const {
    std::vector<StatusBarLayoutEntry> out;
    out.reserve(entries_.size());
    // Held places stand in for the kept ones without replacing them.
    std::map<std::string, double> merged;
    if (!heldPositions_.empty()) {
        merged = foreignPositions_;
        for (const auto& [name, position] : heldPositions_)
            merged[name] = position;
    }
    const auto& positions = heldPositions_.empty() ? foreignPositions_ : merged;
    for (const auto& e : entries_) {
        auto item = e.item();
        if (!item) {
            // Gone but not yet pruned: takes no room.
            StatusBarLayoutEntry gone;
            gone.visible = false;
            out.push_back(gone);
            continue;
        }
        out.push_back(statusItemLayoutEntry(*item, thickness_, e.sequence, e.foreign != nullptr,
                                            e.isSystem, e.systemOrder, positions,
                                            host_.userDefaults()));
    }
    return out;
}

void StatusBarModel::layout() {
    prune();
    auto main = host_.screens().mainScreen();
    Rect screen = main ? main->frame : Rect{};
    const auto direction = host_.application().userInterfaceLayoutDirection();
    auto result = layoutStatusBar(layoutEntries(), screen, thickness_, direction);
    // The bar is on the main screen only: what it pushes off goes beyond every screen.
    std::vector<Rect> screenFrames;
    for (const auto& s : host_.screens().screens())
        screenFrames.push_back(s.frame);
    placePushedOffItemsBeyondScreens(result, screen, screenFrames, direction);
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        auto& e = entries_[i];
        e.window->setFrame(result.frames[i]);
        if (e.item()->isVisible() && main)
            e.window->orderFront();
        else
            e.window->orderOut();
    }
}

std::vector<std::size_t> StatusBarModel::orderFromEdge() const {
    return layoutStatusBar(layoutEntries(), Rect{}, thickness_, LayoutDirection::leftToRight).order;
}

std::vector<std::shared_ptr<StatusItem>> StatusBarModel::itemsFromEdge() const {
    std::vector<std::shared_ptr<StatusItem>> out;
    for (auto i : orderFromEdge())
        if (auto item = entries_[i].item())
            out.push_back(item);
    return out;
}

std::vector<std::shared_ptr<StatusItem>> StatusBarModel::ownItems() const {
    std::vector<std::shared_ptr<StatusItem>> out;
    for (const auto& e : entries_)
        if (!e.foreign)
            if (auto item = e.own.lock())
                out.push_back(item);
    return out;
}

std::optional<std::size_t> StatusBarModel::entryOf(const std::shared_ptr<StatusItem>& item) const {
    if (!item)
        return std::nullopt;
    for (std::size_t i = 0; i < entries_.size(); ++i)
        if (entries_[i].item() == item)
            return i;
    return std::nullopt;
}

std::shared_ptr<Window> StatusBarModel::windowOf(const std::shared_ptr<StatusItem>& item) const {
    auto entry = entryOf(item);
    return entry ? entries_[*entry].window : nullptr;
}

std::optional<std::size_t> StatusBarModel::slotOf(const std::shared_ptr<StatusItem>& item) const {
    std::size_t slot = 0;
    for (auto i : orderFromEdge()) {
        const auto& e = entries_[i];
        auto it = e.item();
        // A dropped item no longer holds a slot, as after the next prune.
        if (e.isSystem || !it)
            continue;
        if (it == item)
            return slot;
        ++slot;
    }
    return std::nullopt;
}

std::optional<std::size_t> StatusBarModel::entryAt(Point p) const {
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        const auto& e = entries_[i];
        if (e.window->isVisible() && e.item() && e.window->frame().contains(p))
            return i;
    }
    return std::nullopt;
}

std::size_t StatusBarModel::slotForDrop(std::size_t movedEntry, double x) const {
    // Count the other movable items that stay between the edge and the drop point.
    const bool ltr =
        host_.application().userInterfaceLayoutDirection() == LayoutDirection::leftToRight;
    std::size_t slot = 0;
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        const auto& e = entries_[i];
        if (i == movedEntry || e.isSystem || !e.window->isVisible())
            continue;
        const double mid = e.window->frame().midX();
        if (ltr ? mid > x : mid < x)
            ++slot;
    }
    return slot;
}

bool StatusBarModel::drag(const std::shared_ptr<StatusItem>& item, std::size_t slot) {
    prune();
    auto current = layoutEntries();
    auto moved = entryOf(item);
    if (!moved || current[*moved].isSystem)
        return false;
    auto positions = positionsAfterMove(current, *moved, slot);
    // The moved item goes where it was put, held or not; other held items keep their own.
    heldPositions_.erase(item->autosaveName());
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        auto it = entries_[i].item();
        if (!positions[i] || it->autosaveName().empty() || heldPositions_.count(it->autosaveName()))
            continue;
        if (entries_[i].foreign) {
            foreignPositions_[it->autosaveName()] = *positions[i];
            if (onForeignItemMoved)
                onForeignItemMoved(it, *positions[i]);
        } else {
            host_.userDefaults().set(preferredPositionKey(it->autosaveName()), *positions[i]);
        }
    }
    return true;
}

void StatusBarModel::holdForeignPosition(const std::string& autosaveName,
                                         std::optional<double> position) {
    if (autosaveName.empty())
        return;
    if (position)
        heldPositions_[autosaveName] = *position;
    else
        heldPositions_.erase(autosaveName);
}

std::optional<double> StatusBarModel::foreignPosition(const std::string& autosaveName) const {
    if (auto it = foreignPositions_.find(autosaveName); it != foreignPositions_.end())
        return it->second;
    return std::nullopt;
}

} // namespace platform

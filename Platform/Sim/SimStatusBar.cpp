#include "Platform/Sim/SimStatusBar.h"

#include "Platform/Screens.h"
#include "Platform/Sim/SimHost.h"
#include "Platform/UserDefaults.h"

#include <algorithm>

namespace platform::sim {

SimStatusBar::SimStatusBar(SimHost& host) : host_(host) {}

std::shared_ptr<StatusItem> SimStatusBar::itemOf(const Entry& e) const {
    return e.foreign ? e.foreign : e.own.lock();
}

void SimStatusBar::attach(Entry& e, const std::shared_ptr<StatusItem>& item) {
    e.window = std::make_shared<SimWindow>(host_.nextWindowNumber(), false);
    e.window->orderFront();
    e.sequence = sequence_++;
    item->onLayoutChange = [this] { layout(); };
    if (auto* button = item->button()) {
        button->setWindow(e.window);
        // Images change the width of variable-length items.
        button->onChange = [this] { layout(); };
        std::weak_ptr<StatusItem> weak = item;
        button->onPerformClick = [this, weak] {
            if (auto it = weak.lock())
                host_.performClick(*it);
        };
    }
}

std::shared_ptr<StatusItem> SimStatusBar::statusItem(double length) {
    auto item = std::make_shared<StatusItem>(length, host_.statusItemsHaveButtons);
    Entry e;
    e.own = item;
    attach(e, item);
    entries_.push_back(std::move(e));
    layout();
    return item;
}

void SimStatusBar::removeStatusItem(const std::shared_ptr<StatusItem>& item) {
    std::erase_if(entries_, [&](const Entry& e) { return itemOf(e) == item; });
    item->onLayoutChange = nullptr;
    if (auto* b = item->button()) {
        b->onChange = nullptr;
        b->onPerformClick = nullptr;
    }
    layout();
}

std::shared_ptr<StatusItem> SimStatusBar::addForeignItem(const ForeignStatusItemSpec& spec) {
    auto item = std::make_shared<StatusItem>(spec.width);
    item->setAutosaveName(spec.autosaveName);
    if (spec.preferredPosition && !spec.autosaveName.empty() &&
        !foreignPositions_.count(spec.autosaveName))
        foreignPositions_[spec.autosaveName] = *spec.preferredPosition;
    Entry e;
    e.foreign = item;
    e.spec = spec;
    attach(e, item);
    entries_.push_back(std::move(e));
    layout();
    return item;
}

void SimStatusBar::prune() {
    std::erase_if(entries_, [&](const Entry& e) { return !itemOf(e); });
}

std::vector<std::shared_ptr<StatusItem>> SimStatusBar::ownItems() const {
    std::vector<std::shared_ptr<StatusItem>> out;
    for (auto& e : entries_)
        if (!e.foreign)
            if (auto item = e.own.lock())
                out.push_back(item);
    return out;
}

std::vector<StatusBarLayoutEntry> SimStatusBar::layoutEntries() const {
    std::vector<StatusBarLayoutEntry> out;
    for (auto& e : entries_) {
        const bool system = e.spec && e.spec->isSystem;
        out.push_back(statusItemLayoutEntry(
            *itemOf(e), thickness(), e.sequence, e.foreign != nullptr, system,
            system ? e.spec->systemOrder : 0, foreignPositions_, host_.userDefaults()));
    }
    return out;
}

void SimStatusBar::layout() {
    prune();
    auto main = host_.screens().mainScreen();
    Rect screen = main ? main->frame : Rect{};
    const auto direction = host_.application().userInterfaceLayoutDirection();
    auto result = layoutStatusBar(layoutEntries(), screen, thickness(), direction);
    std::vector<Rect> screenFrames;
    for (const auto& s : host_.screens().screens())
        screenFrames.push_back(s.frame);
    placePushedOffItemsBeyondScreens(result, screen, screenFrames, direction);
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        auto& e = entries_[i];
        e.window->setFrame(result.frames[i]);
        if (itemOf(e)->isVisible() && main)
            e.window->orderFront();
        else
            e.window->orderOut();
    }
}

std::vector<std::shared_ptr<StatusItem>> SimStatusBar::itemsFromEdge() const {
    auto result =
        layoutStatusBar(layoutEntries(), Rect{}, thickness(), LayoutDirection::leftToRight);
    std::vector<std::shared_ptr<StatusItem>> out;
    for (auto i : result.order)
        if (auto item = itemOf(entries_[i]))
            out.push_back(item);
    return out;
}

std::optional<std::size_t> SimStatusBar::slotOf(const std::shared_ptr<StatusItem>& item) const {
    auto result =
        layoutStatusBar(layoutEntries(), Rect{}, thickness(), LayoutDirection::leftToRight);
    std::size_t slot = 0;
    for (auto i : result.order) {
        const auto& e = entries_[i];
        if (e.spec && e.spec->isSystem)
            continue;
        if (itemOf(e) == item)
            return slot;
        ++slot;
    }
    return std::nullopt;
}

void SimStatusBar::drag(const std::shared_ptr<StatusItem>& item, std::size_t slot) {
    prune();
    auto entries = layoutEntries();
    std::size_t moved = entries_.size();
    for (std::size_t i = 0; i < entries_.size(); ++i)
        if (itemOf(entries_[i]) == item)
            moved = i;
    if (moved == entries_.size() || entries[moved].isSystem)
        return;
    auto positions = positionsAfterMove(entries, moved, slot);
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        auto it = itemOf(entries_[i]);
        if (!positions[i] || it->autosaveName().empty())
            continue;
        if (entries_[i].foreign)
            foreignPositions_[it->autosaveName()] = *positions[i];
        else
            host_.userDefaults().set(preferredPositionKey(it->autosaveName()), *positions[i]);
    }
    layout();
}

std::shared_ptr<Window> SimStatusBar::windowOf(const std::shared_ptr<StatusItem>& item) const {
    for (auto& e : entries_)
        if (itemOf(e) == item)
            return e.window;
    return nullptr;
}

std::optional<ForeignStatusItemSpec>
SimStatusBar::ownerOf(const std::shared_ptr<StatusItem>& item) const {
    for (auto& e : entries_)
        if (itemOf(e) == item)
            return e.spec;
    return std::nullopt;
}

void SimStatusBar::dropOwnItems() {
    std::erase_if(entries_, [](const Entry& e) { return !e.foreign; });
    layout();
}

} // namespace platform::sim

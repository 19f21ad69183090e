#include "Platform/Desktop/StatusBar/DesktopStatusBar.h"

#include "Platform/Desktop/DesktopHost.h"
#include "Platform/Desktop/StatusBar/StripWindow.h"
#include "Platform/UserDefaults.h"

#include "Platform/Desktop/Windows/DesktopScreens.h"
#include "Platform/Desktop/Windows/MenuPresenter.h"
#include "Platform/Menu.h"

#include <algorithm>

namespace desktop {

DesktopStatusBar::DesktopStatusBar(DesktopHost& host)
    : host_(host), strip_(std::make_unique<StripWindow>(*this)) {}

DesktopStatusBar::~DesktopStatusBar() {
    // Items outlive the bar when their owners still hold them: leave them no hooks into it.
    for (auto& e : entries_)
        if (auto item = itemOf(e)) {
            item->onLayoutChange = nullptr;
            if (auto* b = item->button()) {
                b->onChange = nullptr;
                b->onPerformClick = nullptr;
            }
        }
}

std::shared_ptr<platform::StatusItem> DesktopStatusBar::itemOf(const Entry& e) const {
    return e.foreign ? e.foreign : e.own.lock();
}

void DesktopStatusBar::attach(Entry& e, const std::shared_ptr<platform::StatusItem>& item) {
    e.window = std::make_shared<StatusItemWindow>(host_.nextWindowNumber());
    e.window->orderFront();
    e.sequence = sequence_++;
    item->onLayoutChange = [this] { layout(); };
    if (auto* button = item->button()) {
        button->setWindow(e.window);
        // Images change the width of variable-length items; tooltips and alpha the drawing.
        button->onChange = [this] { layout(); };
        std::weak_ptr<platform::StatusItem> weak = item;
        button->onPerformClick = [this, weak] {
            auto it = weak.lock();
            if (!it)
                return;
            if (auto menu = it->menu())
                presentMenu(*menu, it);
            else if (auto* b = it->button())
                b->sendAction();
        };
    }
}

std::shared_ptr<platform::StatusItem> DesktopStatusBar::statusItem(double length) {
    auto item = std::make_shared<platform::StatusItem>(length);
    Entry e;
    e.own = item;
    attach(e, item);
    entries_.push_back(std::move(e));
    layout();
    return item;
}

void DesktopStatusBar::removeStatusItem(const std::shared_ptr<platform::StatusItem>& item) {
    std::erase_if(entries_, [&](const Entry& e) { return itemOf(e) == item; });
    item->onLayoutChange = nullptr;
    if (auto* b = item->button()) {
        b->onChange = nullptr;
        b->onPerformClick = nullptr;
    }
    layout();
}

std::shared_ptr<platform::StatusItem>
DesktopStatusBar::addForeignItem(const ForeignItemSpec& spec) {
    auto item = std::make_shared<platform::StatusItem>(spec.width);
    item->setAutosaveName(spec.autosaveName);
    if (spec.preferredPosition && !spec.autosaveName.empty() &&
        !foreignPositions_.count(spec.autosaveName))
        foreignPositions_[spec.autosaveName] = *spec.preferredPosition;
    if (auto* b = item->button())
        b->setToolTip(spec.toolTip);
    Entry e;
    e.foreign = item;
    e.spec = spec;
    attach(e, item);
    entries_.push_back(std::move(e));
    layout();
    return item;
}

void DesktopStatusBar::addSystemItems() {
    ForeignItemSpec clock;
    clock.kind = ForeignItemSpec::Kind::clock;
    clock.ownerName = "Clock";
    clock.ownerPID = 90;
    clock.autosaveName = "com.apple.clock";
    clock.width = 110; // the same widths as the simulated Mac's system items
    clock.isSystem = true;
    clock.systemOrder = 0;
    ForeignItemSpec cc;
    cc.kind = ForeignItemSpec::Kind::controlCenter;
    cc.ownerName = "Control Center";
    cc.ownerPID = 91;
    cc.autosaveName = "com.apple.controlcenter";
    cc.width = 28;
    cc.toolTip = "Control Center";
    cc.isSystem = true;
    cc.systemOrder = 1;
    addForeignItem(clock);
    addForeignItem(cc);
}

void DesktopStatusBar::prune() {
    std::erase_if(entries_, [&](const Entry& e) { return !itemOf(e); });
}

std::vector<platform::StatusBarLayoutEntry> DesktopStatusBar::layoutEntries() const {
    std::vector<platform::StatusBarLayoutEntry> out;
    out.reserve(entries_.size());
    for (auto& e : entries_) {
        auto item = itemOf(e);
        platform::StatusBarLayoutEntry le;
        if (!item) {
            le.visible = false;
            out.push_back(le);
            continue;
        }
        const bool system = e.spec && e.spec->isSystem;
        out.push_back(platform::statusItemLayoutEntry(
            *item, thickness(), e.sequence, e.foreign != nullptr, system,
            system ? e.spec->systemOrder : 0, foreignPositions_, host_.userDefaults()));
    }
    return out;
}

void DesktopStatusBar::layout() {
    // A change made while laying out (an owner reacting to its window) lays out once more
    // afterwards instead of recursing.
    if (inLayout_) {
        relayout_ = true;
        return;
    }
    inLayout_ = true;
    do {
        relayout_ = false;
        prune();
        auto main = host_.screens().mainScreen();
        platform::Rect screen = main ? main->frame : platform::Rect{};
        const auto direction = host_.application().userInterfaceLayoutDirection();
        auto result = platform::layoutStatusBar(layoutEntries(), screen, thickness(), direction);
        // The strip is on the primary screen only: what it pushes off goes beyond every screen.
        std::vector<platform::Rect> screenFrames;
        for (const auto& s : host_.screens().screens())
            screenFrames.push_back(s.frame);
        platform::placePushedOffItemsBeyondScreens(result, screen, screenFrames, direction);
        for (std::size_t i = 0; i < entries_.size(); ++i) {
            auto& e = entries_[i];
            e.window->setFrame(result.frames[i]);
            if (itemOf(e)->isVisible() && main)
                e.window->orderFront();
            else
                e.window->orderOut();
        }
    } while (relayout_);
    inLayout_ = false;
    if (strip_) {
        strip_->place();
        strip_->update();
    }
}

std::vector<std::shared_ptr<platform::StatusItem>> DesktopStatusBar::itemsFromEdge() const {
    auto result = platform::layoutStatusBar(layoutEntries(), platform::Rect{}, thickness(),
                                            platform::LayoutDirection::leftToRight);
    std::vector<std::shared_ptr<platform::StatusItem>> out;
    for (auto i : result.order)
        if (auto item = itemOf(entries_[i]))
            out.push_back(item);
    return out;
}

std::vector<DesktopStatusBar::ItemState> DesktopStatusBar::itemStates() const {
    auto main = host_.screens().mainScreen();
    auto result = platform::layoutStatusBar(layoutEntries(), platform::Rect{}, thickness(),
                                            platform::LayoutDirection::leftToRight);
    std::vector<ItemState> out;
    for (auto i : result.order) {
        const auto& e = entries_[i];
        auto item = itemOf(e);
        if (!item)
            continue;
        ItemState s;
        s.own = !e.foreign;
        s.owner = e.spec ? e.spec->ownerName : host_.applicationName();
        s.ownerPID = e.spec ? e.spec->ownerPID : host_.processInfo().processIdentifier;
        s.autosaveName = item->autosaveName();
        s.windowNumber = e.window->windowNumber();
        s.frame = e.window->frame();
        s.visible = e.window->isVisible();
        s.onScreen = s.visible && main && s.frame.intersects(main->frame);
        out.push_back(std::move(s));
    }
    return out;
}

std::shared_ptr<platform::StatusItem>
DesktopStatusBar::ownItem(const std::string& autosaveName) const {
    for (auto& e : entries_)
        if (!e.foreign)
            if (auto item = e.own.lock(); item && item->autosaveName() == autosaveName)
                return item;
    return nullptr;
}

std::shared_ptr<platform::Window>
DesktopStatusBar::windowOf(const std::shared_ptr<platform::StatusItem>& item) const {
    for (auto& e : entries_)
        if (itemOf(e) == item)
            return e.window;
    return nullptr;
}

std::optional<std::size_t>
DesktopStatusBar::slotOf(const std::shared_ptr<platform::StatusItem>& item) const {
    auto result = platform::layoutStatusBar(layoutEntries(), platform::Rect{}, thickness(),
                                            platform::LayoutDirection::leftToRight);
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

std::size_t DesktopStatusBar::slotForDrop(std::size_t movedEntry, double x) const {
    // Count the other movable items that stay between the edge and the drop point.
    const bool ltr = host_.application().userInterfaceLayoutDirection() ==
                     platform::LayoutDirection::leftToRight;
    std::size_t slot = 0;
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        const auto& e = entries_[i];
        if (i == movedEntry || (e.spec && e.spec->isSystem) || !e.window->isVisible())
            continue;
        const double mid = e.window->frame().midX();
        if (ltr ? mid > x : mid < x)
            ++slot;
    }
    return slot;
}

void DesktopStatusBar::drag(const std::shared_ptr<platform::StatusItem>& item, std::size_t slot) {
    prune();
    auto entries = layoutEntries();
    std::size_t moved = entries_.size();
    for (std::size_t i = 0; i < entries_.size(); ++i)
        if (itemOf(entries_[i]) == item)
            moved = i;
    if (moved == entries_.size() || entries[moved].isSystem)
        return;
    auto positions = platform::positionsAfterMove(entries, moved, slot);
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        auto it = itemOf(entries_[i]);
        if (!positions[i] || it->autosaveName().empty())
            continue;
        if (entries_[i].foreign) {
            foreignPositions_[it->autosaveName()] = *positions[i];
            if (entries_[i].spec && entries_[i].spec->kind == ForeignItemSpec::Kind::tray &&
                onTrayItemPosition)
                onTrayItemPosition(it->autosaveName(), *positions[i]);
        } else
            host_.userDefaults().set(platform::preferredPositionKey(it->autosaveName()),
                                     *positions[i]);
    }
    layout();
}

void DesktopStatusBar::click(const std::shared_ptr<platform::StatusItem>& item,
                             platform::EventType type) {
    auto* button = item->button();
    if (!button)
        return;
    platform::Event e;
    e.type = type;
    if (auto w = windowOf(item)) {
        e.windowNumber = w->windowNumber();
        e.locationInScreen = {w->frame().midX(), w->frame().midY()};
    }
    // Keep the item alive through its own action, which may remove it.
    auto keep = item;
    host_.desktopApplication().withCurrentEvent(e, [&] {
        if (auto menu = keep->menu())
            presentMenu(*menu, keep);
        else
            button->deliverMouseUp(type);
    });
}

void DesktopStatusBar::presentMenu(platform::Menu& menu,
                                   const std::shared_ptr<platform::StatusItem>& item) {
    QPoint at;
    if (auto w = windowOf(item))
        at = qtFromCocoa(w->frame(), DesktopScreens::primaryGeometry()).bottomLeft() + QPoint(0, 1);
    desktop::presentMenu(menu, at);
}

void DesktopStatusBar::hover(const std::shared_ptr<platform::StatusItem>& item, bool inside) {
    if (auto* b = item->button())
        b->deliverPointer(inside);
}

std::vector<DesktopStatusBar::DrawnItem> DesktopStatusBar::drawnItems() const {
    std::vector<DrawnItem> out;
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        const auto& e = entries_[i];
        auto item = itemOf(e);
        if (!item || !e.window->isVisible())
            continue;
        out.push_back({item, e.spec ? &*e.spec : nullptr, e.window->frame(), i});
    }
    return out;
}

std::optional<std::size_t> DesktopStatusBar::entryAt(platform::Point p) const {
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        const auto& e = entries_[i];
        if (e.window->isVisible() && itemOf(e) && e.window->frame().contains(p))
            return i;
    }
    return std::nullopt;
}

std::shared_ptr<platform::StatusItem> DesktopStatusBar::itemOfEntry(std::size_t entry) const {
    return entry < entries_.size() ? itemOf(entries_[entry]) : nullptr;
}

bool DesktopStatusBar::isSystemEntry(std::size_t entry) const {
    return entry < entries_.size() && entries_[entry].spec && entries_[entry].spec->isSystem;
}

} // namespace desktop

namespace desktop {

bool DesktopStatusBar::isForeignEntry(std::size_t entry) const {
    return entry < entries_.size() && entries_[entry].foreign != nullptr;
}

void DesktopStatusBar::removeForeignItem(const std::shared_ptr<platform::StatusItem>& item) {
    if (!item)
        return;
    const bool present = std::any_of(entries_.begin(), entries_.end(),
                                     [&](const Entry& e) { return e.foreign == item; });
    if (present)
        removeStatusItem(item);
}

void DesktopStatusBar::updateForeignItem(const std::shared_ptr<platform::StatusItem>& item,
                                         const std::function<void(ForeignItemSpec&)>& edit) {
    for (auto& e : entries_) {
        if (e.foreign != item || !e.spec)
            continue;
        const double width = e.spec->width;
        edit(*e.spec);
        if (auto* b = item->button())
            b->setToolTip(e.spec->toolTip);
        if (e.spec->width != width) {
            item->setLength(e.spec->width);
            layout();
        } else if (strip_) {
            strip_->update();
        }
        return;
    }
}

bool DesktopStatusBar::clickForeign(const std::shared_ptr<platform::StatusItem>& item,
                                    ForeignClick click) {
    for (const auto& e : entries_) {
        if (e.foreign != item || !e.spec || !e.spec->onClick)
            continue;
        // Menus open under the item, as the status menu does.
        const QPoint anchor =
            qtFromCocoa(e.window->frame(), DesktopScreens::primaryGeometry()).bottomLeft() +
            QPoint(0, 1);
        // Keep the handler while it runs: it may remove the item.
        auto handler = e.spec->onClick;
        handler(click, anchor);
        return true;
    }
    return false;
}

std::optional<double> DesktopStatusBar::foreignPosition(const std::string& autosaveName) const {
    if (auto it = foreignPositions_.find(autosaveName); it != foreignPositions_.end())
        return it->second;
    return std::nullopt;
}

} // namespace desktop

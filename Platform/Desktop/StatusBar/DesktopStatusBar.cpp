#include "Platform/Desktop/StatusBar/DesktopStatusBar.h"

#include "Platform/Desktop/DesktopHost.h"
#include "Platform/Desktop/StatusBar/StripWindow.h"

#include "Platform/Desktop/Windows/DesktopScreens.h"
#include "Platform/Desktop/Windows/MenuPresenter.h"
#include "Platform/Menu.h"

namespace desktop {

DesktopStatusBar::DesktopStatusBar(DesktopHost& host)
    : host_(host),
      model_(host, stripHeight,
             [&host] { return std::make_shared<StatusItemWindow>(host.nextWindowNumber()); }),
      strip_(std::make_unique<StripWindow>(*this)) {
    model_.onLayoutNeeded = [this] { layout(); };
    model_.onPerformClick = [this](const std::shared_ptr<platform::StatusItem>& item) {
        if (auto menu = item->menu())
            presentMenu(*menu, item);
        else if (auto* b = item->button())
            b->sendAction();
    };
    model_.onForeignItemMoved = [this](const std::shared_ptr<platform::StatusItem>& item,
                                       double position) {
        auto* spec = specOf(item.get());
        if (spec && spec->kind == ForeignItemSpec::Kind::tray && onTrayItemPosition)
            onTrayItemPosition(item->autosaveName(), position);
    };
}

DesktopStatusBar::~DesktopStatusBar() {
    // Items that outlive the bar lose their hooks with the model; until then, while the strip
    // goes, a change to one of them reaches nothing here.
    model_.onLayoutNeeded = nullptr;
    model_.onPerformClick = nullptr;
    model_.onForeignItemMoved = nullptr;
    onLayout = nullptr;
}

const ForeignItemSpec* DesktopStatusBar::specOf(const platform::StatusItem* item) const {
    auto it = foreignSpecs_.find(item);
    return it != foreignSpecs_.end() ? &it->second : nullptr;
}

std::shared_ptr<platform::StatusItem> DesktopStatusBar::statusItem(double length) {
    auto item = std::make_shared<platform::StatusItem>(length);
    model_.addOwnItem(item);
    layout();
    return item;
}

void DesktopStatusBar::removeStatusItem(const std::shared_ptr<platform::StatusItem>& item) {
    model_.removeItem(item);
    foreignSpecs_.erase(item.get());
    layout();
}

std::shared_ptr<platform::StatusItem>
DesktopStatusBar::addForeignItem(const ForeignItemSpec& spec) {
    auto item = model_.addForeignItem({spec.autosaveName, spec.width, spec.toolTip,
                                       spec.preferredPosition, spec.isSystem, spec.systemOrder});
    foreignSpecs_.emplace(item.get(), spec);
    model_.holdForeignPosition(spec.autosaveName, spec.heldPosition);
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
        model_.layout();
    } while (relayout_);
    inLayout_ = false;
    if (strip_) {
        strip_->place();
        strip_->update();
    }
    if (onLayout)
        onLayout();
}

std::vector<std::shared_ptr<platform::StatusItem>> DesktopStatusBar::itemsFromEdge() const {
    return model_.itemsFromEdge();
}

std::vector<DesktopStatusBar::ItemState> DesktopStatusBar::itemStates() const {
    auto main = host_.screens().mainScreen();
    const auto& entries = model_.entries();
    std::vector<ItemState> out;
    for (auto i : model_.orderFromEdge()) {
        const auto& e = entries[i];
        auto item = e.item();
        if (!item)
            continue;
        const auto* spec = specOf(item.get());
        ItemState s;
        s.own = !e.foreign;
        s.owner = spec ? spec->ownerName : host_.applicationName();
        s.ownerPID = spec ? spec->ownerPID : host_.processInfo().processIdentifier;
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
    for (auto& item : model_.ownItems())
        if (item->autosaveName() == autosaveName)
            return item;
    return nullptr;
}

std::shared_ptr<platform::Window>
DesktopStatusBar::windowOf(const std::shared_ptr<platform::StatusItem>& item) const {
    return model_.windowOf(item);
}

std::optional<std::size_t>
DesktopStatusBar::slotOf(const std::shared_ptr<platform::StatusItem>& item) const {
    return model_.slotOf(item);
}

std::size_t DesktopStatusBar::slotForDrop(std::size_t movedEntry, double x) const {
    return model_.slotForDrop(movedEntry, x);
}

void DesktopStatusBar::drag(const std::shared_ptr<platform::StatusItem>& item, std::size_t slot) {
    if (!model_.drag(item, slot))
        return;
    // An item put somewhere by hand is held there no longer.
    if (auto it = foreignSpecs_.find(item.get()); it != foreignSpecs_.end())
        it->second.heldPosition.reset();
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
    const auto& entries = model_.entries();
    std::vector<DrawnItem> out;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const auto& e = entries[i];
        auto item = e.item();
        if (!item || !e.window->isVisible())
            continue;
        out.push_back({item, specOf(item.get()), e.window->frame(), i});
    }
    return out;
}

std::optional<std::size_t> DesktopStatusBar::entryAt(platform::Point p) const {
    return model_.entryAt(p);
}

std::shared_ptr<platform::StatusItem> DesktopStatusBar::itemOfEntry(std::size_t entry) const {
    const auto& entries = model_.entries();
    return entry < entries.size() ? entries[entry].item() : nullptr;
}

bool DesktopStatusBar::isSystemEntry(std::size_t entry) const {
    const auto& entries = model_.entries();
    return entry < entries.size() && entries[entry].isSystem;
}

bool DesktopStatusBar::isForeignEntry(std::size_t entry) const {
    const auto& entries = model_.entries();
    return entry < entries.size() && entries[entry].foreign != nullptr;
}

void DesktopStatusBar::removeForeignItem(const std::shared_ptr<platform::StatusItem>& item) {
    if (item && foreignSpecs_.count(item.get()))
        removeStatusItem(item);
}

void DesktopStatusBar::updateForeignItem(const std::shared_ptr<platform::StatusItem>& item,
                                         const std::function<void(ForeignItemSpec&)>& edit) {
    auto it = foreignSpecs_.find(item.get());
    if (it == foreignSpecs_.end())
        return;
    auto& spec = it->second;
    const double width = spec.width;
    const auto held = spec.heldPosition;
    edit(spec);
    if (auto* b = item->button())
        b->setToolTip(spec.toolTip);
    if (spec.heldPosition != held)
        model_.holdForeignPosition(spec.autosaveName, spec.heldPosition);
    if (spec.width != width || spec.heldPosition != held) {
        item->setLength(spec.width);
        layout();
    } else if (strip_) {
        strip_->update();
    }
}

bool DesktopStatusBar::clickForeign(const std::shared_ptr<platform::StatusItem>& item,
                                    ForeignClick click) {
    const auto* spec = specOf(item.get());
    auto window = windowOf(item);
    if (!spec || !spec->onClick || !window)
        return false;
    // Menus open under the item, as the status menu does.
    const QPoint anchor =
        qtFromCocoa(window->frame(), DesktopScreens::primaryGeometry()).bottomLeft() + QPoint(0, 1);
    // Keep the handler while it runs: it may remove the item.
    auto handler = spec->onClick;
    handler(click, anchor);
    return true;
}

bool DesktopStatusBar::scrollForeign(const std::shared_ptr<platform::StatusItem>& item, int delta,
                                     Qt::Orientation orientation) {
    const auto* spec = specOf(item.get());
    if (!spec || !spec->onScroll || delta == 0)
        return false;
    auto handler = spec->onScroll;
    handler(delta, orientation);
    return true;
}

std::optional<double> DesktopStatusBar::foreignPosition(const std::string& autosaveName) const {
    return model_.foreignPosition(autosaveName);
}

} // namespace desktop

// The status bar of the desktop host: a strip across the top of the primary screen holding
// this process's status items, other programs' tray items (or sample items standing in for
// them) and the system items (clock, control centre), kept in the same status-bar model as the
// simulated Mac's. Clicks set the current event and reach the buttons; Ctrl-drag moves items
// and rewrites preferred positions. Main thread only.
#pragma once

#include "Platform/StatusBar.h"
#include "Platform/StatusBarModel.h"
#include "Platform/Window.h"

#include <QImage>
#include <QPoint>
#include <QString>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace desktop {

class DesktopHost;
class StripWindow;

// A click on another application's item, by the button that made it.
enum class ForeignClick { primary, secondary, middle };

// Another application's item in the strip.
struct ForeignItemSpec {
    enum class Kind { sample, clock, controlCenter, tray };
    Kind kind = Kind::sample;
    std::string ownerName;
    std::int32_t ownerPID = 0;
    std::string autosaveName;
    double width = 24;
    std::string icon;
    std::string toolTip;
    std::optional<double> preferredPosition;
    bool isSystem = false;
    int systemOrder = 0;
    // A tray item's icon as the strip draws it; null draws the owner's initial as a badge.
    QImage image;
    // A symbolic icon: drawn in the strip's text colour, only its shape taken from `image`.
    bool symbolic = false;
    // Text drawn beside a tray item's icon (the width makes room for it).
    QString label;
    // Where the item waits instead of its preferred position while this is set (a passive
    // tray item, on the hidden side); its preferred position stays.
    std::optional<double> heldPosition;
    // Clicks the item handles itself (tray items); `anchor` is where a menu opens, in Qt's
    // global coordinates.
    std::function<void(ForeignClick click, QPoint anchor)> onClick;
    // Wheel turns over the item (tray items): `delta` in steps of 120.
    std::function<void(int delta, Qt::Orientation orientation)> onScroll;
};

// The window a status item sits in: its frame is where the layout put it, in Cocoa
// coordinates, even when that is off the screen.
class StatusItemWindow final : public platform::Window {
public:
    explicit StatusItemWindow(std::uint32_t number) : number_(number) {}
    std::uint32_t windowNumber() const override { return number_; }
    platform::Rect frame() const override { return frame_; }
    void setFrame(platform::Rect frame) override { frame_ = frame; }
    bool isVisible() const override { return visible_; }
    bool isPanel() const override { return false; }
    void orderFront() override { visible_ = true; }
    void orderOut() override { visible_ = false; }

private:
    std::uint32_t number_;
    platform::Rect frame_;
    bool visible_ = false;
};

class DesktopStatusBar final : public platform::StatusBar {
public:
    static constexpr double stripHeight = 24;

    explicit DesktopStatusBar(DesktopHost& host);
    ~DesktopStatusBar() override;

    std::shared_ptr<platform::StatusItem> statusItem(double length) override;
    void removeStatusItem(const std::shared_ptr<platform::StatusItem>& item) override;
    double thickness() const override { return stripHeight; }

    std::shared_ptr<platform::StatusItem> addForeignItem(const ForeignItemSpec& spec);
    // Takes another application's item out of the strip; its preferred position is kept for
    // when it comes back.
    void removeForeignItem(const std::shared_ptr<platform::StatusItem>& item);
    // Changes another application's item in place (icon, tooltip, owner) and redraws; a
    // change of width lays the strip out again.
    void updateForeignItem(const std::shared_ptr<platform::StatusItem>& item,
                           const std::function<void(ForeignItemSpec&)>& edit);
    // Hands a click to the foreign item's own handler; false when it has none.
    bool clickForeign(const std::shared_ptr<platform::StatusItem>& item, ForeignClick click);
    // Hands a wheel turn to the foreign item's own handler; false when it has none.
    bool scrollForeign(const std::shared_ptr<platform::StatusItem>& item, int delta,
                       Qt::Orientation orientation);
    // What another application's item was made with, as changed since; null for other items.
    const ForeignItemSpec* foreignSpec(const std::shared_ptr<platform::StatusItem>& item) const {
        return specOf(item.get());
    }
    // The preferred position of another application's item in this run, if it has one.
    std::optional<double> foreignPosition(const std::string& autosaveName) const;
    // Called with an item's autosave name and new position whenever a drag moves a tray item.
    std::function<void(const std::string& autosaveName, double position)> onTrayItemPosition;
    void addSystemItems();

    // One item as `--status` reports it.
    struct ItemState {
        std::string owner;
        std::int32_t ownerPID = 0;
        std::string autosaveName;
        std::uint32_t windowNumber = 0;
        platform::Rect frame;
        bool visible = false;
        bool onScreen = false;
        bool own = false;
    };
    // Every item, from the screen edge inwards.
    std::vector<ItemState> itemStates() const;
    std::vector<std::shared_ptr<platform::StatusItem>> itemsFromEdge() const;
    std::shared_ptr<platform::StatusItem> ownItem(const std::string& autosaveName) const;
    std::shared_ptr<platform::Window>
    windowOf(const std::shared_ptr<platform::StatusItem>& item) const;
    // Moves `item` to `slot` among the non-system items (0 nearest the edge), as a Ctrl-drag
    // does, and keeps the new order in the preferred positions.
    void drag(const std::shared_ptr<platform::StatusItem>& item, std::size_t slot);
    std::optional<std::size_t> slotOf(const std::shared_ptr<platform::StatusItem>& item) const;
    // The slot a dragged entry lands in when dropped at Cocoa x coordinate `x`.
    std::size_t slotForDrop(std::size_t movedEntry, double x) const;

    // Delivers a mouse-up of `type` to `item`'s button with the current event set, as a click.
    void click(const std::shared_ptr<platform::StatusItem>& item, platform::EventType type);
    // Shows `menu` under `item` until it closes; the chosen item's action runs afterwards.
    void presentMenu(platform::Menu& menu, const std::shared_ptr<platform::StatusItem>& item);
    // The pointer entered (true) or left the item: its tracking areas fire.
    void hover(const std::shared_ptr<platform::StatusItem>& item, bool inside);

    void layout();
    // Runs after each layout, once the strip is placed (the legacy tray moves its icons).
    std::function<void()> onLayout;
    StripWindow* strip() const { return strip_.get(); }

    // --- for the strip ---
    struct DrawnItem {
        std::shared_ptr<platform::StatusItem> item;
        const ForeignItemSpec* foreign = nullptr; // null for this process's items
        platform::Rect frame;
        std::size_t entry = 0;
    };
    // The visible items in entry order, with their frames.
    std::vector<DrawnItem> drawnItems() const;
    // The entry under Cocoa point `p`; none when there is none.
    std::optional<std::size_t> entryAt(platform::Point p) const;
    std::shared_ptr<platform::StatusItem> itemOfEntry(std::size_t entry) const;
    bool isSystemEntry(std::size_t entry) const;
    bool isForeignEntry(std::size_t entry) const;
    DesktopHost& host() const { return host_; }
    // Called once, the first time the strip has drawn this process's items.
    std::function<void()> onOwnItemsDrawn;

private:
    const ForeignItemSpec* specOf(const platform::StatusItem* item) const;

    DesktopHost& host_;
    platform::StatusBarModel model_;
    // What the strip draws for each of the other applications' items, and what they do.
    std::map<const platform::StatusItem*, ForeignItemSpec> foreignSpecs_;
    std::unique_ptr<StripWindow> strip_;
    bool inLayout_ = false;
    bool relayout_ = false;
};

} // namespace desktop

// What a status bar knows about its items, whoever draws it: which items it holds, their windows
// and places, slots and drags. Used by both hosts' status bars (Sim and Desktop), which only
// draw and deliver input. Main thread only.
#pragma once

#include "Platform/Geometry.h"
#include "Platform/StatusBarLayout.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform {

class Host;
class StatusItem;
class Window;

// Where another application's item goes: what the bar needs to place it.
struct ForeignItemPlacement {
    std::string autosaveName;
    double width = 22;
    std::string toolTip;
    // Its position the first time it appears in this run; a position kept since (a drag) wins.
    std::optional<double> preferredPosition;
    bool isSystem = false;
    int systemOrder = 0;
};

class StatusBarModel {
public:
    // One item in the bar. This process's items are held weakly (the bar does not keep an
    // item its owner dropped), other applications' items strongly.
    struct Entry {
        std::weak_ptr<StatusItem> own;
        std::shared_ptr<StatusItem> foreign;
        bool isSystem = false;
        int systemOrder = 0;
        std::shared_ptr<Window> window;
        // Order of arrival; breaks ties in the layout.
        std::uint64_t sequence = 0;

        // The item; null once this process's owner dropped it.
        std::shared_ptr<StatusItem> item() const { return foreign ? foreign : own.lock(); }
    };

    // `host` gives the screens, the layout direction and the user defaults that keep this
    // process's preferred positions; `makeWindow` gives each new item its window.
    StatusBarModel(Host& host, double thickness,
                   std::function<std::shared_ptr<Window>()> makeWindow);
    // Items outlive the bar when their owners still hold them: they keep no hooks into it.
    ~StatusBarModel();
    StatusBarModel(const StatusBarModel&) = delete;
    StatusBarModel& operator=(const StatusBarModel&) = delete;

    // An item of this process enters the bar (laid out at the next layout()).
    void addOwnItem(const std::shared_ptr<StatusItem>& item);
    // Another application's item enters the bar (laid out at the next layout()).
    std::shared_ptr<StatusItem> addForeignItem(const ForeignItemPlacement& placement);
    // `item` leaves the bar, if it is there, and keeps no hooks into it either way. Another
    // application's preferred position stays for when its item comes back.
    void removeItem(const std::shared_ptr<StatusItem>& item);
    // This process's items leave the bar (the process ended); others' items stay.
    void removeOwnItems();
    // Forgets the items of this process that their owners dropped.
    void prune();

    // Places every item's window: prunes, lays the bar out across the main screen, moves the
    // items pushed off it beyond every screen, and orders each window in while its item is
    // visible and there is a screen.
    void layout();

    const std::vector<Entry>& entries() const { return entries_; }
    // Entry indices from the screen edge inwards.
    std::vector<std::size_t> orderFromEdge() const;
    // Every item, from the screen edge inwards.
    std::vector<std::shared_ptr<StatusItem>> itemsFromEdge() const;
    // This process's items still alive, in the order they entered.
    std::vector<std::shared_ptr<StatusItem>> ownItems() const;
    std::optional<std::size_t> entryOf(const std::shared_ptr<StatusItem>& item) const;
    std::shared_ptr<Window> windowOf(const std::shared_ptr<StatusItem>& item) const;
    // The slot of `item` among the non-system items still alive (0 nearest the edge); none
    // when it is not in the bar.
    std::optional<std::size_t> slotOf(const std::shared_ptr<StatusItem>& item) const;
    // The visible entry whose window holds Cocoa point `p`.
    std::optional<std::size_t> entryAt(Point p) const;
    // The slot a dragged entry lands in when dropped at Cocoa x coordinate `x`: one for each
    // other visible non-system item between the edge and the drop point.
    std::size_t slotForDrop(std::size_t movedEntry, double x) const;

    // Moves `item` to `slot` among the non-system items and keeps the order in the preferred
    // positions: this process's in the user defaults, other applications' in this run. False,
    // changing nothing, for a system item or one not in the bar. The caller lays out again.
    bool drag(const std::shared_ptr<StatusItem>& item, std::size_t slot);
    // The preferred position of another application's item in this run, if it has one.
    std::optional<double> foreignPosition(const std::string& autosaveName) const;
    // Lays another application's item out at `position` instead of its preferred one, which
    // stays for when the hold ends (none ends it; a drag of the item ends it too). The caller
    // lays out again.
    void holdForeignPosition(const std::string& autosaveName, std::optional<double> position);

    // An item's length, autosave name, visibility or button changed: the bar lays out again.
    std::function<void()> onLayoutNeeded;
    // The item's button was clicked through performClick(): the host shows its menu or clicks.
    std::function<void(const std::shared_ptr<StatusItem>& item)> onPerformClick;
    // A drag gave another application's item a new preferred position.
    std::function<void(const std::shared_ptr<StatusItem>& item, double position)>
        onForeignItemMoved;

private:
    void attach(Entry& e, const std::shared_ptr<StatusItem>& item);
    std::vector<StatusBarLayoutEntry> layoutEntries() const;

    Host& host_;
    double thickness_;
    std::function<std::shared_ptr<Window>()> makeWindow_;
    std::vector<Entry> entries_;
    std::map<std::string, double> foreignPositions_;
    std::map<std::string, double> heldPositions_;
    std::uint64_t sequence_ = 0;
};

} // namespace platform

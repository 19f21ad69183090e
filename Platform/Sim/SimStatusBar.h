// The simulated system status bar: this process's items and other applications' items, laid
// out from the edge of the main screen by preferred position, each with a window whose frame
// really moves off screen when a long item pushes it. Tests drag items as a user would.
#pragma once

#include "Platform/StatusBar.h"
#include "Platform/StatusBarModel.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform::sim {

class SimHost;

// Another application's status item, as a test describes it.
struct ForeignStatusItemSpec {
    std::string ownerName;
    std::int32_t ownerPID = 0;
    std::string autosaveName;
    double width = 22;
    std::optional<double> preferredPosition;
    bool isSystem = false;
    int systemOrder = 0;
};

class SimStatusBar final : public StatusBar {
public:
    explicit SimStatusBar(SimHost& host);

    std::shared_ptr<StatusItem> statusItem(double length) override;
    void removeStatusItem(const std::shared_ptr<StatusItem>& item) override;
    double thickness() const override { return 24; }

    // --- test side ---
    std::shared_ptr<StatusItem> addForeignItem(const ForeignStatusItemSpec& spec);
    // This process's items still alive, in creation order.
    std::vector<std::shared_ptr<StatusItem>> ownItems() const;
    // Every item, from the screen edge inwards.
    std::vector<std::shared_ptr<StatusItem>> itemsFromEdge() const;
    // Command-drags `item` to `slot` among the non-system items (0 is nearest the edge).
    void drag(const std::shared_ptr<StatusItem>& item, std::size_t slot);
    // The slot of `item` among the non-system items; none when not in the bar.
    std::optional<std::size_t> slotOf(const std::shared_ptr<StatusItem>& item) const;
    std::shared_ptr<Window> windowOf(const std::shared_ptr<StatusItem>& item) const;
    std::optional<ForeignStatusItemSpec> ownerOf(const std::shared_ptr<StatusItem>& item) const;

    void layout();
    // The simulated process ended: its items leave the bar.
    void dropOwnItems();

private:
    SimHost& host_;
    StatusBarModel model_;
    // Who owns each of the other applications' items.
    std::map<const StatusItem*, ForeignStatusItemSpec> owners_;
};

} // namespace platform::sim

// How the status bar places its items: from the edge of the main screen inwards (the right edge
// left to right, the left edge right to left), system items first, then by preferred position,
// then items without a position in the order they appeared. Shared by both hosts; pure.
#pragma once

#include "Platform/Application.h"
#include "Platform/Geometry.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace platform {

class StatusItem;
class UserDefaults;

struct StatusBarLayoutEntry {
    double width = 0;
    // Smaller is nearer the edge; none enters at the far end.
    std::optional<double> preferredPosition;
    // System items (clock, control centre) sit at the edge, in systemOrder.
    bool isSystem = false;
    int systemOrder = 0;
    // Order of appearance; breaks ties.
    std::uint64_t sequence = 0;
    bool visible = true;
};

struct StatusBarLayoutResult {
    // Frames in Cocoa coordinates, one per entry, in entry order (empty for hidden entries).
    std::vector<Rect> frames;
    // Entry indices from the edge inwards.
    std::vector<std::size_t> order;
};

// The layout entry of one status item: its width in a bar of `thickness`, and its preferred
// position, read from this process's user defaults (`defaults`) for its own items and from
// `foreignPositions` (by autosave name) for other applications' items. System items keep none.
StatusBarLayoutEntry statusItemLayoutEntry(const StatusItem& item, double thickness,
                                           std::uint64_t sequence, bool isForeign, bool isSystem,
                                           int systemOrder,
                                           const std::map<std::string, double>& foreignPositions,
                                           const UserDefaults& defaults);

// Lays the entries out in a bar of `thickness` across the top of `mainScreenFrame`.
StatusBarLayoutResult layoutStatusBar(const std::vector<StatusBarLayoutEntry>& entries,
                                      Rect mainScreenFrame, double thickness,
                                      LayoutDirection direction, double spacing = 0);

// Moves the items that the layout pushed wholly past the far edge of the main screen (its left
// edge, or its right edge right to left) beyond every screen in `screenFrames`, keeping their
// order and spacing: an item pushed off the menu bar never lands on another display, where the
// window server would still count it as shown.
void placePushedOffItemsBeyondScreens(StatusBarLayoutResult& result, Rect mainScreenFrame,
                                      const std::vector<Rect>& screenFrames,
                                      LayoutDirection direction);

// Preferred positions after the user drags `moved` (an entry index) to `targetSlot` in the edge
// inward order of the non-system items: each non-system item's position becomes its distance
// from the edge, so the order the user made is the order kept. Returns one position per entry
// (none for system items).
std::vector<std::optional<double>>
positionsAfterMove(const std::vector<StatusBarLayoutEntry>& entries, std::size_t moved,
                   std::size_t targetSlot, double spacing = 0);

} // namespace platform

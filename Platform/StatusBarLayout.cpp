#include "Platform/StatusBarLayout.h"

#include "Platform/StatusBar.h"
#include "Platform/UserDefaults.h"

#include <algorithm>
#include <numeric>

namespace platform {

namespace {

// Entry indices from the edge inwards.
std::vector<std::size_t> edgeOrder(const std::vector<StatusBarLayoutEntry>& entries) {
    std::vector<std::size_t> order(entries.size());
    std::iota(order.begin(), order.end(), 0);
    auto rank = [&](std::size_t i) {
        const auto& e = entries[i];
        if (e.isSystem)
            return 0;
        return e.preferredPosition ? 1 : 2;
    };
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        const auto& ea = entries[a];
        const auto& eb = entries[b];
        int ra = rank(a), rb = rank(b);
        if (ra != rb)
            return ra < rb;
        if (ra == 0 && ea.systemOrder != eb.systemOrder)
            return ea.systemOrder < eb.systemOrder;
        if (ra == 1 && *ea.preferredPosition != *eb.preferredPosition)
            return *ea.preferredPosition < *eb.preferredPosition;
        // Later arrivals without a position enter further from the edge.
        return ea.sequence < eb.sequence;
    });
    return order;
}

} // namespace

StatusBarLayoutEntry statusItemLayoutEntry(const StatusItem& item, double thickness,
                                           std::uint64_t sequence, bool isForeign, bool isSystem,
                                           int systemOrder,
                                           const std::map<std::string, double>& foreignPositions,
                                           const UserDefaults& defaults) {
    StatusBarLayoutEntry e;
    e.width = item.displayWidth(thickness);
    e.sequence = sequence;
    e.visible = item.isVisible();
    if (isSystem) {
        e.isSystem = true;
        e.systemOrder = systemOrder;
    } else if (!item.autosaveName().empty()) {
        if (isForeign) {
            if (auto it = foreignPositions.find(item.autosaveName()); it != foreignPositions.end())
                e.preferredPosition = it->second;
        } else if (auto v = defaults.object(preferredPositionKey(item.autosaveName()))) {
            e.preferredPosition = v->asNumber();
        }
    }
    return e;
}

StatusBarLayoutResult layoutStatusBar(const std::vector<StatusBarLayoutEntry>& entries, Rect screen,
                                      double thickness, LayoutDirection direction, double spacing) {
    StatusBarLayoutResult result;
    result.frames.assign(entries.size(), Rect{});
    result.order = edgeOrder(entries);
    const double y = screen.maxY() - thickness;
    double cursor = direction == LayoutDirection::leftToRight ? screen.maxX() : screen.minX();
    for (std::size_t i : result.order) {
        const auto& e = entries[i];
        if (!e.visible)
            continue;
        if (direction == LayoutDirection::leftToRight) {
            cursor -= e.width;
            result.frames[i] = makeRect(cursor, y, e.width, thickness);
            cursor -= spacing;
        } else {
            result.frames[i] = makeRect(cursor, y, e.width, thickness);
            cursor += e.width + spacing;
        }
    }
    return result;
}

void placePushedOffItemsBeyondScreens(StatusBarLayoutResult& result, Rect main,
                                      const std::vector<Rect>& screenFrames,
                                      LayoutDirection direction) {
    const bool leftToRight = direction == LayoutDirection::leftToRight;
    // How far the outermost screen reaches past the main screen on the side items leave by.
    double shift = 0;
    for (const auto& s : screenFrames)
        shift = leftToRight ? std::min(shift, s.minX() - main.minX())
                            : std::max(shift, s.maxX() - main.maxX());
    if (shift == 0)
        return;
    for (auto& frame : result.frames) {
        if (frame.isEmpty())
            continue; // a hidden item has no window to place
        const bool pushedOff =
            leftToRight ? frame.maxX() <= main.minX() : frame.minX() >= main.maxX();
        if (pushedOff)
            frame.origin.x += shift;
    }
}

std::vector<std::optional<double>>
positionsAfterMove(const std::vector<StatusBarLayoutEntry>& entries, std::size_t moved,
                   std::size_t targetSlot, double spacing) {
    std::vector<std::size_t> movable;
    for (std::size_t i : edgeOrder(entries))
        if (!entries[i].isSystem && i != moved)
            movable.push_back(i);
    targetSlot = std::min(targetSlot, movable.size());
    movable.insert(movable.begin() + static_cast<std::ptrdiff_t>(targetSlot), moved);

    std::vector<std::optional<double>> positions(entries.size());
    double distance = 0;
    for (std::size_t i : movable) {
        positions[i] = distance;
        if (entries[i].visible)
            distance += entries[i].width + spacing;
        else
            distance += 0.5; // keeps hidden items ordered without taking room
    }
    return positions;
}

} // namespace platform

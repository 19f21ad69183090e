// Owns the hidden-items panel: fills it with one icon per hidden item, hangs it under the
// chevron, shows and hides it, closes it on a click elsewhere or Escape, and reports through
// its callbacks. Main thread only.
#pragma once

#include "Platform/EventMonitors.h"
#include "Quillet/HiddenItems/HiddenItem.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace platform {
class StatusButton;
class Window;
} // namespace platform

namespace quillet {

class QuilletBarHostingView;

class QuilletBarPanelController : public std::enable_shared_from_this<QuilletBarPanelController> {
public:
    static constexpr double panelHeight = 42;
    static constexpr double emptyWidth = 170;
    static constexpr double gapBelowMenuBar = 6;

    static std::shared_ptr<QuilletBarPanelController> create();
    ~QuilletBarPanelController();

    // Assigned by the owner after creation; each captures the owner weakly.
    std::function<void(bool)> onVisibilityChange;
    std::function<void()> onItemClicked;
    // A click on an item of the always-hidden section.
    std::function<void()> onAlwaysHiddenItemClicked;
    std::function<void(bool)> onHoverChange;

    // The panel, once shown the first time.
    const std::shared_ptr<platform::Window>& panel() const { return panel_; }
    bool isPanelVisible() const;
    std::shared_ptr<QuilletBarHostingView> hostingView() const;

    // Fills, places and shows the panel under `anchor` (the chevron's button). Does nothing
    // without an anchor, its window, or a screen.
    void show(const std::vector<HiddenItem>& items, platform::StatusButton* anchor) {
        show(items, {}, anchor, false);
    }
    // The same with the always-hidden section's items after a divider; `takesFocus` makes the
    // panel the key window, so that typing searches it and Return picks the first shown.
    void show(const std::vector<HiddenItem>& items,
              const std::vector<HiddenItem>& alwaysHiddenItems, platform::StatusButton* anchor,
              bool takesFocus);
    // Hides a visible panel and reports it; a hidden panel stays quiet.
    void hide();

    // n × 22 + 20 + (n − 1) × 8 for n items; 170 for none.
    static double width(std::size_t itemCount);
    // With `alwaysHiddenCount` more items after a divider (one point, spaced like an icon) when
    // both groups have items.
    static double width(std::size_t itemCount, std::size_t alwaysHiddenCount);

private:
    QuilletBarPanelController() = default;
    void installMonitors();
    void removeMonitors();
    // Sizes the panel to the cells the search leaves shown, its right edge where it was placed.
    void fitToVisibleCells();

    std::shared_ptr<platform::Window> panel_;
    std::optional<platform::EventMonitors::Token> localMouseMonitor_;
    std::optional<platform::EventMonitors::Token> globalMouseMonitor_;
    std::optional<platform::EventMonitors::Token> localKeyMonitor_;
    // Counts the showings (each installs the monitors anew).
    std::uint64_t showing_ = 0;
    // Where the current showing was placed: the panel's right edge and its screen's frame.
    double rightEdge_ = 0;
    platform::Rect screenFrame_{};
};

} // namespace quillet

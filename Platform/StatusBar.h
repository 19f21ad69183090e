// The system status bar and its items. StatusItem and StatusButton are plain state shared by
// both hosts; each host's StatusBar lays the items out and draws them, told of every change
// through the item's change hook. Main thread only.
#pragma once

#include "Platform/Application.h"
#include "Platform/Geometry.h"
#include "Platform/Symbols.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform {

class Window;
class Menu;

constexpr double variableStatusItemLength = -1;
constexpr double squareStatusItemLength = -2;

// Tracking-area options, with the platform's values.
namespace tracking {
constexpr std::uint32_t mouseEnteredAndExited = 0x01;
constexpr std::uint32_t activeAlways = 0x80;
constexpr std::uint32_t inVisibleRect = 0x200;
} // namespace tracking

struct TrackingArea {
    Rect rect;
    std::uint32_t options = 0;
    std::function<void()> mouseEntered;
    std::function<void()> mouseExited;
};

// The preferred-position default the status bar keeps for an item with an autosave name.
std::string preferredPositionKey(const std::string& autosaveName);

class StatusButton {
public:
    const std::optional<Image>& image() const { return image_; }
    void setImage(std::optional<Image> image);
    const std::string& toolTip() const { return toolTip_; }
    void setToolTip(std::string toolTip);
    double alphaValue() const { return alpha_; }
    void setAlphaValue(double alpha);

    // Target and action: the owner installs a callback that captures it weakly.
    void setAction(std::function<void()> action) { action_ = std::move(action); }
    bool hasAction() const { return static_cast<bool>(action_); }
    // Which mouse-up events send the action (a mask of eventMask(...) bits).
    void sendActionOn(std::uint64_t mask) { sendActionMask_ = mask; }
    std::uint64_t sendActionMask() const { return sendActionMask_; }

    void addTrackingArea(TrackingArea area) { trackingAreas_.push_back(std::move(area)); }
    const std::vector<TrackingArea>& trackingAreas() const { return trackingAreas_; }

    // The status item's window, once the status bar has placed the item.
    std::shared_ptr<Window> window() const { return window_.lock(); }

    // Clicks the button as the user would with the left mouse: shows the item's menu when one
    // is attached (returning when it closes), otherwise sends the action.
    void performClick();

    // --- host side ---
    // Delivers a mouse-up of `type`: sends the action when the mask allows it.
    void deliverMouseUp(EventType type);
    // The pointer entered (or left) the button: its tracking areas fire.
    void deliverPointer(bool inside);
    void sendAction() const;
    void setWindow(std::weak_ptr<Window> w) { window_ = std::move(w); }
    std::function<void()> onChange;       // the host redraws
    std::function<void()> onPerformClick; // the host shows the item's menu or clicks

private:
    std::optional<Image> image_;
    std::string toolTip_;
    double alpha_ = 1.0;
    std::function<void()> action_;
    std::uint64_t sendActionMask_ = eventMask(EventType::leftMouseUp);
    std::vector<TrackingArea> trackingAreas_;
    std::weak_ptr<Window> window_;
};

class StatusItem {
public:
    explicit StatusItem(double length, bool hasButton = true);

    double length() const { return length_; }
    void setLength(double length);
    const std::string& autosaveName() const { return autosaveName_; }
    void setAutosaveName(std::string name);
    bool isVisible() const { return visible_; }
    void setVisible(bool visible);

    // The button; none when the platform gives the item none.
    StatusButton* button() { return button_.get(); }
    const StatusButton* button() const { return button_.get(); }

    std::shared_ptr<Menu> menu() const { return menu_; }
    void setMenu(std::shared_ptr<Menu> menu) { menu_ = std::move(menu); }

    // The width the item takes in a bar of the given thickness.
    double displayWidth(double thickness) const;

    // --- host side ---
    std::function<void()> onLayoutChange; // length, autosave name or visibility changed

private:
    double length_;
    std::string autosaveName_;
    bool visible_ = true;
    std::unique_ptr<StatusButton> button_;
    std::shared_ptr<Menu> menu_;
};

class StatusBar {
public:
    virtual ~StatusBar() = default;
    // A new item of `length` (variableStatusItemLength, squareStatusItemLength or points).
    virtual std::shared_ptr<StatusItem> statusItem(double length) = 0;
    virtual void removeStatusItem(const std::shared_ptr<StatusItem>& item) = 0;
    virtual double thickness() const = 0;
};

} // namespace platform

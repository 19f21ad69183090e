#include "Platform/StatusBar.h"

namespace platform {

std::string preferredPositionKey(const std::string& autosaveName) {
    return "NSStatusItem Preferred Position " + autosaveName;
}

void StatusButton::setImage(std::optional<Image> image) {
    image_ = std::move(image);
    if (onChange)
        onChange();
}

void StatusButton::setToolTip(std::string toolTip) {
    toolTip_ = std::move(toolTip);
    if (onChange)
        onChange();
}

void StatusButton::setAlphaValue(double alpha) {
    alpha_ = alpha;
    if (onChange)
        onChange();
}

void StatusButton::performClick() {
    if (onPerformClick)
        onPerformClick();
    else
        sendAction();
}

void StatusButton::deliverMouseUp(EventType type) {
    if (sendActionMask_ & eventMask(type))
        sendAction();
}

void StatusButton::deliverPointer(bool inside) {
    // Copy: a handler may add tracking areas.
    auto areas = trackingAreas_;
    for (auto& a : areas) {
        auto& handler = inside ? a.mouseEntered : a.mouseExited;
        if (handler)
            handler();
    }
}

void StatusButton::sendAction() const {
    if (action_)
        action_();
}

StatusItem::StatusItem(double length, bool hasButton)
    : length_(length), button_(hasButton ? std::make_unique<StatusButton>() : nullptr) {}

void StatusItem::setLength(double length) {
    length_ = length;
    if (onLayoutChange)
        onLayoutChange();
}

void StatusItem::setAutosaveName(std::string name) {
    autosaveName_ = std::move(name);
    if (onLayoutChange)
        onLayoutChange();
}

void StatusItem::setVisible(bool visible) {
    visible_ = visible;
    if (onLayoutChange)
        onLayoutChange();
}

double StatusItem::displayWidth(double thickness) const {
    if (length_ == squareStatusItemLength)
        return thickness;
    if (length_ == variableStatusItemLength) {
        // Fits the image with a little padding on each side.
        double image = (button_ && button_->image()) ? button_->image()->width() : 0;
        return image + 8;
    }
    return length_ < 0 ? 0 : length_;
}

} // namespace platform

// A simulated window: the state a window server would keep for it.
#pragma once

#include "Platform/Window.h"

#include <string>

namespace platform::sim {

class SimWindow : public Window {
public:
    SimWindow(std::uint32_t number, bool panel) : number_(number), panel_(panel) {}

    std::uint32_t windowNumber() const override { return number_; }
    Rect frame() const override { return frame_; }
    void setFrame(Rect frame) override { frame_ = frame; }
    bool isVisible() const override { return visible_; }
    bool isPanel() const override { return panel_; }
    void orderFront() override { visible_ = true; }
    void orderOut() override { visible_ = false; }

    std::string title;

private:
    std::uint32_t number_;
    bool panel_;
    Rect frame_;
    bool visible_ = false;
};

} // namespace platform::sim

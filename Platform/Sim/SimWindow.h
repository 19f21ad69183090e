// A simulated window: the state a window server would keep for it.
#pragma once

#include "Platform/Window.h"

#include <functional>
#include <string>

namespace platform::sim {

class SimWindow : public Window {
public:
    SimWindow(std::uint32_t number, bool panel, WindowAttributes attributes = {})
        : number_(number), panel_(panel), attributes_(std::move(attributes)) {}

    std::uint32_t windowNumber() const override { return number_; }
    Rect frame() const override { return frame_; }
    void setFrame(Rect frame) override { frame_ = frame; }
    bool isVisible() const override { return visible_; }
    bool isPanel() const override { return panel_; }
    void orderFront() override { visible_ = true; }
    void orderOut() override {
        visible_ = false;
        if (key_ && resignedKey)
            resignedKey(*this);
        key_ = false;
    }
    void makeKeyAndOrderFront() override {
        visible_ = true;
        if (attributes_.canBecomeKey)
            makeKey();
    }
    bool isKeyWindow() const override { return key_; }
    void display() override { ++displayCount; }
    WindowAttributes attributes() const override { return attributes_; }

    // --- test side ---
    // The user clicks into the window: it becomes key when it can.
    void makeKey() {
        if (becameKey)
            becameKey(*this);
        key_ = true;
    }
    void resignKey() { key_ = false; }
    int displayCount = 0;
    std::string title;
    std::function<void(SimWindow&)> becameKey;
    std::function<void(SimWindow&)> resignedKey;

private:
    std::uint32_t number_;
    bool panel_;
    WindowAttributes attributes_;
    Rect frame_;
    bool visible_ = false;
    bool key_ = false;
};

} // namespace platform::sim

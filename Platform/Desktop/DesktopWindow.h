// A window or panel of the application as a top-level Qt widget, placed by Cocoa frames.
// Closing it only orders it out (posting the will-close notification); key presses pass through
// the local event monitors. The hosted view model is kept; drawing it with its QML view comes
// with the views. Main thread only.
#pragma once

#include "Platform/Window.h"

#include <QWidget>
#include <memory>

namespace desktop {

class DesktopHost;
class WindowWidget;

class DesktopWindow final : public platform::Window {
public:
    DesktopWindow(DesktopHost& host, std::uint32_t number, const platform::WindowAttributes& a,
                  bool panel);
    ~DesktopWindow() override;

    std::uint32_t windowNumber() const override { return number_; }
    platform::Rect frame() const override;
    void setFrame(platform::Rect frame) override;
    bool isVisible() const override;
    bool isPanel() const override { return panel_; }
    void orderFront() override;
    void orderOut() override;
    void orderFrontRegardless() override;
    void makeKeyAndOrderFront() override;
    bool isKeyWindow() const override;
    void display() override;
    platform::WindowAttributes attributes() const override { return attributes_; }

    QWidget* widget() const;

private:
    DesktopHost& host_;
    std::uint32_t number_;
    platform::WindowAttributes attributes_;
    bool panel_;
    std::unique_ptr<WindowWidget> widget_;
};

} // namespace desktop

// A window or panel of the application as a top-level Qt widget, placed by Cocoa frames.
// Closing a closable window only orders it out (posting the will-close notification); a window
// without `closable` in its style mask refuses close requests. Escape and Ctrl+W close a closable
// window. A titled window without `resizable` has a fixed size and no maximise button. Key
// presses pass through the local event monitors. The hosted view model is drawn by its QML
// view, made the first time the window is ordered front with it, which then has the keyboard.
// The window lives as long as its owners hold it (the application lists it weakly). Main thread
// only.
#pragma once

#include "Platform/Window.h"

#include <QPointer>
#include <QWidget>
#include <chrono>
#include <memory>
#include <optional>

namespace desktop {

class DesktopHost;
class ViewQuickWidget;
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
    void close() override;
    void orderFrontRegardless() override;
    void makeKeyAndOrderFront() override;
    bool isKeyWindow() const override;
    void display() override;
    void setContentView(std::shared_ptr<platform::ViewModel> view) override;
    platform::WindowAttributes attributes() const override { return attributes_; }

    QWidget* widget() const;
    // The QML scene drawing the content view; null before the window was first shown with one.
    ViewQuickWidget* scene() const;
    // Milliseconds from the last time the window was asked to show until its scene painted.
    std::optional<double> lastShowToPaintMs() const { return lastShowToPaintMs_; }

private:
    void ensureScene();
    void markShowRequested();

    DesktopHost& host_;
    std::uint32_t number_;
    platform::WindowAttributes attributes_;
    bool panel_;
    std::unique_ptr<WindowWidget> widget_;
    QPointer<ViewQuickWidget> scene_;
    std::weak_ptr<platform::ViewModel> sceneModel_;
    std::optional<std::chrono::steady_clock::time_point> showRequested_;
    std::optional<double> lastShowToPaintMs_;
};

} // namespace desktop

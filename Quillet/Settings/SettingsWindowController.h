// The settings window: created on the first show (when the shared account model and update
// service exist), shown again on later requests, kept when closed. Reports each show and each
// close through onVisibilityChange. Main thread only.
#pragma once

#include "Platform/NotificationCenter.h"

#include <functional>
#include <memory>
#include <optional>

namespace platform {
class Window;
}

namespace quillet {

class MenuBarManager;

class SettingsWindowController : public std::enable_shared_from_this<SettingsWindowController> {
public:
    static std::shared_ptr<SettingsWindowController> create();
    ~SettingsWindowController();

    // Shows the window for `manager`, creating it on first use.
    void show(const std::shared_ptr<MenuBarManager>& manager);

    // True each time the window is shown, false when it is about to close.
    std::function<void(bool)> onVisibilityChange;
    std::shared_ptr<platform::Window> window;

private:
    SettingsWindowController() = default;
    void windowWillClose();

    std::optional<platform::NotificationCenter::Token> closeObserver_;
};

} // namespace quillet
